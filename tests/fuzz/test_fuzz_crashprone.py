"""The crash-prone fuzz scenarios (tree mutation during walks, deep and
cyclic trees, brokers whose host changes under them), each in a fresh
interpreter so that a crash fails the test instead of ending the run."""
import pytest


@pytest.mark.parametrize("name,expected", [
    ("roster_mutation", ["register_plugin/mutating", "get_plugin/mutating",
                         "unregister_plugin/mutating", "print_tree/mutating", "print_tree/deep"]),
    ("broker_mutation", ["BaseSingleRpLinkBroker.connect/mutating",
                         "BaseDualRpLinkBroker.connect/mutating"]),
])
def test_scenario_survives(scenario, name, expected):
    counts = scenario(name)
    for label in expected:
        assert counts.get(label, 0) > 0, (label, counts)
