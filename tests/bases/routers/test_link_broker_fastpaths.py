"""The brokers' own steps run their native implementation directly only while
self.<step> would find the class's own method: every way of replacing a step
(subclass, instance attribute, the class attribute replaced after import, a
__getattribute__ of its own) is what connect and the other callers use.  Host
methods found in an instance's __dict__ are used as well."""
import pytest

HA_OUTPUT = "Redundancy State = sso  \nother"


def dual_broker(lb, con, journal, cls=None):
    con.a.spawn.answer = "my state = 13 -ACTIVE"
    con.outputs["sh redundancy state"] = HA_OUTPUT
    con.settings._values["HA_STANDBY_UNLOCK_COMMANDS"] = ["unlock"]
    broker = (cls or lb.BaseDualRpLinkBroker)(con)
    del journal[:]
    return broker


def single_broker(lb, con, journal, cls=None):
    broker = (cls or lb.BaseSingleRpLinkBroker)(con)
    del journal[:]
    return broker


def broker_calls(journal):
    return [(c.name, c.args, dict(c.kwargs)) for c in journal if c.who == "broker"]


# ---------------------------------------------------------------- replaced on the class


def test_designate_handles_replaced_on_the_class_after_import(lb, dual_con, journal, monkeypatch):
    def designate(self):
        journal.record("broker", "designate_handles", (self,))
        object.__setattr__(self.connection.a, "role", "standby")
        object.__setattr__(self.connection.b, "role", "active")

    monkeypatch.setattr(lb.BaseDualRpLinkBroker, "designate_handles", designate)
    broker = dual_broker(lb, dual_con, journal)
    broker.connect()
    assert broker_calls(journal) == [("designate_handles", (broker,), {})]
    # no query was sent: the native designation did not run
    assert journal.of("a.spawn.expect") == [] and journal.of("b.spawn.expect") == []
    # the later stages follow the roles the replacement set: b is active
    assert [c.args[0] for c in journal.of("b.sm.go_to") if c.args] == ["any", "any", "enable"]
    assert dual_con._handles_designated is False


def test_class_step_restored_after_replacement_runs_natively_again(lb, dual_con, journal):
    original = lb.BaseDualRpLinkBroker.__dict__["designate_handles"]
    lb.BaseDualRpLinkBroker.designate_handles = lambda self: journal.record("broker", "designate")
    try:
        broker = dual_broker(lb, dual_con, journal)
        with pytest.raises(AttributeError):
            broker.connect()  # no roles set: the host finds no active handle
        assert broker_calls(journal) == [("designate", (), {})]
    finally:
        lb.BaseDualRpLinkBroker.designate_handles = original
    broker = dual_broker(lb, dual_con, journal)
    broker.connect()
    assert dual_con._handles_designated is True
    assert len(journal.of("a.spawn.expect")) == 1


def test_set_init_commands_replaced_on_the_common_class(lb, dual_con, journal, monkeypatch):
    def choose(self):
        journal.record("broker", "set_init_commands")
        self.init_exec_commands = ["from replacement"]
        self.init_config_commands = []

    monkeypatch.setattr(lb.BaseCommonRpLinkBroker, "set_init_commands", choose)
    broker = dual_broker(lb, dual_con, journal)
    dual_con.init_exec_commands = ["from connection"]
    broker.connect()
    # init_active and init_standby each choose through the replacement
    assert broker_calls(journal) == [("set_init_commands", (), {})] * 2
    sent = [c.args[0] for c in journal.of("con.execute")]
    assert sent == ["from replacement", "from replacement", "sh redundancy state"]


def test_a_descriptor_of_the_other_class_is_called_the_python_way(lb, single_con, journal,
                                                                   monkeypatch):
    # The dual class's establish_connection on the single class: the lookup
    # finds a descriptor that is not the single class's own, and calling it
    # the Python way refuses a single broker.
    dual_step = lb.BaseDualRpLinkBroker.__dict__["establish_connection"]
    monkeypatch.setattr(lb.BaseSingleRpLinkBroker, "establish_connection", dual_step)
    broker = single_broker(lb, single_con, journal)
    with pytest.raises(TypeError):
        broker.connect()
    assert journal.of("sm.go_to") == []


# ---------------------------------------------------------------- instance attributes


def test_instance_establish_connection_single(lb, single_con, journal):
    broker = single_broker(lb, single_con, journal)

    def establish():
        journal.record("broker", "establish")
        return "own result"

    broker.establish_connection = establish
    assert broker.connect() == "own result"
    assert broker_calls(journal) == [("establish", (), {})]
    assert [c.args[0] for c in journal.of("sm.go_to")] == ["enable"]  # init_handle only


def test_instance_establish_connection_dual(lb, dual_con, journal):
    broker = dual_broker(lb, dual_con, journal)
    broker.establish_connection = lambda: journal.record("broker", "establish")
    broker.connect()
    assert broker_calls(journal) == [("establish", (), {})]
    assert [c.args[0] for c in journal.of("a.sm.go_to")] == ["enable", "enable"]
    assert journal.of("context.update") == []


def test_instance_get_connection_dialog(lb, dual_con, journal):
    broker = dual_broker(lb, dual_con, journal)
    dialogs = []

    def dialog():
        dialogs.append(object())
        return dialogs[-1]

    broker.get_connection_dialog = dialog
    broker.establish_connection()
    passed = [c.kw("dialog") for c in journal if c.name == "go_to"]
    assert len(dialogs) == 4 and passed == dialogs


def test_instance_execute_init_commands_gets_the_standby_keyword(lb, dual_con, journal):
    broker = dual_broker(lb, dual_con, journal)
    broker.execute_init_commands = lambda *a, **k: journal.record("broker", "exec", a, k)
    broker.connect()
    assert broker_calls(journal) == [("exec", (), {}), ("exec", (), {"standby": True})]
    assert journal.of("con.execute")[0].args == ("sh redundancy state",)


def test_instance_set_init_commands_single(lb, single_con, journal):
    broker = single_broker(lb, single_con, journal)

    def choose():
        journal.record("broker", "set_init_commands")
        broker.init_exec_commands = ("not", "a list")
        broker.init_config_commands = []

    broker.set_init_commands = choose
    if __debug__:
        with pytest.raises(AssertionError, match="Init commands must be a list"):
            broker.connect()
    else:
        broker.connect()
    assert broker_calls(journal) == [("set_init_commands", (), {})]


def test_instance_init_handle_and_each_dual_stage(lb, single_con, dual_con, journal):
    broker = single_broker(lb, single_con, journal)
    broker.init_handle = lambda: journal.record("broker", "init_handle")
    broker.connect()
    assert broker_calls(journal) == [("init_handle", (), {})]
    assert single_con._is_connected is False  # the native init_handle did not run

    for stage in ("init_active", "unlock_standby", "init_standby", "assign_ha_mode"):
        dual = dual_broker(lb, dual_con, journal)
        setattr(dual, stage, lambda stage=stage: journal.record("broker", stage))
        dual.connect()
        assert broker_calls(journal) == [(stage, (), {})]


# ---------------------------------------------------------------- subclasses


def test_subclass_override_of_get_connection_dialog(lb, single_con, journal):
    class Platform(lb.BaseSingleRpLinkBroker):
        def get_connection_dialog(self):
            journal.record("broker", "dialog")
            return "platform dialog"

    broker = single_broker(lb, single_con, journal, Platform)
    broker.connect()
    assert broker_calls(journal) == [("dialog", (), {})]
    assert journal.of("sm.go_to")[0].kw("dialog") == "platform dialog"


def test_subclass_override_reached_through_inherited_steps(lb, dual_con, journal):
    class Platform(lb.BaseDualRpLinkBroker):
        def execute_init_commands(self, standby=False):
            journal.record("broker", "exec", (standby,))
            return super(Platform, self).execute_init_commands(standby=standby)

    broker = dual_broker(lb, dual_con, journal, Platform)
    dual_con.init_exec_commands = ["term len 0"]
    dual_con.init_config_commands = ["no logging"]
    broker.connect()
    assert broker_calls(journal) == [("exec", (False,), {}), ("exec", (True,), {})]
    assert len(journal.of("con.configure")) == 2  # init_active's and the unlock


def test_subclass_with_getattribute_sees_every_step(lb, dual_con, journal):
    seen = []

    class Watched(lb.BaseDualRpLinkBroker):
        def __getattribute__(self, name):
            seen.append(name)
            return object.__getattribute__(self, name)

    broker = dual_broker(lb, dual_con, journal, Watched)
    del seen[:]
    broker.connect()
    step_names = {"connect", "establish_connection", "get_connection_dialog", "designate_handles",
                  "init_active", "unlock_standby", "init_standby", "assign_ha_mode",
                  "execute_init_commands", "set_init_commands"}
    assert [n for n in seen if n in step_names] == [
        "connect", "establish_connection"] + ["get_connection_dialog"] * 4 + [
        "designate_handles", "init_active", "execute_init_commands", "set_init_commands",
        "unlock_standby", "init_standby", "execute_init_commands", "set_init_commands",
        "assign_ha_mode"]
    # the broker's own attributes are read through it as well
    assert seen.count("connection") > 8 and "init_exec_commands" in seen
    assert dual_con._handles_designated is True


def test_subclass_getattr_fallback_does_not_hide_own_steps(lb, single_con, journal):
    asked = []

    class Fallback(lb.BaseSingleRpLinkBroker):
        def __getattr__(self, name):
            asked.append(name)
            raise AttributeError(name)

    broker = single_broker(lb, single_con, journal, Fallback)
    broker.connect()
    assert asked == []
    assert [c.args[0] for c in journal.of("sm.go_to")] == ["any", "enable"]


# ---------------------------------------------------------------- host methods


def test_host_method_in_the_instance_dict_is_used(lb, dual_con, journal):
    broker = dual_broker(lb, dual_con, journal)
    dual_con.a.state_machine.__dict__["go_to"] = (
        lambda *a, **k: journal.record("own", "a.go_to", a, k))
    dual_con.log.__dict__["info"] = lambda text: journal.record("own", "info", (text,))
    broker.connect()
    own = [(c.name, c.args[:1]) for c in journal if c.who == "own"]
    assert own[:2] == [("info", ("+++ connection to spawn of a.spawn +++",)),
                       ("info", ("+++ connection to spawn of b.spawn +++",))]
    assert [args for name, args in own if name == "a.go_to"] == [("any",), ("any",),
                                                                   ("enable",), ("enable",)]
    assert journal.of("a.sm.go_to") == []


def test_context_method_in_the_instance_dict_is_used(lb, single_con, journal):
    broker = single_broker(lb, single_con, journal)
    single_con.context.__dict__["update"] = lambda **k: journal.record("own", "update", (), k)
    broker.connect()
    assert [(c.name, dict(c.kwargs)) for c in journal if c.who == "own"] == [
        ("update", {"cred_list": None})]
    assert journal.of("context.update") == []
    assert "cred_list" not in single_con.context


# ---------------------------------------------------------------- the broker's own attributes


def test_property_added_to_the_class_after_a_connect_is_read(lb, single_con, journal):
    class Platform(lb.BaseSingleRpLinkBroker):
        pass

    broker = single_broker(lb, single_con, journal, Platform)
    broker.connect()
    assert {c.kw("prompt_recovery") for c in journal.of("sm.go_to")} == {False}
    del journal[:]
    reads = []

    def flag(self):
        reads.append("prompt_recovery")
        return "from property"

    def store(self, value):
        reads.append(("stored", value))

    Platform.prompt_recovery = property(flag, store)
    broker.connect()
    assert {c.kw("prompt_recovery") for c in journal.of("sm.go_to")} == {"from property"}
    assert reads.count("prompt_recovery") == 2 and reads[-1] == ("stored", False)
    del Platform.prompt_recovery
    del journal[:]
    broker.connect()
    # the instance value again (the property's setter never stored one since construction)
    assert {c.kw("prompt_recovery") for c in journal.of("sm.go_to")} == {False}


def test_connection_attribute_on_a_base_class_after_import(lb, dual_con, single_con, journal,
                                                          monkeypatch):
    broker = single_broker(lb, single_con, journal)
    broker.connect()
    monkeypatch.setattr(lb.BaseCommonRpLinkBroker, "connection",
                        property(lambda self: dual_con.a), raising=False)
    del journal[:]
    with pytest.raises(AttributeError):
        broker.connect()  # a handle has no log: the property was read
    assert journal.of("sm.go_to") == []
