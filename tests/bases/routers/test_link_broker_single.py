"""The single-RP broker: connect, establish_connection, init_handle, disconnect."""
import time

import pytest

from tarvix.core import errors

GO_TO_ANY_KW = ("context", "prompt_recovery", "timeout", "dialog")
GO_TO_ENABLE_KW = ("context", "prompt_recovery", "timeout")


def build(lb, con, journal, **attrs):
    for name, value in attrs.items():
        setattr(con, name, value)
    broker = lb.BaseSingleRpLinkBroker(con)
    del journal[:]
    return broker


def test_connect_full_sequence(lb, single_con, journal):
    single_con.context["login_creds"] = ["default"]
    single_con.context["prompt_recovery"] = True
    broker = build(lb, single_con, journal, learn_hostname=True, learned_hostname="",
                   init_exec_commands=["term len 0"], init_config_commands=["no ip domain"])
    single_con.context["prompt_recovery"] = "later"
    single_con.state_machine.probe = lambda: (dict(single_con.context),
                                              single_con.state_machine.learn_hostname,
                                              single_con._is_connected)
    assert broker.connect() == "sm reached"
    assert journal.shorts() == [
        ("log.info", ("connection to R1",), ()),
        ("sm.set:learn_hostname", (True,), ()),
        ("context.get", ("login_creds",), ()),
        ("context.update", (), ("cred_list",)),
        ("sm.go_to", ("any", single_con.spawn), GO_TO_ANY_KW),
        ("context.pop", ("cred_list", None), ()),
        ("con._get_learned_hostname", (single_con.spawn,), ()),
        ("con.set:learned_hostname", ("found-R1",), ()),
        ("sm.set:learn_hostname", (False,), ()),
        ("log.info", ("+++ initializing handle +++",), ()),
        ("con.set:_is_connected", (True,), ()),
        ("sm.go_to", ("enable", single_con.spawn), GO_TO_ENABLE_KW),
        ("con.execute", ("term len 0",), ("prompt_recovery",)),
        ("con.configure", (["no ip domain"],), ("prompt_recovery",)),
        ("context.pop", ("prompt_recovery", False), ()),
    ]
    go_any, go_enable = journal.of("sm.go_to")
    assert go_any.kw("context") is single_con.context
    assert go_any.kw("prompt_recovery") is True
    assert go_any.kw("timeout") == 60
    assert go_any.kw("dialog").statements == []
    context_then, flag_then, connected_then = go_any.seen
    assert context_then["cred_list"] == ["default"]
    assert flag_then is True and connected_then is False
    assert go_enable.seen[2] is True  # marked connected before go_to "enable"
    assert go_enable.kw("context") is single_con.context
    assert [c.kw("prompt_recovery") for c in journal.of("con.execute")] == [True]
    assert broker.prompt_recovery == "later"
    assert "cred_list" not in single_con.context and "prompt_recovery" not in single_con.context
    assert single_con.learned_hostname == "found-R1"


@pytest.mark.parametrize("learn, learned, learns", [
    (True, "", True),
    (True, None, True),
    (True, "R1", False),
    (False, None, False),
    (0, "", False),
    ([], None, False),
])
def test_hostname_learning_decision(lb, single_con, journal, learn, learned, learns):
    broker = build(lb, single_con, journal, learn_hostname=learn, learned_hostname=learned)
    broker.establish_connection()
    touched = [c for c in journal if c.key == "sm.set:learn_hostname"]
    if learns:
        assert [c.args for c in touched] == [(True,), (False,)]
        assert len(journal.of("con._get_learned_hostname")) == 1
        assert single_con.learned_hostname == "found-R1"
    else:
        assert touched == []
        assert journal.of("con._get_learned_hostname") == []
        assert single_con.learned_hostname == learned


def test_learned_hostname_is_not_read_when_not_asked(lb, journal):
    from broker_doubles import FakeConnection

    class Con(FakeConnection):
        @property
        def learned_hostname(self):
            raise AssertionError("must not be read")

        @learned_hostname.setter
        def learned_hostname(self, value):
            pass

    con = Con(journal)
    broker = build(lb, con, journal, learn_hostname=False)
    assert broker.establish_connection() == "sm reached"


@pytest.mark.parametrize("rebind", [False, True])
def test_default_hostname_draws_one_warning(lb, single_con, journal, monkeypatch, rebind):
    pattern = lb.DEFAULT_LEARNED_HOSTNAME
    if rebind:
        pattern = "other-default"
        monkeypatch.setattr(lb, "DEFAULT_LEARNED_HOSTNAME", pattern)
    single_con.found_hostnames[single_con.spawn] = pattern
    broker = build(lb, single_con, journal, learn_hostname=True)
    broker.establish_connection()
    assert single_con.log.lines() == [(
        "warning",
        "Using the default hostname pattern {}. This may lead to unstable behavior.".format(pattern),
    )]
    assert single_con.learned_hostname == pattern
    assert single_con.state_machine.learn_hostname is False


def test_found_name_equal_to_default_by_value_warns(lb, single_con, journal):
    class Name(str):
        pass

    single_con.found_hostnames[single_con.spawn] = Name(lb.DEFAULT_LEARNED_HOSTNAME)
    broker = build(lb, single_con, journal, learn_hostname=True)
    broker.establish_connection()
    assert [k for k, _ in single_con.log.lines()] == ["warning"]


@pytest.mark.parametrize("before, creds", [({}, None), ({"cred_list": ["old"]}, None),
                                           ({"login_creds": "c"}, "c")])
def test_cred_list_exists_only_around_go_to(lb, single_con, journal, before, creds):
    single_con.context.update(before)
    broker = build(lb, single_con, journal)
    single_con.state_machine.probe = lambda: dict(single_con.context)
    broker.establish_connection()
    assert journal.of("sm.go_to")[0].seen["cred_list"] == creds
    assert "cred_list" not in single_con.context


def test_mit_skips_init_handle(lb, single_con, journal):
    broker = build(lb, single_con, journal, mit=True)
    single_con.context["prompt_recovery"] = True
    assert broker.connect() == "sm reached"
    assert ("log", "info") not in [(c.who, c.name) for c in journal[1:]]
    assert journal.of("con.set:_is_connected") == []
    assert journal.keys()[-1] == "context.pop"
    assert broker.prompt_recovery is True


def test_overridden_steps_change_connect(lb, single_con, journal):
    class Platform(lb.BaseSingleRpLinkBroker):
        def establish_connection(self):
            journal.record("broker", "establish_connection")
            return "mine"

        def init_handle(self):
            journal.record("broker", "init_handle")

    broker = build(lb, single_con, journal)
    broker.__class__ = Platform
    assert broker.connect() == "mine"
    assert journal.keys() == ["log.info", "broker.establish_connection", "log.info",
                              "broker.init_handle", "context.pop"]


def test_overridden_dialog_and_init_commands_are_used(lb, single_con, journal):
    class Platform(lb.BaseSingleRpLinkBroker):
        def get_connection_dialog(self):
            journal.record("broker", "get_connection_dialog")
            return "platform dialog"

        def execute_init_commands(self, standby=False):
            journal.record("broker", "execute_init_commands", (standby,))

    broker = Platform(single_con)
    del journal[:]
    broker.connect()
    keys = journal.keys()
    assert keys.index("broker.get_connection_dialog") + 1 == keys.index("sm.go_to")
    assert journal.of("sm.go_to")[0].kw("dialog") == "platform dialog"
    assert journal.of("broker.execute_init_commands")[0].args == (False,)


def test_go_to_failure_leaves_state_behind(lb, single_con, journal):
    broker = build(lb, single_con, journal, learn_hostname=True, learned_hostname="")
    single_con.context["prompt_recovery"] = True
    journal.failures["sm.go_to"] = errors.ConnectionError("timeout")
    with pytest.raises(errors.ConnectionError) as info:
        broker.connect()
    assert str(info.value) == "timeout"
    assert "cred_list" in single_con.context
    assert single_con.state_machine.learn_hostname is True
    assert single_con.learned_hostname == ""
    assert single_con._is_connected is False
    assert broker.prompt_recovery is False
    assert single_con.context["prompt_recovery"] is True


def test_init_handle_failure_keeps_connection_marked(lb, single_con, journal):
    broker = build(lb, single_con, journal, init_exec_commands=["x"])
    journal.failures["sm.go_to"] = RuntimeError("enable failed")
    with pytest.raises(RuntimeError):
        broker.init_handle()
    assert single_con._is_connected is True
    assert journal.of("con.execute") == []


def test_init_handle_sends_config(lb, single_con, journal):
    broker = build(lb, single_con, journal, init_config_commands=["cfg"])
    assert broker.init_handle() is None
    assert journal.keys() == ["con.set:_is_connected", "sm.go_to", "settings.read",
                              "con.configure"]


def test_disconnect(lb, single_con, journal):
    broker = build(lb, single_con, journal, _is_connected=True, learned_hostname="R1")
    single_con.context["k"] = 1
    assert broker.disconnect() is None
    assert journal.shorts() == [("spawn.close", (), ()), ("time.sleep", (2,), ()),
                                ("con.set:_is_connected", (False,), ())]
    assert type(journal[1].args[0]) is int
    assert single_con.learned_hostname == "R1" and dict(single_con.context) == {"k": 1}


def test_disconnect_close_failure(lb, single_con, journal):
    broker = build(lb, single_con, journal, _is_connected=True)
    journal.failures["spawn.close"] = OSError("closed")
    with pytest.raises(OSError):
        broker.disconnect()
    assert journal.keys() == ["spawn.close"]
    assert single_con._is_connected is True


def test_disconnect_uses_rebound_sleep(lb, single_con, journal, monkeypatch):
    seen = []
    monkeypatch.setattr(lb, "sleep", lambda s: seen.append((s, single_con._is_connected)))
    broker = build(lb, single_con, journal, _is_connected=True)
    broker.disconnect()
    assert seen == [(2, True)]


@pytest.mark.real_sleep
@pytest.mark.slow
def test_disconnect_really_waits_two_seconds(lb, single_con, journal):
    broker = build(lb, single_con, journal, _is_connected=True)
    start = time.monotonic()
    broker.disconnect()
    assert time.monotonic() - start >= 2.0
    assert single_con._is_connected is False
