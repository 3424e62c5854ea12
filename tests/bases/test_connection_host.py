"""The host connection object without a device behind it."""
import re

import pytest

import tarvix
import tarvix.bases.connection as connection_module
from tarvix.bases import discovery
from tarvix.bases.commands import _clean, reply_statements
from tarvix.bases.connection import DEFAULT_LEARNED_HOSTNAME, Connection
from tarvix.core.errors import ConnectionError, ConnectionInfraError
from tarvix.eal.dialogs import Dialog, Statement
from tarvix.plugins.generic import GenericDualRPConnection, GenericSingleRpConnection


@pytest.mark.parametrize("start, chassis, expected", [
    ("telnet ts 2001", None, GenericSingleRpConnection),
    (["telnet ts 2001", "telnet ts 2002"], None, GenericDualRPConnection),
    (["ssh r1-a", "ssh r1-b"], "dual_rp", GenericDualRPConnection),
])
def test_connection_comes_from_the_registry(start, chassis, expected):
    con = Connection(hostname="r1", start=start, chassis_type=chassis)
    assert type(con) is expected
    assert con.settings.HA_STANDBY_UNLOCK_COMMANDS == ["redundancy", "main-cpu", "standby console enable"]
    assert con.settings is not expected.settings


def test_a_plugins_settings_keep_their_class_and_take_the_dialects_values_they_leave_out():
    class MySettings(connection_module.Settings):
        EXEC_TIMEOUT = 120

    class Mine(GenericSingleRpConnection):
        settings = MySettings(ERROR_PATTERNS=["^oops"])

    con = Mine(hostname="r1", start="telnet ts 2001")
    assert type(con.settings) is MySettings and con.settings.EXEC_TIMEOUT == 120
    assert con.settings.ERROR_PATTERNS == ["^oops"] and con.settings.HA_INIT_CONFIG_COMMANDS is not None
    assert con.settings.ERROR_PATTERNS is not Mine.settings.ERROR_PATTERNS


def test_unknown_platform_is_the_registry_error():
    with pytest.raises(ConnectionInfraError):
        Connection(hostname="r1", start="x", os="generic", chassis_type="stack")


def test_external_plugin_that_is_not_a_connection_is_built_by_itself(monkeypatch):
    class Outside(object):
        def __init__(self, **kwargs):
            self.kwargs = kwargs

    monkeypatch.setattr(tarvix.__impl_roster__, "get_plugin", lambda *a: Outside)
    con = Connection(hostname="r1", start="x", credentials={})
    assert type(con) is Outside and con.kwargs["credentials"] == {}


@pytest.mark.parametrize("kwargs, message", [
    ({"hostname": "r1", "start": ["a", "b", "c"], "chassis_type": "single_rp"}, "needs 1 start command"),
    ({"start": "telnet ts 2001"}, "a hostname is needed unless learn_hostname is set"),
    ({"hostname": "r1", "start": "x", "connection_timeout": 0}, "connection_timeout must be a number of seconds"),
    ({"hostname": "r1", "start": "x", "connection_timeout": -1.5}, "connection_timeout must be a number of seconds"),
    ({"hostname": "r1", "start": "x", "connection_timeout": "3"}, "connection_timeout must be a number of seconds"),
])
def test_bad_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        Connection(**kwargs)


@pytest.mark.parametrize("hostname, learn, learned, accepts, refuses", [
    ("r1.lab", False, None, "r1.lab", "r1xlab"),
    ("R1", False, None, "r1", "r10"),
    ("r1.lab.example.net", False, None, "R1", "r1.lab"),
    ("r1.lab.example.net", False, None, "r1.lab.example.net", "lab"),
    ("r1", True, None, "anything", "with space"),
    ("r1", True, "core-7", "core-7", "r1"),
    ("r1", True, DEFAULT_LEARNED_HOSTNAME, "whatever", "a b"),
])
def test_prompts_follow_the_hostname_in_use(hostname, learn, learned, accepts, refuses):
    con = Connection(hostname=hostname, start="x", learn_hostname=learn)
    con.learned_hostname = learned
    pattern = con.state_machine.get_state("enable").pattern
    assert re.search(pattern, "\r\n%s#" % accepts)
    assert not re.search(pattern, "\r\n%s#" % refuses)


def test_roles_resolve_active_and_standby():
    con = Connection(hostname="r1", start=["a", "b"])
    with pytest.raises(ConnectionError, match="r1: no route processor is designated standby"):
        con.standby
    assert con._handle(None) is con.a
    con.a.role, con.b.role = "standby", "active"
    con._handles_designated = True
    assert (con.active, con.standby) == (con.b, con.a)
    assert con._handle(None) is con.b and con._handle("standby") is con.a and con._handle("a") is con.a
    with pytest.raises(ValueError):
        con._handle("c")


def test_learned_hostname_falls_back_to_the_default_pattern():
    con = Connection(hostname="r1", start=["a", "b"])
    con.a.spawn, con.b.spawn = object(), object()
    con.b.state_machine.seen_hostname = "r1-b"
    assert con._get_learned_hostname(con.a.spawn) == DEFAULT_LEARNED_HOSTNAME
    assert con._get_learned_hostname(spawn=con.b.spawn) == "r1-b"


def test_execute_before_connect_is_refused():
    con = Connection(hostname="r1", start="x")
    with pytest.raises(ConnectionError, match="r1: not connected"):
        con.execute("show clock")


@pytest.mark.parametrize("text, command, expected", [
    ("show clock\r\n10:00 UTC\r\n", "show clock", "10:00 UTC"),
    ("\r\nshow x\r\n\r\nline 1\r\nline 2\r\n", "show x", "line 1\nline 2"),
    ("other\r\n", "show x", "other"),
])
def test_clean_output(text, command, expected):
    assert _clean(text, command) == expected


def test_plugins_are_discovered_once_unless_asked(monkeypatch):
    walks = []
    roster = tarvix.__impl_roster__
    monkeypatch.setattr(discovery, "_discovered", False)
    for name in ("discover_builtin_plugins", "discover_external_plugins"):
        monkeypatch.setattr(roster, name, lambda name=name: walks.append(name))
    Connection(hostname="r1", start="x")
    assert walks == ["discover_builtin_plugins", "discover_external_plugins"]
    for _ in range(1000):
        Connection(hostname="r1", start="x")
    assert len(walks) == 2
    Connection(hostname="r1", start="x", rediscover=True)
    assert len(walks) == 4


@pytest.mark.parametrize("reply", [
    [(r"\[confirm\]", "y"), ("Destination", "")],
    {r"\[confirm\]": "y", "Destination": ""},
    Dialog([Statement(r"\[confirm\]", action="y"), Statement("Destination", action="")]),
])
def test_reply_forms_become_statements(reply):
    statements = reply_statements(reply)
    assert [(s.regex.pattern, s.action) for s in statements] == [(r"\[confirm\]", "y"), ("Destination", "")]


def test_unknown_link_program_is_a_connection_error():
    con = Connection(hostname="r1", start="no-such-program-x --password secret")
    with pytest.raises(ConnectionError, match="r1: cannot start the link: ") as caught:
        con.connect()
    assert "secret" not in caught.value.message and not con.connected
