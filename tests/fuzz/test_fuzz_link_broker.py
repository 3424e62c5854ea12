"""Property-based fuzzing of the three link-broker classes with host objects
whose members raise, are missing, have the wrong type or return the wrong
type.  Every call ends in a result or a Python exception."""
import pytest
from hypothesis import given, strategies as st

from brokerhost import (DUAL_METHODS, KINDS, SINGLE_METHODS, answers, change_lists, exercise,
                        lb, roles)
from fuzzkit import Boom, outcome, values

CASES = [("BaseSingleRpLinkBroker", False, m) for m in SINGLE_METHODS] + \
        [("BaseDualRpLinkBroker", True, m) for m in DUAL_METHODS] + \
        [("BaseCommonRpLinkBroker", False, m) for m in SINGLE_METHODS[:3]]


@pytest.mark.parametrize("cls_name,dual,method", CASES,
                         ids=["%s.%s" % (c[0][4:-12], c[2]) for c in CASES])
@given(data=st.data())
def test_broker_methods_with_hostile_hosts(cls_name, dual, method, data):
    changes = data.draw(change_lists(dual, KINDS, values), label="changes")
    result = exercise(getattr(lb, cls_name), dual, changes, data.draw(answers, label="answer"),
                      data.draw(roles, label="role_a"), method, data.draw(values, label="standby"),
                      data.draw(values, label="prompt_recovery"))
    kind, value = result
    assert not isinstance(value, SystemError), repr(value)
    if not changes and cls_name != "BaseCommonRpLinkBroker" and method == "disconnect":
        assert kind == "ok"


@pytest.mark.parametrize("cls_name", ["BaseCommonRpLinkBroker", "BaseSingleRpLinkBroker",
                                      "BaseDualRpLinkBroker"])
@given(args=st.lists(values, max_size=3), kw=st.dictionaries(
    st.sampled_from(["connection", "standby", "x", "self"]), values, max_size=2))
def test_broker_call_shapes(cls_name, args, kw):
    cls = getattr(lb, cls_name)
    broker = cls.__new__(cls)
    kind, value = outcome(cls_name + ".__init__/shape", broker.__init__, *args, **kw)
    if len(args) + len(kw) != 1 or (kw and "connection" not in kw):
        assert kind == "raised" and isinstance(value, TypeError), (args, kw, value)
    for method in ("get_connection_dialog", "set_init_commands"):
        if args or kw:
            kind, value = outcome(cls_name + "." + method + "/shape", getattr(broker, method),
                                  *args, **kw)
            assert kind == "raised" and isinstance(value, TypeError)


@given(standby=values, context_pop=st.one_of(values, st.just(Boom)))
def test_init_takes_the_flag_from_any_context(standby, context_pop):
    class Context(object):
        def pop(self, key, default):
            if context_pop is Boom:
                raise Boom("pop")
            return context_pop

    class Con(object):
        context = Context()
    for cls in (lb.BaseSingleRpLinkBroker, lb.BaseDualRpLinkBroker):
        kind, value = outcome(cls.__name__ + ".__init__/context", cls, Con())
        if context_pop is Boom:
            assert kind == "raised" and isinstance(value, Boom)
        else:
            assert kind == "ok" and value.prompt_recovery is context_pop
