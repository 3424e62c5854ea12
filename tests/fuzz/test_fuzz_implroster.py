"""Property-based fuzzing of ImplRoster with arbitrary and hostile values.

Every public method is called with values drawn from fuzzkit.values (plain
values, objects whose dunders raise, lying str subclasses); each call must
end in a result or a Python exception.  Where the values are plain, the
outcome is also checked against what the registry promises."""
import pytest
from hypothesis import given, strategies as st

from fuzzkit import Boom, COUNTS, outcome, texts, values

from tarvix.core import implroster
from tarvix.core.errors import ConnectionInfraError


class Quiet(object):
    def debug(self, message):
        str(message)


@pytest.fixture(autouse=True)
def quiet_log(monkeypatch):
    monkeypatch.setattr(implroster, "log", Quiet())


def fresh():
    return implroster.ImplRoster()


def acceptable(result):
    kind, value = result
    assert kind in ("ok", "raised")
    if kind == "raised":
        # A SystemError means the native code returned NULL without an
        # exception (or a result with one set): a fault, not an answer.
        assert not isinstance(value, SystemError), repr(value)
    return result


VALIDATORS = [
    ("validate_model", ("os", "series", "model")),
    ("validate_series", ("os", "series")),
    ("validate_os", ("os",)),
    ("validate_chassis_type", ("chassis_type",)),
    ("validate_arguments", ("os", "series", "model", "chassis_type")),
]


@pytest.mark.parametrize("method,params", VALIDATORS, ids=[m for m, _ in VALIDATORS])
@given(data=st.data())
def test_validators_end_in_a_result_or_an_exception(method, params, data):
    roster = fresh()
    args = [data.draw(values, label=p) for p in params]
    as_keywords = data.draw(st.booleans(), label="keywords")
    fn = getattr(roster, method)
    if as_keywords:
        kind, value = acceptable(outcome(method, fn, **dict(zip(params, args))))
    else:
        kind, value = acceptable(outcome(method, fn, *args))
    if kind == "ok":
        assert value is None


@pytest.mark.parametrize("method,params", VALIDATORS, ids=[m for m, _ in VALIDATORS])
@given(extra=st.lists(values, min_size=0, max_size=6),
       kw=st.dictionaries(st.sampled_from(["os", "series", "model", "chassis_type", "cls",
                                           "bogus", "data"]), values, max_size=3))
def test_validators_refuse_wrong_call_shapes_with_type_error(method, params, extra, kw):
    roster = fresh()
    kind, value = acceptable(outcome(method + "/shape", getattr(roster, method), *extra, **kw))
    bound = len(extra) + len(kw)
    named = set(params[:len(extra)])
    if (len(extra) > len(params) or named & set(kw) or set(kw) - set(params)
            or set(params) - named - set(kw)):
        assert kind == "raised" and isinstance(value, TypeError), (extra, kw, value)
    else:
        assert bound == len(params)


@given(os=texts, series=texts, model=texts)
def test_validate_model_of_plain_text_answers_as_documented(os, series, model):
    kind, value = acceptable(outcome("validate_model/plain", fresh().validate_model, os, series, model))
    if not model:
        assert kind == "ok"
    elif not series or not os:
        assert isinstance(value, ConnectionInfraError)
        assert str(value) == "OS and Series are required for Model: " + model
    elif model.islower() or model.isdigit():
        assert kind == "ok"
    else:
        assert isinstance(value, ConnectionInfraError)


PATH = st.one_of(st.none(), values)


@pytest.mark.parametrize("method", ["get_plugin", "unregister_plugin"])
@given(os=PATH, series=PATH, model=PATH, chassis=PATH, seeded=st.booleans())
def test_lookup_and_removal_end_in_a_result_or_an_exception(method, os, series, model, chassis,
                                                            seeded):
    roster = fresh()
    if seeded:
        roster.register_plugin(cls=Quiet, os="generic", series="s1", model="m1")
        roster.register_plugin(cls=Quiet, os="quilm")
    acceptable(outcome(method, getattr(roster, method), os=os, series=series, model=model,
                       chassis_type=chassis))


@given(cls=st.one_of(st.just(Quiet), st.just(ValueError), values), os=PATH, series=PATH,
       model=PATH, chassis=st.one_of(st.just("single_rp"), values))
def test_register_is_all_or_nothing(cls, os, series, model, chassis):
    roster = fresh()
    roster.register_plugin(cls=Quiet, os="generic")
    before = repr(roster._plugins)
    kind, value = acceptable(outcome("register_plugin", roster.register_plugin, cls, os=os,
                                     series=series, model=model, chassis_type=chassis))
    if kind == "raised" and not isinstance(value, (Boom, RecursionError)):
        # A refused registration leaves the tree as it was.
        assert repr(roster._plugins) == before


MODEL_NAMES = st.sampled_from(["generic", "quilm", "vardo"])
LOWER = st.sampled_from(["s1", "s2", "7"])


@given(ops=st.lists(st.tuples(st.sampled_from(["register", "unregister", "get"]), MODEL_NAMES,
                              st.one_of(st.none(), LOWER), st.one_of(st.none(), LOWER),
                              st.sampled_from(["single_rp", "dual_rp"])), max_size=12))
def test_registry_agrees_with_a_plain_model(ops):
    """Sequences of plain operations: the registry behaves like a dict from
    (os, series, model) to {chassis: cls}, with get_plugin falling back to
    the deepest registered ancestor."""
    roster = fresh()
    model = {}   # (os, series, model) -> {chassis: cls}
    nodes = set()  # the tree's nodes: prefixes of every registered path
    for i, (op, os, series, mdl, chassis) in enumerate(ops):
        if series is None:
            mdl = None
        path = [p for p in (os, series, mdl) if p is not None]
        key = tuple(path) + (None,) * (3 - len(path))
        COUNTS["model/" + op] += 1
        if op == "register":
            cls = type("C%d" % i, (object,), {})
            roster.register_plugin(cls, os=os, series=series, model=mdl, chassis_type=chassis)
            model.setdefault(key, {})[chassis] = cls
            nodes.update(tuple(path[:d]) for d in range(1, len(path) + 1))
        elif op == "unregister":
            if chassis in model.get(key, {}):
                roster.unregister_plugin(os=os, series=series, model=mdl, chassis_type=chassis)
                del model[key][chassis]
            else:
                with pytest.raises(ConnectionInfraError):
                    roster.unregister_plugin(os=os, series=series, model=mdl,
                                             chassis_type=chassis)
        else:
            # The lookup walks down while the next node exists, then takes
            # the chassis entry of the node where it stopped.
            reached = ()
            for part in path:
                if reached + (part,) not in nodes:
                    break
                reached += (part,)
            expected = model.get(reached + (None,) * (3 - len(reached)), {}).get(chassis)
            if expected is not None:
                assert roster.get_plugin(os=os, series=series, model=mdl,
                                         chassis_type=chassis) is expected
            else:
                with pytest.raises(ConnectionInfraError):
                    roster.get_plugin(os=os, series=series, model=mdl, chassis_type=chassis)


TREES = st.recursive(
    st.one_of(values, st.just({})),
    lambda inner: st.dictionaries(st.one_of(texts, st.integers(), st.floats(allow_nan=False)),
                                  inner, max_size=4),
    max_leaves=12)


@given(data=TREES, output=st.one_of(st.just("plugin"), values))
def test_print_tree_ends_in_a_result_or_an_exception(data, output):
    kind, value = acceptable(outcome("print_tree", fresh().print_tree, data, output=output))
    if kind == "ok" and isinstance(output, str) and type(output) is str:
        assert isinstance(value, str)


@given(tree=st.recursive(st.text(max_size=5),
                         lambda inner: st.dictionaries(st.text(min_size=1, max_size=5), inner,
                                                       min_size=1, max_size=3), max_leaves=8))
def test_print_tree_of_plain_trees_has_one_line_per_key(tree):
    text = fresh().print_tree(tree, output="root")
    COUNTS["print_tree/plain"] += 1

    if not tree:
        assert text == ""
        return

    def count(node):
        if not isinstance(node, dict):
            return node.count("\n")
        # a falsy value renders as "", leaving an empty line without the key
        return sum(1 + (k.count("\n") if v else 0) + count(v) for k, v in node.items())
    assert text.count("\n") == count(tree)
    assert text.startswith("root")


@given(value=values)
def test_plugins_property_refuses_any_assignment(value):
    roster = fresh()
    kind, error = outcome("plugins.setter", setattr, roster, "plugins", value)
    assert kind == "raised" and str(error) == " Protected Member, cannot modify Plugins"
    assert outcome("plugins.getter", getattr, roster, "plugins") == ("ok", roster._plugins)


@given(plugins=TREES)
def test_repr_ends_in_a_result_or_an_exception(plugins):
    roster = fresh()
    roster.__dict__["_plugins"] = plugins
    kind, value = acceptable(outcome("__repr__", repr, roster))
    if kind == "ok" and value:  # an empty tree renders as ""
        assert value.startswith("plugins (")


@given(args=st.lists(values, max_size=2), kw=st.dictionaries(texts, values, max_size=2))
def test_init_and_discovery_refuse_arguments(args, kw):
    for label, fn in (("__init__", implroster.ImplRoster),
                      ("discover_builtin_plugins", implroster.ImplRoster.discover_builtin_plugins),
                      ("discover_external_plugins",
                       implroster.ImplRoster.discover_external_plugins)):
        if not args and not kw:
            continue
        kind, value = outcome(label + "/args", fn, *args, **kw)
        assert kind == "raised" and isinstance(value, TypeError)


ENTRY_ATTRS = ("name", "module_name", "load")


class FakeEntry(object):
    def __init__(self, broken, value):
        self.broken = broken
        self.value = value

    def __getattr__(self, name):
        if name in ("broken", "value"):
            raise AttributeError(name)
        if name == self.broken:
            raise Boom(name)
        if name == "load":
            return lambda: self.value
        return self.value


@given(entries=st.one_of(values, st.lists(st.builds(FakeEntry, st.sampled_from(
    ENTRY_ATTRS + (None,)), values), max_size=4)))
def test_external_discovery_with_hostile_entry_points(entries, monkeypatch_module):
    monkeypatch_module.setattr(implroster, "iter_entry_points", lambda group: entries)
    acceptable(outcome("discover_external_plugins", implroster.ImplRoster.discover_external_plugins))


@pytest.fixture(scope="module")
def monkeypatch_module():
    mp = pytest.MonkeyPatch() if hasattr(pytest, "MonkeyPatch") else None
    if mp is None:
        from _pytest.monkeypatch import MonkeyPatch
        mp = MonkeyPatch()
    yield mp
    mp.undo()


@given(walk=st.one_of(values, st.lists(st.one_of(values, st.tuples(values, values, values)),
                                       max_size=3)))
def test_builtin_discovery_with_a_hostile_package_walk(walk, monkeypatch_module):
    class FakePkgutil(object):
        @staticmethod
        def walk_packages(path, prefix, onerror=None):
            return walk
    monkeypatch_module.setattr(implroster, "pkgutil", FakePkgutil)
    monkeypatch_module.setattr(implroster, "importlib", None)
    acceptable(outcome("discover_builtin_plugins", implroster.ImplRoster.discover_builtin_plugins))
