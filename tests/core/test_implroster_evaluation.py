"""Evaluation details that a caller's objects can observe."""
import pytest

from tarvix.core.errors import ConnectionInfraError


class CountingFalse(object):
    def __init__(self):
        self.tests = 0

    def __bool__(self):
        self.tests += 1
        return False

    def __str__(self):
        return "nothing"


def test_false_os_is_tested_as_the_condition_chain_tests_it(roster):
    os = CountingFalse()
    with pytest.raises(ConnectionInfraError) as info:
        roster.validate_os(os)
    assert str(info.value).endswith(" , but got nothing")
    assert os.tests == 2


class Heading(str):
    def __iadd__(self, other):
        return Heading(str(self) + other.upper())


def test_rendering_extends_the_heading_in_place(roster):
    text = roster.print_tree({"a": "x"}, output=Heading("top"))
    assert text == "top\n  |__ A = X"


def test_heading_of_a_type_without_addition_fails_with_augmented_assignment(roster):
    with pytest.raises(TypeError) as info:
        roster.print_tree({"a": 1}, None)
    assert "+=" in str(info.value)


class Node(dict):
    def __init__(self, journal, *args):
        dict.__init__(self, *args)
        self.journal = journal

    def keys(self):
        self.journal.append("keys")
        return dict.keys(self)


def test_registration_walks_the_tree_before_asking_for_the_class_file(implroster, roster, monkeypatch):
    journal = []
    roster._plugins["quilm"] = Node(journal)
    real_getfile = implroster.getfile

    def getfile(cls):
        journal.append("getfile")
        return real_getfile(cls)

    monkeypatch.setattr(implroster, "getfile", getfile)
    roster.register_plugin(Node, os="quilm", series="qb4", chassis_type="dual_rp")
    assert journal == ["keys", "getfile"]
    assert roster.plugins["quilm"]["qb4"]["data"]["dual_rp"]["cls"] is Node


def test_failed_registration_below_an_existing_node_leaves_it_as_it_was(roster):
    roster.register_plugin(Node, os="quilm")
    before = repr(roster._plugins)
    with pytest.raises(TypeError):
        roster.register_plugin(int, os="quilm", series="qb4", model="m1")
    assert repr(roster._plugins) == before
