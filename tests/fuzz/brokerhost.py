"""Host objects for fuzzing the link brokers: the recording doubles of the
broker tests with chosen members made hostile (reads that raise, members
missing, values of the wrong type, methods returning the wrong type, and
members that change the broker or the connection while it is working)."""
import os
import sys

from hypothesis import strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "bases", "routers"))

from broker_doubles import FakeConnection, Journal  # noqa: E402

from fuzzkit import Boom, COUNTS, outcome, values  # noqa: E402

from tarvix.bases.routers import link_broker as lb  # noqa: E402


CON_MEMBERS = ("context", "log", "hostname", "mit", "learn_hostname", "learned_hostname",
               "connection_timeout", "settings", "init_exec_commands", "init_config_commands",
               "execute", "configure", "_get_learned_hostname")
SINGLE_MEMBERS = CON_MEMBERS + ("spawn", "state_machine")
DUAL_MEMBERS = CON_MEMBERS + ("a", "b")
SPAWN_MEMBERS = ("close", "sendline", "expect")
SM_MEMBERS = ("go_to", "get_state", "current_state", "learn_hostname")
LOG_MEMBERS = ("info", "warning", "debug")
CONTEXT_MEMBERS = ("get", "update", "pop")
SETTINGS_MEMBERS = ("HA_INIT_EXEC_COMMANDS", "HA_INIT_CONFIG_COMMANDS",
                    "HA_STANDBY_UNLOCK_COMMANDS", "EXEC_TIMEOUT")


def paths(dual):
    out = [(m,) for m in (DUAL_MEMBERS if dual else SINGLE_MEMBERS)]
    out += [("log", m) for m in LOG_MEMBERS] + [("context", m) for m in CONTEXT_MEMBERS]
    out += [("settings", m) for m in SETTINGS_MEMBERS]
    handles = [("a",), ("b",)] if dual else [()]
    for h in handles:
        if dual:
            out += [h + ("role",), h + ("mode",)]
        out += [h + ("spawn", m) for m in SPAWN_MEMBERS]
        out += [h + ("state_machine", m) for m in SM_MEMBERS]
    return out


KINDS = ("raise", "missing", "value", "returns")
MUTATIONS = ("del_connection", "other_connection", "clear_connection", "del_handle",
             "swap_class", "clear_context", "rebind_module")


class Box(object):
    mutating = False
    broker = None
    spare = None


def mutate(box, how):
    if box.mutating:  # a hostile read met inside a mutation does not mutate again
        return
    box.mutating = True
    try:
        _mutate(box, how)
    finally:
        box.mutating = False


def _mutate(box, how):
    broker, con = box.broker, box.con
    COUNTS["mutation/" + how] += 1
    if how == "del_connection":
        broker.__dict__.pop("connection", None)
    elif how == "other_connection":
        broker.__dict__["connection"] = box.spare
    elif how == "clear_connection":
        con.__dict__.clear()
    elif how == "del_handle":
        con.__dict__.pop("a", None)
        con.__dict__.pop("spawn", None)
    elif how == "swap_class":
        other = lb.BaseDualRpLinkBroker if type(broker) is lb.BaseSingleRpLinkBroker \
            else lb.BaseSingleRpLinkBroker
        broker.__class__ = other
    elif how == "clear_context":
        context = con.__dict__.get("context")
        if isinstance(context, dict):
            dict.clear(context)
    elif how == "rebind_module":
        lb.re = None


def perturb(holder, name, kind, value, box):
    """Makes holder.<name> hostile."""
    if kind in ("raise", "missing", "mutate_read"):
        error = Boom if kind == "raise" else AttributeError

        def read(self, _name=name):
            if kind == "mutate_read":
                mutate(box, value)
                return self.__dict__.get(_name)
            raise error(_name)
        holder.__class__ = type("Hostile" + type(holder).__name__, (type(holder),),
                                {name: property(read)})
    elif kind == "value":
        holder.__dict__[name] = value
    elif kind == "returns":
        holder.__dict__[name] = lambda *a, **k: value
    elif kind == "mutate_call":
        original = getattr(holder, name, None)

        def call(*a, **k):
            mutate(box, value)
            return original(*a, **k) if callable(original) else original
        holder.__dict__[name] = call


def build(dual, changes, answer, role_a, box):
    journal = Journal()
    con = FakeConnection(journal, dual=dual, context={"prompt_recovery": True})
    box.con = con
    box.spare = FakeConnection(Journal(), dual=not dual)
    if dual:
        con.a.spawn.answer = answer
        con.b.spawn.answer = answer
        con.a.role = role_a
        con.b.role = "standby" if role_a == "active" else "active"
        con.outputs["sh redundancy state"] = "Redundancy State = %s" % (answer,)
    for path, kind, value in changes:
        holder = con
        try:
            for step in path[:-1]:
                holder = getattr(holder, step)
        except Exception:
            continue
        if not hasattr(holder, "__dict__") or type(holder) is dict:
            continue  # an earlier change put a plain value here
        try:
            perturb(holder, path[-1], kind, value, box)
        except (TypeError, AttributeError):  # an earlier change made the holder a plain value
            continue
    return con


SINGLE_METHODS = ("get_connection_dialog", "set_init_commands", "execute_init_commands",
                  "connect", "establish_connection", "init_handle", "disconnect")
DUAL_METHODS = ("get_connection_dialog", "set_init_commands", "execute_init_commands",
                "connect", "establish_connection", "designate_handles", "init_active",
                "init_standby", "assign_ha_mode", "unlock_standby", "lock_standby",
                "disconnect")


def change_lists(dual, kinds, payload):
    return st.lists(st.tuples(st.sampled_from(paths(dual)), st.sampled_from(kinds), payload),
                    max_size=3)


def exercise(cls, dual, changes, answer, role_a, method, standby, prompt_recovery, label=""):
    saved_sleep = lb.sleep
    lb.sleep = lambda seconds: None
    try:
        return _exercise(cls, dual, changes, answer, role_a, method, standby, prompt_recovery,
                         label)
    finally:
        lb.sleep = saved_sleep


def _exercise(cls, dual, changes, answer, role_a, method, standby, prompt_recovery, label):
    box = Box()
    con = build(dual, changes, answer, role_a, box)
    broker = cls.__new__(cls)
    box.broker = broker
    kind, _ = outcome("%s.__init__%s" % (cls.__name__, label), broker.__init__, con)
    if kind == "raised":
        broker.__dict__["connection"] = con
        broker.__dict__["prompt_recovery"] = prompt_recovery
    fn = getattr(broker, method, None)
    if fn is None:
        return None
    if method == "execute_init_commands":
        return outcome("%s.%s%s" % (cls.__name__, method, label), fn, standby=standby)
    return outcome("%s.%s%s" % (cls.__name__, method, label), fn)


answers = st.one_of(st.sampled_from(["active", "standby", "ACTIVE", "", "sso"]), st.text(max_size=6))
roles = st.sampled_from(["active", "standby", None])
