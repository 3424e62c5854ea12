"""The dual-RP broker: connect, establish_connection, designation, HA mode,
initialisation, standby lock/unlock and disconnect."""
import re
import time

import pytest

from tarvix.core import errors

GO_TO_ANY_KW = ("context", "prompt_recovery", "timeout", "dialog")
GO_TO_ENABLE_KW = ("context", "prompt_recovery", "timeout")
HA_OUTPUT = "Redundancy State = sso  \nother"


def build(lb, con, journal, **attrs):
    for name, value in attrs.items():
        setattr(con, name, value)
    broker = lb.BaseDualRpLinkBroker(con)
    del journal[:]
    return broker


def designated(con, active="a"):
    standby = "b" if active == "a" else "a"
    object.__setattr__(getattr(con, active), "role", "active")
    object.__setattr__(getattr(con, standby), "role", "standby")


# ---------------------------------------------------------------- connect


def test_connect_full_sequence(lb, dual_con, journal):
    dual_con.a.spawn.answer = "my state = 13 -ACTIVE"
    dual_con.outputs["sh redundancy state"] = HA_OUTPUT
    dual_con.init_exec_commands = ["term len 0"]
    dual_con.init_config_commands = ["no logging"]
    dual_con.settings._values["HA_STANDBY_UNLOCK_COMMANDS"] = ["unlock"]
    dual_con.context["prompt_recovery"] = True
    broker = build(lb, dual_con, journal)
    dual_con.context["prompt_recovery"] = "later"
    assert broker.connect() is None
    expected = [
        ("log.info", ("+++ connection to spawn of a.spawn +++",), ()),
        ("log.info", ("+++ connection to spawn of b.spawn +++",), ()),
        ("context.get", ("login_creds",), ()),
        ("context.update", (), ("cred_list",)),
        ("a.sm.go_to", ("any", dual_con.a.spawn), GO_TO_ANY_KW),
        ("b.sm.go_to", ("any", dual_con.b.spawn), GO_TO_ANY_KW),
        ("a.spawn.sendline", (), ()),
        ("b.spawn.sendline", (), ()),
        ("a.sm.go_to", ("any", dual_con.a.spawn), GO_TO_ANY_KW),
        ("b.sm.go_to", ("any", dual_con.b.spawn), GO_TO_ANY_KW),
        ("context.pop", ("cred_list", None), ()),
        ("con.set:_is_connected", (True,), ()),
        ("log.info", ("+++ designating handles +++",), ()),
        ("log.debug", ("both the rp's are unlocked",), ()),
        ("a.sm.go_to", ("enable", dual_con.a.spawn), GO_TO_ENABLE_KW),
        ("a.spawn.sendline", ("sh redundancy stat | inc my state",), ()),
        ("a.sm.get_state", ("enable",), ()),
        ("a.spawn.expect", ("pattern-of-enable",), ("timeout",)),
        ("a.set:role", ("active",), ()),
        ("b.set:role", ("standby",), ()),
        ("con.set:_handles_designated", (True,), ()),
        ("log.info", ("+++ initializing active handle +++",), ()),
        ("con.execute", ("term len 0",), ("prompt_recovery",)),
        ("con.configure", (["no logging"],), ("prompt_recovery",)),
        ("log.info", ("+++ unlocking standby +++",), ()),
        ("settings.read", ("HA_STANDBY_UNLOCK_COMMANDS",), ()),
        ("con.configure", (["unlock"],), ("prompt_recovery",)),
        ("b.sm.set:_current_state", ("generic",), ()),
        ("b.spawn.sendline", (), ()),
        ("b.sm.go_to", (), ("spawn", "prompt_recovery", "to_state")),
        ("log.info", ("+++ initializing standby handle +++",), ()),
        ("a.sm.go_to", ("enable", dual_con.a.spawn), GO_TO_ENABLE_KW),
        ("con.execute", ("term len 0",), ("prompt_recovery",)),
        ("log.info", ("+++ assigning ha mode +++",), ()),
        ("con.execute", ("sh redundancy state",), ("target", "prompt_recovery")),
        ("a.set:mode", ("sso",), ()),
        ("b.set:mode", ("sso",), ()),
        ("log.debug", ("redundancy mode is sso",), ()),
        ("context.pop", ("prompt_recovery", None), ()),
    ]
    assert journal.shorts() == expected
    # every go_to, execute and unlock configure carries the flag taken at construction
    flagged = [c for c in journal if c.name in ("go_to", "execute")] + journal.of("con.configure")
    assert {c.kw("prompt_recovery") for c in flagged} == {True}
    assert journal.of("a.spawn.expect")[0].kw("timeout") == 15
    assert broker.prompt_recovery is True
    assert "prompt_recovery" not in dual_con.context and "cred_list" not in dual_con.context
    assert dual_con.a.mode is dual_con.b.mode


def test_connect_stage_order_with_overrides(lb, dual_con, journal):
    stages = ["designate_handles", "init_active", "unlock_standby", "init_standby",
              "assign_ha_mode", "establish_connection"]

    def recorder(name):
        def step(self):
            journal.record("broker", name)
            return "ignored"
        return step

    Platform = type("Platform", (lb.BaseDualRpLinkBroker,), {s: recorder(s) for s in stages})
    broker = Platform(dual_con)
    del journal[:]
    assert broker.connect() is None
    assert [(c.key, c.args) for c in journal] == [
        ("log.info", ("+++ connection to spawn of a.spawn +++",)),
        ("log.info", ("+++ connection to spawn of b.spawn +++",)),
        ("broker.establish_connection", ()),
        ("con.set:_is_connected", (True,)),
        ("log.info", ("+++ designating handles +++",)),
        ("broker.designate_handles", ()),
        ("log.info", ("+++ initializing active handle +++",)),
        ("broker.init_active", ()),
        ("log.info", ("+++ unlocking standby +++",)),
        ("broker.unlock_standby", ()),
        ("log.info", ("+++ initializing standby handle +++",)),
        ("broker.init_standby", ()),
        ("log.info", ("+++ assigning ha mode +++",)),
        ("broker.assign_ha_mode", ()),
        ("context.pop", ("prompt_recovery", None)),
    ]


def test_mit_connects_without_stages(lb, dual_con, journal):
    broker = build(lb, dual_con, journal, mit=1)
    dual_con.context["prompt_recovery"] = True
    broker.connect()
    assert [line for _, line in dual_con.log.lines()] == [
        "+++ connection to spawn of a.spawn +++", "+++ connection to spawn of b.spawn +++"]
    assert journal.keys()[-2:] == ["con.set:_is_connected", "context.pop"]
    assert dual_con._is_connected is True and dual_con._handles_designated is False
    assert "prompt_recovery" not in dual_con.context
    assert broker.prompt_recovery is False


def test_designation_failure_leaves_connected(lb, dual_con, journal):
    dual_con.a.spawn.answer = "my state = unknown"
    broker = build(lb, dual_con, journal)
    dual_con.context["prompt_recovery"] = True
    with pytest.raises(errors.ConnectionError) as info:
        broker.connect()
    assert str(info.value) == "unable to designate handles"
    assert dual_con._is_connected is True
    assert journal.of("con.execute") == [] and journal.of("con.configure") == []
    assert dual_con.context["prompt_recovery"] is True


# ---------------------------------------------------------------- establish_connection


def test_establish_dialogs_are_fresh_per_go_to(lb, dual_con, journal):
    broker = build(lb, dual_con, journal)
    assert broker.establish_connection() is None
    dialogs = [c.kw("dialog") for c in journal if c.name == "go_to"]
    assert len(dialogs) == 4 and len({id(d) for d in dialogs}) == 4
    assert {c.kw("context") is dual_con.context for c in journal if c.name == "go_to"} == {True}


@pytest.mark.parametrize("failing, calls_made", [
    ("a.sm.go_to", 1), ("b.sm.go_to", 2), ("a.spawn.sendline", 3), ("b.spawn.sendline", 4)])
def test_establish_failure_leaves_state_behind(lb, dual_con, journal, failing, calls_made):
    broker = build(lb, dual_con, journal, learn_hostname=True)
    journal.failures[failing] = errors.ConnectionError("lost")
    with pytest.raises(errors.ConnectionError):
        broker.connect()
    steps = [c for c in journal if c.name in ("go_to", "sendline")]
    assert len(steps) == calls_made
    assert "cred_list" in dual_con.context
    assert dual_con.a.state_machine.learn_hostname is True
    assert dual_con.b.state_machine.learn_hostname is True
    assert dual_con.learned_hostname is None
    assert dual_con._is_connected is False


@pytest.mark.parametrize("found_a, found_b, stored, warns", [
    ("ra", "rb", "ra", False),
    ("ra", "DEFAULT", "ra", False),
    ("DEFAULT", "rb", "rb", False),
    ("DEFAULT", "DEFAULT", "DEFAULT", True),
])
def test_hostname_prefers_a(lb, dual_con, journal, monkeypatch, found_a, found_b, stored, warns):
    monkeypatch.setattr(lb, "DEFAULT_LEARNED_HOSTNAME", "DEFAULT")
    dual_con.found_hostnames = {dual_con.a.spawn: found_a, dual_con.b.spawn: found_b}
    broker = build(lb, dual_con, journal, learn_hostname=True, learned_hostname="")
    dual_con.a.state_machine.probe = lambda: (dual_con.a.state_machine.learn_hostname,
                                              dual_con.b.state_machine.learn_hostname)
    broker.establish_connection()
    lookups = journal.of("con._get_learned_hostname")
    assert [(c.args, c.kwargs) for c in lookups] == [
        ((), [("spawn", dual_con.a.spawn)]), ((), [("spawn", dual_con.b.spawn)])]
    assert dual_con.learned_hostname == stored
    warnings = [line for kind, line in dual_con.log.lines() if kind == "warning"]
    assert warnings == (["Failed to learn the hostname.  Using the default hostname pattern "
                         "DEFAULT. This may lead to unstable behavior."] if warns else [])
    assert journal.keys()[:2] == ["a.sm.set:learn_hostname", "b.sm.set:learn_hostname"]
    assert journal.keys()[-2:] == ["a.sm.set:learn_hostname", "b.sm.set:learn_hostname"]
    assert journal.of("a.sm.go_to")[0].seen == (True, True)
    assert dual_con.a.state_machine.learn_hostname is False
    assert dual_con.b.state_machine.learn_hostname is False


@pytest.mark.parametrize("learn, learned", [(True, "known"), (False, ""), (None, None)])
def test_no_hostname_learning(lb, dual_con, journal, learn, learned):
    broker = build(lb, dual_con, journal, learn_hostname=learn, learned_hostname=learned)
    broker.establish_connection()
    assert [k for k in journal.keys() if "learn" in k] == []
    assert dual_con.learned_hostname == learned


def test_context_prompt_recovery_added_later_is_not_used(lb, dual_con, journal):
    dual_con.a.spawn.answer = "ACTIVE"
    dual_con.outputs["sh redundancy state"] = HA_OUTPUT
    dual_con.settings._values["HA_STANDBY_UNLOCK_COMMANDS"] = []
    broker = build(lb, dual_con, journal)
    dual_con.context["prompt_recovery"] = True
    broker.connect()
    assert {c.kw("prompt_recovery") for c in journal if "prompt_recovery" in c.kwnames} == {False}
    assert "prompt_recovery" not in dual_con.context
    assert broker.prompt_recovery is False


# ---------------------------------------------------------------- designate_handles


@pytest.mark.parametrize("state_a, state_b, target, debug_line, b_state_read", [
    ("standby_locked", "enable", "b", False, False),
    ("standby_locked", "standby_locked", "b", False, False),
    ("enable", "standby_locked", "a", False, True),
    ("enable", "disable", "a", True, True),
    ("STANDBY_LOCKED", "enable", "a", True, True),
])
def test_designation_target(lb, dual_con, journal, state_a, state_b, target, debug_line,
                            b_state_read):
    dual_con.a.state_machine.current_state = state_a
    dual_con.b.state_machine.current_state = state_b
    reads = []

    class Watch(type(dual_con.b.state_machine)):
        @property
        def current_state(self):
            reads.append(self._who)
            return self.__dict__["_cs"]

        @current_state.setter
        def current_state(self, value):
            self.__dict__["_cs"] = value

    for handle in (dual_con.a, dual_con.b):
        state = handle.state_machine.current_state
        handle.state_machine.__class__ = Watch
        handle.state_machine.current_state = state
    getattr(dual_con, target).spawn.answer = "Active"
    broker = build(lb, dual_con, journal)
    assert broker.designate_handles() is None
    assert reads == (["a.sm", "b.sm"] if b_state_read else ["a.sm"])
    other = "a" if target == "b" else "b"
    assert getattr(dual_con, target).role == "active"
    assert getattr(dual_con, other).role == "standby"
    assert [c.who for c in journal if c.who.startswith(other)] == [other]  # only its role set
    assert (("debug", "both the rp's are unlocked") in dual_con.log.lines()) is debug_line


@pytest.mark.parametrize("answer, asked_role", [
    ("my state = 13 -ACTIVE", "active"),
    ("my state = 13 -active", "active"),
    ("my state = 8 -STANDBY HOT", "standby"),
    ("Standby", "standby"),
    ("standby then active", "active"),
])
def test_designation_roles(lb, dual_con, journal, answer, asked_role):
    dual_con.a.spawn.answer = answer
    broker = build(lb, dual_con, journal)
    broker.designate_handles()
    assert dual_con.a.role == asked_role
    assert dual_con.b.role == ("standby" if asked_role == "active" else "active")
    assert dual_con._handles_designated is True


@pytest.mark.parametrize("rebind", [False, True])
def test_designation_without_answer(lb, dual_con, journal, monkeypatch, rebind):
    error_class = errors.ConnectionError
    if rebind:
        class PlatformError(Exception):
            pass
        error_class = PlatformError
        monkeypatch.setattr(lb, "ConnectionError", PlatformError)
    dual_con.a.spawn.answer = "my state = 1 -DISABLED"
    broker = build(lb, dual_con, journal)
    with pytest.raises(error_class) as info:
        broker.designate_handles()
    assert type(info.value) is error_class
    assert str(info.value) == "unable to designate handles"
    assert dual_con.a.role is None and dual_con.b.role is None
    assert dual_con._handles_designated is False


def test_designation_uses_module_re(lb, dual_con, journal, monkeypatch):
    searches = []

    class Re(object):
        IGNORECASE = re.IGNORECASE

        @staticmethod
        def search(*args):
            searches.append(args)
            return re.search(*args)

    monkeypatch.setattr(lb, "re", Re)
    dual_con.a.spawn.answer = "STANDBY"
    build(lb, dual_con, journal).designate_handles()
    assert searches == [("active", "STANDBY", re.IGNORECASE), ("standby", "STANDBY", re.IGNORECASE)]


def test_second_role_failure_leaves_first_set(lb, dual_con, journal):
    dual_con.a.spawn.answer = "active"
    journal.failures["b.set:role"] = RuntimeError("read-only")
    broker = build(lb, dual_con, journal)
    with pytest.raises(RuntimeError):
        broker.designate_handles()
    assert dual_con.a.role == "active"
    assert dual_con._handles_designated is False


def test_expect_failure_sets_nothing(lb, dual_con, journal):
    journal.failures["a.spawn.expect"] = TimeoutError("prompt")
    broker = build(lb, dual_con, journal)
    with pytest.raises(TimeoutError):
        broker.designate_handles()
    assert dual_con.a.role is None and dual_con.b.role is None
    assert [c.who for c in journal if c.who.startswith("b")] == []


# ---------------------------------------------------------------- HA mode, init


@pytest.mark.parametrize("output, mode", [
    ("Redundancy State = sso   ", "sso"),
    ("redundancy  state\t=  Stateful Switchover\r\n", "Stateful Switchover"),
    ("Redundancy State =\n   rpr\nMore", "rpr"),
    ("Redundancy State = first\nRedundancy State = second", "first"),
    ("REDUNDANCY STATE = sso", None),
    ("Redundancy State=sso", None),
    ("Redundancy State =sso", None),
    ("", None),
])
def test_assign_ha_mode(lb, dual_con, journal, output, mode):
    dual_con.outputs["sh redundancy state"] = output
    broker = build(lb, dual_con, journal)
    broker.prompt_recovery = "PR"
    if mode is None:
        with pytest.raises(errors.ConnectionError) as info:
            broker.assign_ha_mode()
        assert str(info.value) == "unable to determine redundancy mode"
        assert dual_con.a.mode is None and dual_con.b.mode is None
        assert dual_con.log.lines() == []
    else:
        assert broker.assign_ha_mode() is None
        assert dual_con.a.mode == mode and dual_con.b.mode is dual_con.a.mode
        assert dual_con.log.lines() == [("debug", "redundancy mode is %s" % mode)]
    call = journal[0]
    assert call.key == "con.execute" and call.args == ("sh redundancy state",)
    assert call.kwargs == [("target", "active"), ("prompt_recovery", "PR")]


def test_init_active_sends_all_commands(lb, dual_con, journal):
    broker = build(lb, dual_con, journal, init_exec_commands=["e"], init_config_commands=["c"])
    assert broker.init_active() is None
    assert [c.key for c in journal] == ["con.execute", "con.configure"]


def test_init_active_with_empty_lists(lb, dual_con, journal):
    broker = build(lb, dual_con, journal, init_exec_commands=[], init_config_commands=[])
    broker.init_active()
    assert journal == []


def test_init_standby(lb, dual_con, journal):
    designated(dual_con, active="b")
    broker = build(lb, dual_con, journal, init_exec_commands=["e1", "e2"],
                   init_config_commands=["c"])
    assert broker.init_standby() is None
    assert journal.shorts() == [
        ("b.sm.go_to", ("enable", dual_con.b.spawn), GO_TO_ENABLE_KW),
        ("con.execute", ("e1",), ("prompt_recovery",)),
        ("con.execute", ("e2",), ("prompt_recovery",)),
    ]


def test_init_standby_passes_standby_keyword(lb, dual_con, journal):
    class Platform(lb.BaseDualRpLinkBroker):
        def execute_init_commands(self, *args, **kwargs):
            journal.record("broker", "execute_init_commands", args, kwargs)

    designated(dual_con)
    broker = Platform(dual_con)
    del journal[:]
    broker.init_standby()
    assert journal[-1].args == () and journal[-1].kwargs == [("standby", True)]


def test_init_standby_go_to_failure_sends_nothing(lb, dual_con, journal):
    designated(dual_con)
    journal.failures["a.sm.go_to"] = RuntimeError("x")
    broker = build(lb, dual_con, journal, init_exec_commands=["e"])
    with pytest.raises(RuntimeError):
        broker.init_standby()
    assert journal.of("con.execute") == []


# ---------------------------------------------------------------- lock / unlock


def test_unlock_standby(lb, dual_con, journal):
    commands = ["redundancy", "no standby lock"]
    dual_con.settings._values["HA_STANDBY_UNLOCK_COMMANDS"] = commands
    designated(dual_con, active="a")
    broker = build(lb, dual_con, journal)
    broker.prompt_recovery = "PR"
    assert broker.unlock_standby() is None
    assert journal.shorts() == [
        ("settings.read", ("HA_STANDBY_UNLOCK_COMMANDS",), ()),
        ("con.configure", (commands,), ("prompt_recovery",)),
        ("b.sm.set:_current_state", ("generic",), ()),
        ("b.spawn.sendline", (), ()),
        ("b.sm.go_to", (), ("spawn", "prompt_recovery", "to_state")),
    ]
    assert journal[1].args[0] is commands
    assert journal[-1].kwargs == [("spawn", dual_con.b.spawn), ("prompt_recovery", "PR"),
                                  ("to_state", "any")]


def test_unlock_without_setting(lb, dual_con, journal):
    designated(dual_con)
    broker = build(lb, dual_con, journal)
    with pytest.raises(AttributeError):
        broker.unlock_standby()
    assert journal.of("con.configure") == []


@pytest.mark.parametrize("failing, state_touched", [
    ("con.configure", False), ("b.spawn.sendline", True), ("b.sm.go_to", True)])
def test_unlock_failures(lb, dual_con, journal, failing, state_touched):
    dual_con.settings._values["HA_STANDBY_UNLOCK_COMMANDS"] = ["x"]
    designated(dual_con)
    journal.failures[failing] = RuntimeError("x")
    broker = build(lb, dual_con, journal)
    with pytest.raises(RuntimeError):
        broker.unlock_standby()
    assert (dual_con.b.state_machine._current_state == "generic") is state_touched


def test_lock_standby_twice(lb, dual_con, journal):
    broker = build(lb, dual_con, journal)
    assert broker.lock_standby() is None
    broker.lock_standby()
    first, second = journal.of("con.configure")
    for call in (first, second):
        assert call.args == (["redundancy", "main-cpu", "no standby console enable"],)
        assert call.kwargs == []
    assert first.args[0] is not second.args[0]
    assert len(journal) == 2


# ---------------------------------------------------------------- disconnect


def test_disconnect(lb, dual_con, journal):
    designated(dual_con)
    broker = build(lb, dual_con, journal, _is_connected=True, _handles_designated=True)
    assert broker.disconnect() is None
    assert journal.shorts() == [("a.spawn.close", (), ()), ("b.spawn.close", (), ()),
                                ("time.sleep", (2,), ()), ("con.set:_is_connected", (False,), ())]
    assert dual_con.a.role == "active" and dual_con._handles_designated is True


def test_disconnect_never_designated(lb, dual_con, journal):
    broker = build(lb, dual_con, journal, _is_connected=True)
    broker.disconnect()
    assert dual_con._is_connected is False


@pytest.mark.parametrize("failing, closed", [("a.spawn.close", ["a"]),
                                             ("b.spawn.close", ["a", "b"])])
def test_disconnect_close_failure(lb, dual_con, journal, failing, closed):
    journal.failures[failing] = OSError("x")
    broker = build(lb, dual_con, journal, _is_connected=True)
    with pytest.raises(OSError):
        broker.disconnect()
    assert [c.who[0] for c in journal] == closed
    assert dual_con._is_connected is True


@pytest.mark.real_sleep
@pytest.mark.slow
def test_disconnect_really_waits_two_seconds(lb, dual_con, journal):
    broker = build(lb, dual_con, journal, _is_connected=True)
    start = time.monotonic()
    broker.disconnect()
    assert time.monotonic() - start >= 2.0
    assert dual_con._is_connected is False
