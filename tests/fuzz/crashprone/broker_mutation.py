"""Host members that change the broker or its connection while a broker
method is running: the broker's connection deleted or replaced, the
connection's members cleared, a handle removed, the broker's class swapped,
the context emptied, the module's `re` rebound.  Run in its own interpreter:
a crash ends only this run."""
from hypothesis import given, settings, strategies as st

from brokerhost import (DUAL_METHODS, MUTATIONS, SINGLE_METHODS, answers, change_lists,
                        exercise, lb, roles)
from fuzzkit import COUNTS

import re

MUTATING = ("mutate_read", "mutate_call")


def run(cls, dual, methods):
    # Every method gets its own cases (a third of the profile's examples).
    @settings(max_examples=max(10, settings().max_examples // 3))
    @given(changes=change_lists(dual, MUTATING, st.sampled_from(MUTATIONS)),
           answer=answers, role_a=roles)
    def case(method, changes, answer, role_a):
        try:
            exercise(cls, dual, changes, answer, role_a, method, False, True, "/mutating")
        finally:
            lb.re = re
    for method in methods:
        case(method)


if __name__ == "__main__":
    run(lb.BaseSingleRpLinkBroker, False, SINGLE_METHODS)
    run(lb.BaseDualRpLinkBroker, True, DUAL_METHODS)
    run(lb.BaseCommonRpLinkBroker, False, SINGLE_METHODS[:3])
    for label in sorted(COUNTS):
        print("cases", label, COUNTS[label])
