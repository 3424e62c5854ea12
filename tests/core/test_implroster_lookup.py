"""get_plugin and unregister_plugin over a registered tree."""
import copy

import pytest

from tarvix.core.errors import ConnectionInfraError


class G1(object):
    pass


class G2(object):
    pass


class Q(object):
    pass


class Q4(object):
    pass


class P(object):
    pass


@pytest.fixture
def tree_roster(roster):
    roster.register_plugin(G1, os="generic")
    roster.register_plugin(G2, os="generic", chassis_type="dual_rp")
    roster.register_plugin(Q, os="quilm")
    roster.register_plugin(Q4, os="quilm", series="qb4", chassis_type="dual_rp")
    roster.register_plugin(P, os="pendra", series="s1", model="m1")
    return roster


# ---------------------------------------------------------------- get_plugin


@pytest.mark.parametrize("kwargs, expected", [
    (dict(os="generic"), G1),
    (dict(os="generic", chassis_type="dual_rp"), G2),
    (dict(os="quilm", series="qb4", chassis_type="dual_rp"), Q4),
    (dict(os="quilm", series="qb4", model="zz9", chassis_type="dual_rp"), Q4),
    (dict(os="quilm", series="nope"), Q),
    (dict(os="quilm", series="nope", model="m1"), Q),
    (dict(os="pendra", series="s1", model="m1"), P),
])
def test_found(tree_roster, kwargs, expected):
    assert tree_roster.get_plugin(**kwargs) is expected


@pytest.mark.parametrize("kwargs, message", [
    # the series node answers, although the os level has a single_rp class
    (dict(os="quilm", series="qb4"), "Plugin data not found for (quilm/qb4), type: single_rp "),
    (dict(os="pendra", series="s1"), "Plugin data not found for (pendra/s1), type: single_rp "),
    (dict(os="pendra"), "Plugin data not found for (pendra), type: single_rp "),
    (dict(os="tovak"), "Plugin data not found for (tovak), type: single_rp "),
    (dict(os="olmet", series="o1", model="m2"),
     "Plugin data not found for (olmet/o1/m2), type: single_rp "),
    (dict(os="generic", chassis_type="stack"),
     "Plugin data not found for (generic), type: stack "),
    (dict(os="gavri", chassis_type="octo"), "Plugin data not found for (gavri), type: octo "),
    (dict(os="gavri", chassis_type=None), "Plugin data not found for (gavri), type: None "),
    (dict(os="Generic"), "Plugin data not found for (Generic), type: single_rp "),
])
def test_not_found(tree_roster, kwargs, message):
    before = copy.deepcopy(tree_roster.plugins)
    with pytest.raises(ConnectionInfraError) as info:
        tree_roster.get_plugin(**kwargs)
    assert info.value.args == (message,)
    assert tree_roster.plugins == before


def test_positional_arguments_and_defaults(tree_roster):
    assert tree_roster.get_plugin("quilm", "qb4", None, "dual_rp") is Q4
    assert tree_roster.get_plugin("generic") is G1


def test_chassis_type_outside_the_list_is_rejected_first(tree_roster):
    with pytest.raises(ConnectionInfraError) as info:
        tree_roster.get_plugin(os="generic", chassis_type="octo")
    assert str(info.value).startswith("chassis Type should be one of these ")


def test_gavri_lookup_with_any_key(roster):
    roster.register_plugin(G1, os="gavri", chassis_type="octo")
    assert roster.get_plugin(os="gavri", chassis_type="octo") is G1


def test_lookup_validates_through_the_instance(tree_roster):
    seen = []
    tree_roster.validate_arguments = lambda *args, **kwargs: seen.append((args, kwargs))
    with pytest.raises(ConnectionInfraError):
        tree_roster.get_plugin(os="GENERIC!", series="X")
    assert seen[-1] == (("GENERIC!", "X", None, "single_rp"), {})


def test_lookup_reads_the_tree_through_the_instance(tree_roster):
    tree_roster._plugins = {"quilm": {"data": {"single_rp": {"cls": G2, "path": "p"}}}}
    assert tree_roster.get_plugin(os="quilm") is G2


def test_non_str_path_piece_fails_in_the_message(tree_roster):
    with pytest.raises(TypeError):
        tree_roster.get_plugin(os="tovak", series=0)


def test_mapping_nodes_are_asked_through_keys(roster):
    asked = []

    class Node(dict):
        def keys(self):
            asked.append(self.tag)
            return dict.keys(self)

    root, osnode, data = Node(), Node(), Node()
    root.tag, osnode.tag, data.tag = "root", "os", "data"
    data["single_rp"] = {"cls": G1, "path": "p"}
    osnode["data"] = data
    root["quilm"] = osnode
    roster._plugins = root
    assert roster.get_plugin(os="quilm", series="missing") is G1
    assert asked == ["root", "os", "os", "data"]


def test_hostile_key_equality_mutating_the_tree(roster):
    tree = roster.plugins
    roster.register_plugin(G1, os="generic")

    class Hostile(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            tree.clear()
            return str.__eq__(self, other)

    with pytest.raises(ConnectionInfraError):
        roster.get_plugin(os=Hostile("generic"))
    assert tree == {}


# ---------------------------------------------------------------- unregister_plugin


def test_unregister_one_chassis_type(tree_roster):
    assert tree_roster.unregister_plugin(os="generic", chassis_type="single_rp") is None
    assert tree_roster.plugins["generic"] == {"data": {"dual_rp": tree_roster.plugins[
        "generic"]["data"]["dual_rp"]}}
    with pytest.raises(ConnectionInfraError) as info:
        tree_roster.unregister_plugin(os="generic", chassis_type="single_rp")
    assert info.value.args == ("Plugin data not found for single_rp",)


def test_emptied_chassis_map_stays(roster):
    roster.register_plugin(G1, os="generic")
    roster.unregister_plugin("generic", None, None, "single_rp")
    assert roster.plugins == {"generic": {"data": {}}}
    with pytest.raises(ConnectionInfraError):
        roster.get_plugin(os="generic")


def test_unregister_whole_chassis_map(tree_roster):
    tree_roster.unregister_plugin(os="generic")
    assert tree_roster.plugins["generic"] == {}
    with pytest.raises(ConnectionInfraError) as info:
        tree_roster.unregister_plugin(os="generic")
    assert info.value.args == ("Plugin data not found",)


def test_os_level_removal_keeps_the_series(tree_roster):
    qb4 = copy.deepcopy(tree_roster.plugins["quilm"]["qb4"])
    tree_roster.unregister_plugin(os="quilm")
    assert tree_roster.plugins["quilm"] == {"qb4": qb4}
    assert tree_roster.get_plugin(os="quilm", series="qb4", chassis_type="dual_rp") is Q4


@pytest.mark.parametrize("kwargs, message", [
    (dict(os="pendra"), "Plugin data not found"),
    (dict(os="pendra", chassis_type="single_rp"), "Plugin data not found"),
    (dict(os="tovak"), "Plugin data not found"),
    (dict(os="elsewhere"), "Plugin data not found"),
    (dict(os="quilm", series="qb9"), "Plugin data not found"),
    (dict(os="pendra", series="s1", model="m9"), "Plugin data not found"),
    (dict(os="generic", chassis_type="stack"), "Plugin data not found for stack"),
    (dict(os="generic", chassis_type="octo"), "Plugin data not found for octo"),
    (dict(os="pendra", series="s1", chassis_type="octo"), "Plugin data not found"),
])
def test_unregister_failures_leave_the_tree(tree_roster, kwargs, message):
    before = copy.deepcopy(tree_roster.plugins)
    with pytest.raises(ConnectionInfraError) as info:
        tree_roster.unregister_plugin(**kwargs)
    assert info.value.args == (message,)
    assert tree_roster.plugins == before


def test_missing_chassis_type_message_uses_the_percent_operator(tree_roster):
    # a tuple is taken as the operator's argument list
    with pytest.raises(ConnectionInfraError) as info:
        tree_roster.unregister_plugin(os="generic", chassis_type=("dual",))
    assert str(info.value) == "Plugin data not found for dual"
    with pytest.raises(TypeError):
        tree_roster.unregister_plugin(os="generic", chassis_type=("a", "b"))


def test_unregister_validates_with_single_rp(implroster):
    seen = []

    class Roster(implroster.ImplRoster):
        def validate_arguments(self, *args, **kwargs):
            seen.append((args, kwargs))

    roster = Roster()
    with pytest.raises(ConnectionInfraError):
        roster.unregister_plugin("quilm", "qb4", "m1", "octo")
    assert seen == [(("quilm", "qb4", "m1", "single_rp"), {})]


@pytest.mark.parametrize("kwargs, message", [
    (dict(os="quilm", model="m1"), "OS and Series are required for Model: m1"),
    (dict(series="qb4"), "OS information not provided for Series: qb4"),
    (dict(os="quilm", series="QB4"), "Series (QB4) has to be in lowercase"),
])
def test_unregister_rejects_what_registration_rejects(tree_roster, kwargs, message):
    with pytest.raises(ConnectionInfraError) as info:
        tree_roster.unregister_plugin(**kwargs)
    assert str(info.value) == message


def test_reregistering_reuses_the_remaining_nodes(roster):
    roster.register_plugin(G1, os="quilm", series="qb4")
    series_node = roster.plugins["quilm"]["qb4"]
    chassis_map = series_node["data"]
    roster.unregister_plugin(os="quilm", series="qb4", chassis_type="single_rp")
    roster.register_plugin(G2, os="quilm", series="qb4")
    assert roster.plugins["quilm"]["qb4"] is series_node
    assert series_node["data"] is chassis_map
    assert roster.get_plugin(os="quilm", series="qb4") is G2
