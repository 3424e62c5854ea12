"""Module set-up, class layout and the common broker's steps."""
import builtins
import inspect
import os
import subprocess
import sys
import textwrap
import time

import pytest

import tarvix
from tarvix.bases import connection as host_connection
from tarvix.core import errors
from tarvix.eal import dialogs

from broker_doubles import FakeConnection, Journal


# ---------------------------------------------------------------- module


def test_module_namespace_holds_exactly_the_names_in_order(lb):
    names = [k for k in vars(lb) if not k.startswith("__")]
    assert names == [
        "re", "sleep", "Dialog", "log", "ConnectionError", "DEFAULT_LEARNED_HOSTNAME",
        "BaseCommonRpLinkBroker", "BaseSingleRpLinkBroker", "BaseDualRpLinkBroker",
    ]


def test_module_level_names_are_the_framework_objects(lb):
    import re
    assert lb.re is re
    assert lb.Dialog is dialogs.Dialog
    assert lb.log is tarvix.log
    assert lb.ConnectionError is errors.ConnectionError
    assert lb.ConnectionError is not builtins.ConnectionError
    assert lb.DEFAULT_LEARNED_HOSTNAME is host_connection.DEFAULT_LEARNED_HOSTNAME


@pytest.mark.real_sleep
def test_sleep_is_time_sleep(lb):
    assert lb.sleep is time.sleep


def test_module_docstring_has_titled_sections_in_order(lb):
    doc = lb.__doc__
    titles = ["Module:", "Description:", "Dependencies:", "Lifecycle:", "Mutations:",
              "Exceptions:", "Example:"]
    positions = [doc.find("\n" + t) if i else doc.find(t) for i, t in enumerate(titles)]
    assert -1 not in positions
    assert positions == sorted(positions)
    assert "tarvix.bases.routers.link_broker" in doc.split("Description:")[0]
    assert "handles_designated" in doc
    assert "ConnectionError" in doc.split("Exceptions:")[1]


# ---------------------------------------------------------------- classes


@pytest.mark.parametrize("name, base, doc_start", [
    ("BaseCommonRpLinkBroker", object, "Link broker with common methods for single and dual RP"),
    ("BaseSingleRpLinkBroker", "BaseCommonRpLinkBroker", "Link broker for single RP"),
    ("BaseDualRpLinkBroker", "BaseCommonRpLinkBroker", "Link Broker for Dual RP"),
])
def test_class_layout(lb, name, base, doc_start):
    cls = getattr(lb, name)
    base = getattr(lb, base) if isinstance(base, str) else base
    assert type(cls) is type
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "tarvix.bases.routers.link_broker"
    assert cls.__qualname__ == cls.__name__ == name
    assert cls.__doc__.strip().startswith(doc_start)
    if base is object:
        assert cls.__doc__.strip() == doc_start
    else:
        paragraph = " ".join(cls.__doc__.strip().split("\n", 1)[1].split())
        assert "connect and disconnect" in paragraph
        assert paragraph.startswith("The connection class of any platform depends on the link")


def test_instances_have_dict_and_classes_are_subclassable(lb, dual_con):
    class Platform(lb.BaseDualRpLinkBroker):
        extra = 1

    broker = Platform(dual_con)
    broker.anything = 5
    assert broker.__dict__["anything"] == 5
    assert broker.__dict__["connection"] is dual_con
    assert Platform.__mro__[1:] == (lb.BaseDualRpLinkBroker, lb.BaseCommonRpLinkBroker, object)


METHODS = [
    ("BaseCommonRpLinkBroker", "__init__", "(self, /, connection)", "Initializes"),
    ("BaseCommonRpLinkBroker", "get_connection_dialog", "(self, /)",
     "Creates and returns Dialog, for processing device connection"),
    ("BaseCommonRpLinkBroker", "set_init_commands", "(self, /)", None),
    ("BaseCommonRpLinkBroker", "execute_init_commands", "(self, /, standby=False)",
     "Executes the initialization commands on the device."),
    ("BaseSingleRpLinkBroker", "__init__", "(self, /, connection)", None),
    ("BaseSingleRpLinkBroker", "connect", "(self, /)",
     "Performs the device connection and initialization"),
    ("BaseSingleRpLinkBroker", "establish_connection", "(self, /)",
     "Reads the device state and brings it to the right state"),
    ("BaseSingleRpLinkBroker", "init_handle", "(self, /)", "bring device handle to enable state"),
    ("BaseSingleRpLinkBroker", "disconnect", "(self, /)", "Disconnect from the device"),
    ("BaseDualRpLinkBroker", "__init__", "(self, /, connection)", None),
    ("BaseDualRpLinkBroker", "connect", "(self, /)", "Connects, initializes and designates handle"),
    ("BaseDualRpLinkBroker", "establish_connection", "(self, /)",
     "Reads the device state and brings both RP to the right state"),
    ("BaseDualRpLinkBroker", "designate_handles", "(self, /)",
     "Identifies the Role of each handle and designates if"),
    ("BaseDualRpLinkBroker", "init_active", "(self, /)", "Performs active RP initialization"),
    ("BaseDualRpLinkBroker", "init_standby", "(self, /)", "Performs Standby RP initialization"),
    ("BaseDualRpLinkBroker", "assign_ha_mode", "(self, /)", "Gets the HA mode for this chassis"),
    ("BaseDualRpLinkBroker", "unlock_standby", "(self, /)", "Unlocks standby handle"),
    ("BaseDualRpLinkBroker", "lock_standby", "(self, /)", "lock standby handle"),
    ("BaseDualRpLinkBroker", "disconnect", "(self, /)", "Disconnect the connection to both RP's"),
]


@pytest.mark.parametrize("cls_name, method, signature, first_line", METHODS)
def test_method_table(lb, cls_name, method, signature, first_line):
    cls = getattr(lb, cls_name)
    assert method in vars(cls)
    func = vars(cls)[method]
    assert not isinstance(func, (staticmethod, classmethod))
    assert str(inspect.signature(func)) == signature
    if first_line is None:
        assert func.__doc__ is None
    else:
        assert func.__doc__.strip().splitlines()[0].strip() == first_line


def test_classes_define_no_other_public_methods(lb):
    for cls in (lb.BaseCommonRpLinkBroker, lb.BaseSingleRpLinkBroker, lb.BaseDualRpLinkBroker):
        own = sorted(k for k, v in vars(cls).items() if callable(v))
        expected = sorted(m for c, m, _, _ in METHODS if c == cls.__name__)
        assert own == expected


@pytest.mark.parametrize("method, second", [
    ("designate_handles", "it is active or standby"),
    ("execute_init_commands", "On standy don't execute configure commands."),
])
def test_two_line_docstrings(lb, method, second):
    cls = lb.BaseDualRpLinkBroker
    assert getattr(cls, method).__doc__.strip().splitlines()[1].strip() == second


def test_connection_dialog_docstring_explains_the_default(lb):
    doc = " ".join(lb.BaseCommonRpLinkBroker.get_connection_dialog.__doc__.split())
    assert "state machine's dialog" in doc
    assert "additional dialog" in doc


@pytest.mark.parametrize("call", [
    lambda b: b.connect(1),
    lambda b: b.set_init_commands(None),
    lambda b: b.get_connection_dialog(x=1),
    lambda b: b.execute_init_commands(True, False),
    lambda b: b.execute_init_commands(stand=True),
    lambda b: type(b)(),
    lambda b: type(b)(1, 2),
    lambda b: type(b).connect(5),
])
def test_wrong_arguments_raise_type_error(lb, single_con, journal, call):
    broker = lb.BaseSingleRpLinkBroker(single_con)
    del journal[:]
    with pytest.raises(TypeError):
        call(broker)
    assert journal == []


def test_connection_may_be_passed_by_keyword(lb, single_con):
    broker = lb.BaseSingleRpLinkBroker(connection=single_con)
    assert broker.connection is single_con


# ---------------------------------------------------------------- __init__


@pytest.mark.parametrize("cls_name", ["BaseCommonRpLinkBroker", "BaseSingleRpLinkBroker",
                                      "BaseDualRpLinkBroker"])
def test_init_pops_prompt_recovery(lb, journal, cls_name):
    con = FakeConnection(journal, context={"prompt_recovery": True, "x": 1})
    cls = getattr(lb, cls_name)
    broker = cls(con)
    assert broker.connection is con
    assert broker.prompt_recovery is True
    assert dict(con.context) == {"x": 1}
    assert journal.shorts() == [("context.pop", ("prompt_recovery", False), ())]
    assert sorted(vars(broker)) == ["connection", "prompt_recovery"]
    assert cls(con).prompt_recovery is False


def test_init_error_of_pop_propagates(lb, single_con, journal):
    journal.failures["context.pop"] = KeyError("boom")
    with pytest.raises(KeyError):
        lb.BaseSingleRpLinkBroker(single_con)


def test_subclass_init_follows_the_mro_at_call_time(lb, single_con, journal):
    class Mixin(lb.BaseCommonRpLinkBroker):
        def __init__(self, connection):
            journal.record("mixin", "__init__", (connection,))
            super(Mixin, self).__init__(connection)

    class Platform(lb.BaseSingleRpLinkBroker, Mixin):
        pass

    broker = Platform(single_con)
    assert journal.keys() == ["mixin.__init__", "context.pop"]
    assert broker.connection is single_con


# ---------------------------------------------------------------- dialog


def test_connection_dialog_is_fresh_and_empty(lb, single_con):
    broker = lb.BaseCommonRpLinkBroker(single_con)
    one, two = broker.get_connection_dialog(), broker.get_connection_dialog()
    assert isinstance(one, dialogs.Dialog)
    assert one.statements == [] and two.statements == []
    assert one is not two


def test_connection_dialog_uses_the_current_module_dialog(lb, single_con, monkeypatch):
    seen = []

    def make(*args, **kwargs):
        seen.append((args, kwargs))
        return "dialog"

    monkeypatch.setattr(lb, "Dialog", make)
    assert lb.BaseCommonRpLinkBroker(single_con).get_connection_dialog() == "dialog"
    assert seen == [(([],), {})]


# ---------------------------------------------------------------- set_init_commands

EXEC = ["show version"]
CONFIG = ["no logging console"]


@pytest.mark.parametrize("on_con, in_settings, expected", [
    ("given", "given", "con"),
    ("empty", "given", "con"),
    (None, "given", "settings"),
    (None, "missing", "new"),
    (None, "raises", "new"),
])
def test_set_init_commands_choice(lb, journal, on_con, in_settings, expected):
    con = FakeConnection(journal)
    con_lists = {"init_exec_commands": list(EXEC), "init_config_commands": list(CONFIG)}
    set_lists = {"HA_INIT_EXEC_COMMANDS": ["s exec"], "HA_INIT_CONFIG_COMMANDS": ["s config"]}
    for name, value in con_lists.items():
        setattr(con, name, {"given": value, "empty": [], None: None}[on_con])
    for name, value in set_lists.items():
        if in_settings == "given":
            con.settings._values[name] = value
        elif in_settings == "raises":
            con.settings.raise_on(name, RuntimeError("unreadable"))
    broker = lb.BaseCommonRpLinkBroker(con)
    del journal[:]
    assert broker.set_init_commands() is None
    for mine, theirs, key in [("init_exec_commands", "init_exec_commands", "HA_INIT_EXEC_COMMANDS"),
                              ("init_config_commands", "init_config_commands",
                               "HA_INIT_CONFIG_COMMANDS")]:
        chosen = getattr(broker, mine)
        if expected == "con":
            assert chosen is getattr(con, theirs)
        elif expected == "settings":
            assert chosen is set_lists[key]
        else:
            assert chosen == [] and chosen is not getattr(con, theirs)
    reads = [c.args[0] for c in journal.of("settings.read")]
    if expected == "con":
        assert reads == []
    elif expected == "settings":
        # presence test, then the value: exec first
        assert reads == ["HA_INIT_EXEC_COMMANDS"] * 2 + ["HA_INIT_CONFIG_COMMANDS"] * 2
    else:
        assert reads == ["HA_INIT_EXEC_COMMANDS", "HA_INIT_CONFIG_COMMANDS"]


@pytest.mark.parametrize("error", [AttributeError("x"), KeyError("x"), ValueError("x")])
def test_presence_test_swallows_any_error(lb, single_con, error):
    single_con.settings.raise_on("HA_INIT_EXEC_COMMANDS", error)
    broker = lb.BaseCommonRpLinkBroker(single_con)
    broker.set_init_commands()
    assert broker.init_exec_commands == []


def test_second_read_of_setting_propagates(lb, journal):
    class Flaky(object):
        reads = 0

        @property
        def HA_INIT_EXEC_COMMANDS(self):
            Flaky.reads += 1
            if Flaky.reads == 2:
                raise LookupError("second read")
            return ["x"]

    con = FakeConnection(journal)
    con.settings = Flaky()
    with pytest.raises(LookupError):
        lb.BaseCommonRpLinkBroker(con).set_init_commands()


def test_chosen_value_is_not_type_checked(lb, single_con):
    single_con.init_exec_commands = ("a", "b")
    broker = lb.BaseCommonRpLinkBroker(single_con)
    broker.set_init_commands()
    assert broker.init_exec_commands is single_con.init_exec_commands


# ---------------------------------------------------------------- execute_init_commands


def make_broker(lb, con, exec_cmds, config_cmds, flag=False):
    con.init_exec_commands = exec_cmds
    con.init_config_commands = config_cmds
    broker = lb.BaseCommonRpLinkBroker(con)
    broker.prompt_recovery = flag
    return broker


@pytest.mark.parametrize("call, configured", [
    (lambda b: b.execute_init_commands(), True),
    (lambda b: b.execute_init_commands(False), True),
    (lambda b: b.execute_init_commands(standby=0), True),
    (lambda b: b.execute_init_commands(True), False),
    (lambda b: b.execute_init_commands(standby="yes"), False),
])
def test_execute_init_commands_sends_exec_then_config(lb, single_con, journal, call, configured):
    config = ["c1", "c2"]
    broker = make_broker(lb, single_con, ["e1", "e2"], config, flag="PR")
    del journal[:]
    assert call(broker) is None
    expected = [("con.execute", ("e1",), ("prompt_recovery",)),
                ("con.execute", ("e2",), ("prompt_recovery",))]
    if configured:
        expected.append(("con.configure", (config,), ("prompt_recovery",)))
        assert journal[-1].args[0] is config
    assert journal.shorts() == expected
    assert all(c.kw("prompt_recovery") == "PR" for c in journal)


def test_empty_config_list_is_not_sent(lb, single_con, journal):
    broker = make_broker(lb, single_con, [], [])
    del journal[:]
    broker.execute_init_commands()
    assert journal == []


def test_prompt_recovery_is_read_for_each_command(lb, single_con, journal):
    broker = make_broker(lb, single_con, ["e1", "e2"], ["c"])
    original = single_con.execute

    def execute(*args, **kwargs):
        original(*args, **kwargs)
        broker.prompt_recovery = "changed"

    single_con.execute = execute
    del journal[:]
    broker.execute_init_commands()
    assert [c.kw("prompt_recovery") for c in journal] == [False, "changed", "changed"]


@pytest.mark.skipif(not __debug__, reason="assertions are disabled in this interpreter (-O)")
@pytest.mark.parametrize("exec_cmds, config_cmds", [
    (("e1", "e2"), []),
    (["e1"], ("c1",)),
    ("e1", []),
])
def test_assertion_before_anything_is_sent(lb, single_con, journal, exec_cmds, config_cmds):
    broker = make_broker(lb, single_con, exec_cmds, config_cmds)
    del journal[:]
    with pytest.raises(AssertionError) as info:
        broker.execute_init_commands()
    assert str(info.value) == "Init commands must be a list"
    assert journal == []
    assert broker.init_exec_commands is exec_cmds


def test_list_subclasses_pass_the_assertion(lb, single_con, journal):
    class Commands(list):
        pass

    broker = make_broker(lb, single_con, Commands(["e"]), Commands(["c"]))
    del journal[:]
    broker.execute_init_commands()
    assert journal.keys() == ["con.execute", "con.configure"]


def test_failing_command_stops_the_rest(lb, single_con, journal):
    broker = make_broker(lb, single_con, ["e1", "e2"], ["c"])
    journal.failures["con.execute"] = errors.ConnectionError("device gone")
    with pytest.raises(errors.ConnectionError):
        broker.execute_init_commands()
    assert journal.keys()[-1:] == ["con.execute"]
    assert len(journal.of("con.execute")) == 1
    assert broker.init_exec_commands == ["e1", "e2"]


def test_set_init_commands_override_is_used(lb, single_con, journal):
    class Platform(lb.BaseCommonRpLinkBroker):
        def set_init_commands(self):
            journal.record("broker", "set_init_commands")
            self.init_exec_commands = ["mine"]
            self.init_config_commands = []

    broker = Platform(single_con)
    del journal[:]
    broker.execute_init_commands()
    assert journal.shorts() == [("broker.set_init_commands", (), ()),
                                ("con.execute", ("mine",), ("prompt_recovery",))]


def test_lists_are_chosen_afresh_on_every_call(lb, single_con, journal):
    broker = make_broker(lb, single_con, ["one"], [])
    broker.execute_init_commands()
    single_con.init_exec_commands = ["two"]
    del journal[:]
    broker.execute_init_commands()
    assert [c.args for c in journal] == [("two",)]


ASSERTIONS_OFF = textwrap.dedent("""
    import sys
    sys.path[:0] = {path!r}
    from broker_doubles import FakeConnection, Journal
    from tarvix.bases.routers import link_broker as lb
    j = Journal()
    con = FakeConnection(j)
    con.init_exec_commands = ("e1", "e2")
    con.init_config_commands = ("c1",)
    broker = lb.BaseCommonRpLinkBroker(con)
    del j[:]
    broker.execute_init_commands()
    print(j.shorts())
""")


@pytest.mark.parametrize("flag, expect_ok", [("-O", True), (None, False)])
def test_assertions_follow_the_interpreter_flag(flag, expect_ok):
    here = os.path.dirname(os.path.abspath(__file__))
    code = ASSERTIONS_OFF.format(path=[here] + sys.path)
    argv = [sys.executable] + ([flag] if flag else []) + ["-c", code]
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, cwd=here)
    if expect_ok:
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == str([
            ("con.execute", ("e1",), ("prompt_recovery",)),
            ("con.execute", ("e2",), ("prompt_recovery",)),
            ("con.configure", (("c1",),), ("prompt_recovery",)),
        ])
    else:
        assert proc.returncode != 0
        assert "AssertionError: Init commands must be a list" in proc.stderr


@pytest.mark.parametrize("dual", [False, True])
def test_repeated_connects_keep_reference_counts(lb, journal, dual):
    con = FakeConnection(journal, dual=dual, HA_STANDBY_UNLOCK_COMMANDS=["u"])
    con.learn_hostname = True
    con.init_exec_commands, con.init_config_commands = ["e"], ["c"]
    if dual:
        con.a.spawn.answer = "ACTIVE"
        con.outputs["sh redundancy state"] = "Redundancy State = sso"
    broker = (lb.BaseDualRpLinkBroker if dual else lb.BaseSingleRpLinkBroker)(con)
    watched = [con, con.context, con.init_exec_commands, con.init_config_commands, broker]

    def cycle():
        con.learned_hostname = None
        broker.connect()
        broker.disconnect()
        del journal[:]

    cycle()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        cycle()
    assert [sys.getrefcount(o) for o in watched] == before
