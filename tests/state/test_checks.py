"""Checks of the network's state: each comparison, strict sections, the
report's paths, and checks files that cannot be checked (one line naming
the file, the line and the key)."""
import pytest

from tarvix import checks
from tarvix.core.errors import ChecksError

STATE = {
    "facts": {"hostname": "r1", "os": "frr", "version": "8.4.4", "model": None, "serial": None, "uptime": 7200,
              "interfaces": ["lo", "veth0"]},
    "interfaces": {"veth0": {"up": True, "enabled": True, "description": None, "mtu": 1500, "mac": None,
                             "addresses": ["10.9.0.1/30", "fe80::1/64"]}},
    "bgp_neighbors": {"default": {"10.9.0.2": {"remote_as": 65002, "state": "Established", "up": True, "uptime": 40,
                                               "prefixes_received": 3},
                                  "10.9.0.6": {"remote_as": 65003, "state": "Active", "up": False, "uptime": 0,
                                               "prefixes_received": 0}}},
    "lldp_neighbors": {"veth0": [{"system_name": "peer-b", "port": "veth1"}]},
}
PEER = "bgp_neighbors.default[10.9.0.2]"


@pytest.mark.parametrize("expected,passed", [
    ("Established", True), ("Idle", False), ("~ ^Estab", True), ("~ Idle|Active", False), ("!= Idle", True),
    ("present", True), ("absent", False),
])
def test_a_state_compared(expected, passed):
    report = checks.evaluate(STATE, {"bgp_neighbors": {"default": {"10.9.0.2": {"state": expected}}}})
    assert report == [{"path": PEER + ".state", "expected": expected, "actual": "Established", "passed": passed}]
    assert report.passed is passed


@pytest.mark.parametrize("expected,passed", [(3, True), ("3", True), (">= 3", True), ("> 3", False), ("< 4", True),
                                             ("<= 2", False), ("1..3", True), ("4..9", False), ("== 3", True)])
def test_a_number_compared(expected, passed):
    report = checks.evaluate(STATE, {"bgp_neighbors": {"default": {"10.9.0.2": {"prefixes_received": expected}}}})
    assert [check["passed"] for check in report] == [passed] and report[0]["actual"] == 3


def test_entries_lists_and_strict_sections():
    report = checks.evaluate(STATE, {
        "interfaces": {"veth0": {"up": True, "addresses": "10.9.0.1/30"}, "eth9": "absent"},
        "facts": {"interfaces": ["veth0"], "hostname": "~ ^r\\d$"},
        "bgp_neighbors": {"_mode": "strict", "default": {"10.9.0.2": {"up": True}, "10.9.0.9": {"up": True}}},
        "lldp_neighbors": {"veth0": {"system_name": "peer-b"}, "veth9": "present"},
    })
    failed = [(check["path"], check["expected"], check["actual"]) for check in report.failures]
    assert failed == [("bgp_neighbors.default[10.9.0.9]", "present", "absent"),
                      ("bgp_neighbors.default[10.9.0.6]", "absent", "present"),
                      ("lldp_neighbors.veth9", "present", "absent")]
    assert len(report) == 10 and not report.passed
    # strict=True makes every section strict: the interface and the peer not named fail too.
    whole = checks.evaluate(STATE, {"facts": {"interfaces": ["lo", "veth0"]}, "bgp_neighbors": {"default": {}}},
                            strict=True)
    assert [check["path"] for check in whole.failures] == ["bgp_neighbors.default[10.9.0.2]",
                                                           "bgp_neighbors.default[10.9.0.6]"]
    assert checks.evaluate({}, {"interfaces": {"veth0": "present"}}).failures[0]["path"] == "interfaces"


@pytest.mark.parametrize("text,where", [
    ("bgp_neighbors: {default: {10.9.0.2: {state: Established}}\n", ":2: (the checks): not YAML"),
    ("interfaces:\n  veth0: {up: true}\nbgp: {}\n", ":3: bgp: unknown getter bgp"),
    ("bgp_neighbors:\n  default:\n    10.9.0.2:\n      prefixes: 3\n",
     ":4: bgp_neighbors.default[10.9.0.2].prefixes: unknown key prefixes"),
    ("bgp_neighbors:\n  default:\n    10.9.0.2:\n      prefixes_received: '>= three'\n",
     ":4: bgp_neighbors.default[10.9.0.2].prefixes_received: '>= three': >= compares with a number"),
    ("interfaces:\n  veth0:\n    description: '~ (open'\n", ":3: interfaces.veth0.description: the regular expression"),
    ("interfaces:\n  veth0: {up: true}\n  veth0: {up: false}\n", ":3: veth0: given twice"),
], ids=["syntax", "getter", "key", "comparison", "regex", "twice"])
def test_a_checks_file_that_cannot_be_checked(tmp_path, text, where):
    path = tmp_path / "checks.yaml"
    path.write_text(text)
    with pytest.raises(ChecksError) as caught:
        checks.load(str(path))
    message = str(caught.value)
    assert message.startswith(str(path) + where) and "\n" not in message


def test_a_checks_file_keeps_keys_as_written(tmp_path):
    path = tmp_path / "checks.yaml"
    path.write_text("interfaces:\n  1.10: {up: true}\n  yes: present\n")
    assert list(checks.load(str(path))["interfaces"]) == ["1.10", "yes"]
