"""Keys and values whose __eq__, __hash__, __str__ or __lt__ change the
registry's tree (clear it, replace it, register or unregister into it, swap
the roster's _plugins) while register_plugin, get_plugin, unregister_plugin,
print_tree and repr are walking it; deep and self-referencing trees for
print_tree.  Run in its own interpreter: a crash ends only this run."""
from hypothesis import given, settings, strategies as st

from fuzzkit import COUNTS, outcome

from tarvix.core import implroster


class Quiet(object):
    def debug(self, message):
        pass


implroster.log = Quiet()

ACTIONS = ("clear", "replace", "register", "unregister", "swap_data", "drop_roster_dict",
           "nest_self", "print_tree")


class Mutator(object):
    """A key whose dunders run one of ACTIONS on the roster (once per call
    of the dunder, up to `budget` times in all)."""

    def __init__(self, text, hooks, action, budget):
        self.text = text
        self.hooks = frozenset(hooks)
        self.action = action
        self.budget = budget
        self.roster = None

    def _fire(self, hook):
        if hook not in self.hooks or self.roster is None or self.budget <= 0:
            return
        self.budget -= 1
        r = self.roster
        tree = r.__dict__.get("_plugins")
        if self.action == "clear" and isinstance(tree, dict):
            tree.clear()
        elif self.action == "replace":
            r.__dict__["_plugins"] = {"generic": {"data": {"single_rp": {"cls": int}}}}
        elif self.action == "register":
            outcome("nested/register", r.register_plugin, Quiet, os="generic", series="s1")
        elif self.action == "unregister":
            outcome("nested/unregister", r.unregister_plugin, os="generic")
        elif self.action == "swap_data" and isinstance(tree, dict):
            for node in list(tree.values()):
                if isinstance(node, dict):
                    node["data"] = self
        elif self.action == "drop_roster_dict":
            r.__dict__.pop("_plugins", None)
        elif self.action == "nest_self" and isinstance(tree, dict):
            tree[self] = tree
        elif self.action == "print_tree":
            outcome("nested/print_tree", r.print_tree, tree)

    def __eq__(self, other):
        self._fire("eq")
        return isinstance(other, Mutator) and other.text == self.text or other == self.text

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        self._fire("hash")
        return hash(self.text)

    def __str__(self):
        self._fire("str")
        return self.text

    def __lt__(self, other):
        self._fire("lt")
        return str(self.text) < str(other)

    def __gt__(self, other):
        self._fire("lt")
        return str(self.text) > str(other)

    def __bool__(self):
        self._fire("bool")
        return True

    def __contains__(self, item):
        self._fire("contains")
        return False

    def __radd__(self, other):
        self._fire("str")
        return other + self.text

    def __rmod__(self, other):
        self._fire("str")
        return other % self.text

    def islower(self):
        return True


mutators = st.builds(Mutator, st.sampled_from(["generic", "quilm", "s1", "m1", "single_rp",
                                               "data", "x"]),
                     st.sets(st.sampled_from(["eq", "hash", "str", "lt", "bool", "contains"]),
                             min_size=1),
                     st.sampled_from(ACTIONS), st.integers(1, 3))
part = st.one_of(st.none(), st.sampled_from(["generic", "quilm", "s1", "m1"]), mutators)


def seed(roster):
    roster.register_plugin(Quiet, os="generic")
    roster.register_plugin(Quiet, os="generic", series="s1", model="m1")
    roster.register_plugin(Quiet, os="quilm", series="s1", chassis_type="dual_rp")


@given(op=st.sampled_from(["register_plugin", "get_plugin", "unregister_plugin"]),
       os=part, series=part, model=part,
       chassis=st.one_of(st.none(), st.sampled_from(["single_rp", "dual_rp"]), mutators))
def mutate_during_walks(op, os, series, model, chassis):
    roster = implroster.ImplRoster()
    seed(roster)
    for value in (os, series, model, chassis):
        if isinstance(value, Mutator):
            value.roster = roster
    kwargs = dict(os=os, series=series, model=model)
    if chassis is not None or op != "unregister_plugin":
        kwargs["chassis_type"] = chassis
    if op == "register_plugin":
        outcome("register_plugin/mutating", roster.register_plugin, Quiet, **kwargs)
    else:
        outcome(op + "/mutating", getattr(roster, op), **kwargs)
    outcome("__repr__/after", repr, roster)


@given(keys=st.lists(st.one_of(mutators, st.sampled_from(["a", "b", "c"])), min_size=1,
                     max_size=5),
       leaf=st.one_of(st.text(max_size=3), mutators))
def mutate_during_print_tree(keys, leaf):
    roster = implroster.ImplRoster()
    seed(roster)
    tree = roster._plugins
    for key in keys:
        if isinstance(key, Mutator):
            key.roster = roster
        outcome("setitem", tree.__setitem__, key, {"data": leaf, "k": {key: leaf}})
    if isinstance(leaf, Mutator):
        leaf.roster = roster
    outcome("print_tree/mutating", roster.print_tree, tree)
    outcome("__repr__/mutating", repr, roster)


# Rendering a chain of depth n costs n*n line copies: a few deep cases.
@settings(max_examples=max(10, settings().max_examples // 4))
@given(depth=st.one_of(st.integers(1, 50), st.integers(600, 1100)), cycle=st.booleans(),
       width=st.integers(1, 3))
def deep_and_cyclic_trees(depth, cycle, width):
    root = node = {}
    for i in range(depth):
        child = {}
        for w in range(width - 1):
            node["leaf%d" % w] = w
        node["k"] = child
        node = child
    if cycle:
        node["back"] = root
    roster = implroster.ImplRoster()
    kind, value = outcome("print_tree/deep", roster.print_tree, root)
    if cycle:
        assert kind == "raised" and isinstance(value, RecursionError), (kind, value)
    roster.__dict__["_plugins"] = root
    outcome("__repr__/deep", repr, roster)


if __name__ == "__main__":
    mutate_during_walks()
    mutate_during_print_tree()
    deep_and_cyclic_trees()
    for label in sorted(COUNTS):
        print("cases", label, COUNTS[label])
