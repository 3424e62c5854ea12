"""Leak checks: each public path of the registry and of the brokers,
including every error path, repeated thousands of times, must not grow the
interpreter's traced memory, the number of live gc-tracked objects, or the
reference counts of the objects it is handed.

TARVIX_LEAK_ROUNDS sets the number of measured repetitions (default 2000).
"""
import gc
import os
import sys
import tracemalloc

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "bases", "routers"))

from broker_doubles import FakeConnection, Journal  # noqa: E402

from tarvix.bases.routers import link_broker as lb  # noqa: E402
from tarvix.core import implroster  # noqa: E402

ROUNDS = int(os.environ.get("TARVIX_LEAK_ROUNDS", "2000"))
WARMUP = 200
# One leaked object per call is at least 16 bytes * ROUNDS; the slack covers
# the interpreter's own caches (free lists, interned strings, method caches).
MAX_GROWTH_BYTES = 8 * ROUNDS
MAX_GROWTH_OBJECTS = ROUNDS // 10


class Boom(Exception):
    pass


class Quiet(object):
    def debug(self, message):
        pass


class Plugin(object):
    pass


class BadStr(object):
    def __str__(self):
        raise Boom("str")

    def __contains__(self, item):
        return False

    def __bool__(self):
        return True


class BadBool(object):
    def __bool__(self):
        raise Boom("bool")


class BadHash(str):
    def __hash__(self):
        raise Boom("hash")

    def __eq__(self, other):
        return str.__eq__(self, other)


# Objects handed in by the paths: their reference counts must come back.
KEEP = {"plugin": Plugin, "bad_str": BadStr(), "bad_bool": BadBool(), "upper": "Upper",
        "arg": "generic"}


def roster():
    r = implroster.ImplRoster()
    r.register_plugin(Plugin, os="generic")
    r.register_plugin(Plugin, os="generic", series="s1", model="m1", chassis_type="dual_rp")
    return r


R = None
SELF_REF = {}
SELF_REF["me"] = SELF_REF


def expect(exc_type, fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError("%s did not raise %s" % (fn, exc_type))
    return call


def ok(fn, *args, **kwargs):
    return lambda: fn(*args, **kwargs)


def shallow(fn):
    """fn() under a low recursion limit (a cycle then fails fast)."""
    limit = sys.getrecursionlimit()
    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    sys.setrecursionlimit(depth + 60)
    try:
        fn()
    finally:
        sys.setrecursionlimit(limit)


def register_then_unregister():
    R.register_plugin(KEEP["plugin"], os="quilm", series="s2", model="m2")
    R.unregister_plugin(os="quilm", series="s2", model="m2", chassis_type="single_rp")


def entry_points(entries):
    def run():
        saved = implroster.iter_entry_points
        implroster.iter_entry_points = lambda group: entries
        try:
            implroster.ImplRoster.discover_external_plugins()
        finally:
            implroster.iter_entry_points = saved
    return run


class Entry(object):
    name = "ext"
    module_name = "ext.module"

    def __init__(self, fail):
        self.fail = fail

    def load(self):
        if self.fail:
            raise Boom("load")


def roster_paths():
    from tarvix.core.errors import ConnectionInfraError as CIE
    p = lambda: R  # noqa: E731  (the registry is made once per test)
    return {
        "validate_model/ok": lambda: p().validate_model("generic", "s1", "m1"),
        "validate_model/required": expect(CIE, lambda: p().validate_model(None, None, "m1")),
        "validate_model/type": expect(CIE, lambda: p().validate_model("generic", "s1", 5)),
        "validate_model/case": expect(CIE, lambda: p().validate_model("generic", "s1", "Upper")),
        "validate_model/bool_error": expect(Boom, lambda: p().validate_model(
            "generic", "s1", KEEP["bad_bool"])),
        "validate_model/str_error": expect(Boom, lambda: p().validate_model(
            None, None, KEEP["bad_str"])),
        "validate_model/missing_argument": expect(TypeError, lambda: p().validate_model("a")),
        "validate_model/unexpected_keyword": expect(TypeError, lambda: p().validate_model(
            "a", "b", "c", bogus=1)),
        "validate_model/multiple_values": expect(TypeError, lambda: p().validate_model(
            "a", "b", "c", os="d")),
        "validate_model/too_many": expect(TypeError, lambda: p().validate_model(1, 2, 3, 4)),
        "validate_series/ok": lambda: p().validate_series("generic", "s1"),
        "validate_series/required": expect(CIE, lambda: p().validate_series(None, "s1")),
        "validate_series/type": expect(CIE, lambda: p().validate_series("generic", 5)),
        "validate_series/case": expect(CIE, lambda: p().validate_series("generic", "S1")),
        "validate_os/ok": lambda: p().validate_os("generic"),
        "validate_os/unlisted": lambda: p().validate_os("elsewhere"),
        "validate_os/mocked": lambda: p().validate_os("mocked_os"),
        "validate_os/empty": expect(CIE, lambda: p().validate_os("")),
        "validate_os/str_error": expect(Boom, lambda: p().validate_os(KEEP["bad_str"])),
        "validate_chassis_type/ok": lambda: p().validate_chassis_type("dual_rp"),
        "validate_chassis_type/bad": expect(CIE, lambda: p().validate_chassis_type("quad")),
        "validate_arguments/ok": lambda: p().validate_arguments("generic", "s1", "m1", "stack"),
        "validate_arguments/gavri": lambda: p().validate_arguments("gavri", None, None, "x"),
        "validate_arguments/bad": expect(CIE, lambda: p().validate_arguments("", None, None,
                                                                             "x")),
        "get_plugin/found": lambda: p().get_plugin(os="generic"),
        "get_plugin/deep": lambda: p().get_plugin("generic", "s1", "m1", "dual_rp"),
        "get_plugin/not_found": expect(CIE, lambda: p().get_plugin(os="quilm")),
        "get_plugin/chassis_not_found": expect(CIE, lambda: p().get_plugin(
            os="generic", chassis_type="stack")),
        "get_plugin/hash_error": expect(Boom, lambda: p().get_plugin(os=BadHash("generic"))),
        "register+unregister/ok": register_then_unregister,
        "register_plugin/reserved": expect(CIE, lambda: p().register_plugin(
            KEEP["plugin"], os="data")),
        "register_plugin/getfile_error": expect(TypeError, lambda: p().register_plugin(
            5, os="generic")),
        "register_plugin/hash_error": expect(Boom, lambda: p().register_plugin(
            KEEP["plugin"], os=BadHash("generic"))),
        "register_plugin/invalid": expect(CIE, lambda: p().register_plugin(
            KEEP["plugin"], os="generic", chassis_type="quad")),
        "unregister_plugin/not_found": expect(CIE, lambda: p().unregister_plugin(os="quilm")),
        "unregister_plugin/no_data": expect(CIE, lambda: p().unregister_plugin(
            os="generic", series="s1")),
        "unregister_plugin/chassis_not_found": expect(CIE, lambda: p().unregister_plugin(
            os="generic", chassis_type="stack")),
        "print_tree/tree": lambda: p().print_tree(p()._plugins),
        "print_tree/leaf": lambda: p().print_tree("leaf", output="x"),
        "print_tree/empty": lambda: p().print_tree({}),
        "print_tree/unsortable": expect(TypeError, lambda: p().print_tree({1: 1, "a": 2})),
        "print_tree/str_error": expect(Boom, lambda: p().print_tree({"k": KEEP["bad_str"]})),
        "print_tree/cycle": expect(RecursionError, shallow, lambda: p().print_tree(SELF_REF)),
        "print_tree/bad_output": expect(TypeError, lambda: p().print_tree({"k": 1}, output=5)),
        "__repr__": lambda: repr(p()),
        "plugins/get": lambda: p().plugins,
        "plugins/set": expect(Exception, setattr, None, "plugins", None),
        "__init__/args": expect(TypeError, implroster.ImplRoster, 1),
        "discover_external_plugins/ok": entry_points([Entry(False)]),
        "discover_external_plugins/load_error": expect(Boom, entry_points([Entry(True)])),
        "discover_external_plugins/not_iterable": expect(TypeError, entry_points(5)),
    }


def journal_sleep(*args):
    pass


def broker_call(cls, method, dual=False, fail=None, error=Boom, **con_kwargs):
    """A fresh connection each time (the doubles journal every call), the
    broker's method called, the expected failure (if any) caught."""
    def run():
        journal = Journal()
        if dual:
            con_kwargs.setdefault("HA_STANDBY_UNLOCK_COMMANDS", ["unlock"])
        con = FakeConnection(journal, dual=dual, **con_kwargs)
        con.init_exec_commands = ["term len 0"]
        con.init_config_commands = ["no logging console"]
        if dual:
            con.a.role, con.b.role = "active", "standby"
            con.a.spawn.answer = "active"
            con.outputs["sh redundancy state"] = "Redundancy State = sso"
        if fail:
            journal.failures[fail] = error("injected")
        broker = cls(con)
        try:
            getattr(broker, method)()
        except error:
            if not fail:
                raise
            return
        if fail:
            raise AssertionError("%s did not fail" % fail)
    return run


def broker_paths():
    S, D, C = lb.BaseSingleRpLinkBroker, lb.BaseDualRpLinkBroker, lb.BaseCommonRpLinkBroker
    paths = {
        "single.connect/ok": broker_call(S, "connect"),
        "single.connect/log_error": broker_call(S, "connect", fail="log.info"),
        "single.connect/go_to_error": broker_call(S, "connect", fail="sm.go_to"),
        "single.connect/execute_error": broker_call(S, "connect", fail="con.execute"),
        "single.disconnect/ok": broker_call(S, "disconnect"),
        "single.disconnect/close_error": broker_call(S, "disconnect", fail="spawn.close"),
        "dual.connect/ok": broker_call(D, "connect", dual=True),
        "dual.connect/sendline_error": broker_call(D, "connect", dual=True,
                                                   fail="a.spawn.sendline"),
        "dual.connect/configure_error": broker_call(D, "connect", dual=True,
                                                    fail="con.configure"),
        "dual.designate_handles/expect_error": broker_call(D, "designate_handles", dual=True,
                                                           fail="a.spawn.expect"),
        "dual.assign_ha_mode/execute_error": broker_call(D, "assign_ha_mode", dual=True,
                                                         fail="con.execute"),
        "dual.unlock_standby/ok": broker_call(D, "unlock_standby", dual=True),
        "dual.lock_standby/ok": broker_call(D, "lock_standby", dual=True),
        "dual.disconnect/ok": broker_call(D, "disconnect", dual=True),
        "dual.disconnect/close_error": broker_call(D, "disconnect", dual=True,
                                                   fail="b.spawn.close"),
        "common.get_connection_dialog": broker_call(C, "get_connection_dialog"),
        "common.execute_init_commands/ok": broker_call(C, "execute_init_commands"),
    }

    def designate_fails():
        journal = Journal()
        con = FakeConnection(journal, dual=True)
        con.a.spawn.answer = "neither"
        try:
            D(con).designate_handles()
        except Exception as exc:
            assert "unable to designate handles" in str(exc)
            return
        raise AssertionError("designate_handles did not fail")
    paths["dual.designate_handles/no_role"] = designate_fails

    def ha_mode_fails():
        con = FakeConnection(Journal(), dual=True)
        try:
            D(con).assign_ha_mode()
        except Exception as exc:
            assert "unable to determine redundancy mode" in str(exc)
            return
        raise AssertionError("assign_ha_mode did not fail")
    paths["dual.assign_ha_mode/no_mode"] = ha_mode_fails

    def not_a_list():
        con = FakeConnection(Journal())
        con.init_exec_commands = "show version"
        try:
            S(con).execute_init_commands()
        except AssertionError as exc:
            assert str(exc) == "Init commands must be a list"
            return
        raise RuntimeError("no assertion")
    if sys.flags.optimize == 0:
        paths["common.execute_init_commands/not_a_list"] = not_a_list
    paths["broker.__init__/missing"] = expect(TypeError, S)
    paths["broker.connect/args"] = expect(TypeError, lambda: S.connect(S.__new__(S), 1))
    paths["broker.__init__/no_context"] = expect(AttributeError, S, object())
    return paths


ROSTER = roster_paths()
BROKERS = broker_paths()


def measure(fn, rounds=ROUNDS):
    for _ in range(WARMUP * rounds // ROUNDS):
        fn()
    gc.collect()
    refcounts = {k: sys.getrefcount(v) for k, v in KEEP.items()}
    objects = len(gc.get_objects())
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            fn()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    gc.collect()
    grown_objects = len(gc.get_objects()) - objects
    grown_refs = {k: sys.getrefcount(v) - refcounts[k] for k, v in KEEP.items()}
    return after - before, grown_objects, grown_refs


@pytest.fixture(autouse=True)
def setting(monkeypatch):
    global R
    monkeypatch.setattr(implroster, "log", Quiet())
    monkeypatch.setattr(lb, "sleep", journal_sleep)
    R = roster()
    yield
    R = None


@pytest.mark.parametrize("path", sorted(ROSTER) + sorted(BROKERS))
def test_path_does_not_leak(path):
    fn = ROSTER.get(path) or BROKERS[path]
    if path == "plugins/set":
        fn = expect(Exception, setattr, R, "plugins", None)
    fn()  # the path does what it is named for (raises what it should)
    # A cycle recurses to the interpreter's limit at every call (on 3.12 and
    # later the C limit, which sys.setrecursionlimit does not lower): each
    # call is thousands of nested calls, so fewer rounds see any leak.
    rounds = ROUNDS // 20 if path == "print_tree/cycle" else ROUNDS
    grown_bytes, grown_objects, grown_refs = measure(fn, rounds)
    assert grown_bytes < MAX_GROWTH_BYTES, "%s: %d bytes more after %d calls" % (
        path, grown_bytes, rounds)
    assert grown_objects < MAX_GROWTH_OBJECTS, "%s: %d more live objects after %d calls" % (
        path, grown_objects, rounds)
    assert all(n <= 2 for n in grown_refs.values()), (path, grown_refs)


def test_the_check_sees_a_leak():
    """The measure itself: a path that keeps one small object per call fails."""
    kept = []
    grown_bytes, grown_objects, _ = measure(lambda: kept.append([]))
    assert grown_bytes >= MAX_GROWTH_BYTES and grown_objects >= MAX_GROWTH_OBJECTS
