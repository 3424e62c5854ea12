"""print_tree and __repr__."""
import sys

import pytest
from hypothesis import given, settings, strategies as st

import tarvix.plugins.generic as generic
from tarvix.core.implroster import ImplRoster

GENERIC_PATH = "/opt/venv/lib/tarvix/plugins/generic/__init__.py"
Sample = type("Sample", (object,), {"__module__": "sample", "__qualname__": "Sample"})

WORKED_EXAMPLE = "\n".join([
    "plugin",
    "  |__ generic",
    "  |  |__ data",
    "  |    |__ dual_rp",
    "  |    |  |__ cls = <class 'tarvix.plugins.generic.GenericDualRPConnection'>",
    "  |    |  |__ path = /opt/venv/lib/tarvix/plugins/generic/__init__.py",
    "  |    |__ single_rp",
    "  |      |__ cls = <class 'tarvix.plugins.generic.GenericSingleRpConnection'>",
    "  |      |__ path = /opt/venv/lib/tarvix/plugins/generic/__init__.py",
    "  |__ quilm",
    "    |__ qb4",
    "      |__ data",
    "        |__ single_rp",
    "          |__ cls = <class 'sample.Sample'>",
    "          |__ path = /opt/plugins/sample.py",
])


@pytest.fixture
def example_roster(roster, implroster, monkeypatch):
    paths = {generic.GenericSingleRpConnection: GENERIC_PATH,
             generic.GenericDualRPConnection: GENERIC_PATH,
             Sample: "/opt/plugins/sample.py"}
    monkeypatch.setattr(implroster, "getfile", paths.__getitem__)
    # registered in an order other than the rendering's
    roster.register_plugin(Sample, os="quilm", series="qb4")
    roster.register_plugin(generic.GenericSingleRpConnection, os="generic")
    roster.register_plugin(generic.GenericDualRPConnection, os="generic", chassis_type="dual_rp")
    return roster


def test_worked_example_byte_for_byte(example_roster):
    assert example_roster.print_tree(example_roster.plugins) == WORKED_EXAMPLE
    assert example_roster.print_tree(data=example_roster.plugins, output="plugin") == WORKED_EXAMPLE


def test_repr_is_the_tree_under_the_registry_heading(example_roster):
    heading = "plugins (<class 'tarvix.core.implroster.ImplRoster'> at %s) " % hex(id(example_roster))
    expected = heading + WORKED_EXAMPLE[len("plugin"):]
    assert repr(example_roster) == expected
    assert str(example_roster) == expected


def test_repr_of_a_subclass_names_it(implroster):
    class Mine(implroster.ImplRoster):
        pass

    roster = Mine()
    roster.plugins["a"] = "x"
    assert repr(roster) == "plugins (%s at %s) \n  |__ a = x" % (Mine, hex(id(roster)))


def test_repr_of_an_empty_registry(roster):
    assert repr(roster) == ""


@pytest.mark.parametrize("data, output, expected", [
    ({}, "plugin", ""),
    (None, "plugin", ""),
    ("", "head", ""),
    (0, "plugin", ""),
    (42, "plugin", "plugin = 42"),
    ("text", "label", "label = text"),
    ({"a": "x"}, "plugin", "plugin\n  |__ a = x"),
    ({"b": 1, "a": 2}, "h", "h\n  |__ a = 2\n  |__ b = 1"),
    ({"B": 1, "a": 2, "data": 3}, "h", "h\n  |__ B = 1\n  |__ a = 2\n  |__ data = 3"),
    ({"a": "one\ntwo", "b": "x"}, "h", "h\n  |__ a = one\n  |two\n  |__ b = x"),
    ({"a": "x", "b": "one\ntwo"}, "h", "h\n  |__ a = x\n  |__ b = one\n  two"),
    ({"generic": {"data": {}}}, "plugin", "plugin\n  |__ generic\n    |"),
    ({"generic": {"data": {}}, "quilm": 1}, "plugin",
     "plugin\n  |__ generic\n  |  |\n  |__ quilm = 1"),
    ({"a": {"b": {"c": 1}}}, "h", "h\n  |__ a\n    |__ b\n      |__ c = 1"),
])
def test_layout(roster, data, output, expected):
    assert roster.print_tree(data, output) == expected


class EqualsEmpty(dict):
    def __bool__(self):
        return True

    def __eq__(self, other):
        return True

    __hash__ = None


def test_value_equal_to_an_empty_dict_renders_nothing(roster):
    assert roster.print_tree(EqualsEmpty(a=1)) == ""


def test_dict_subclass_is_a_dict_and_other_mappings_are_leaves(roster):
    class Sub(dict):
        pass

    class Mapping(object):
        def __bool__(self):
            return True

        def __str__(self):
            return "M"

    assert roster.print_tree(Sub(k="v")) == "plugin\n  |__ k = v"
    assert roster.print_tree(Mapping()) == "plugin = M"


def test_non_text_keys(roster):
    with pytest.raises(TypeError):
        roster.print_tree({1: "x"})
    with pytest.raises(TypeError):
        roster.print_tree({"a": 1, 2: "x"})


def test_errors_of_the_values_propagate(roster):
    class Broken(object):
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError):
        roster.print_tree({"a": Broken()})


def test_recursion_goes_through_the_instance_with_keywords(implroster):
    calls = []

    class Roster(implroster.ImplRoster):
        def print_tree(self, data, output="plugin", **extra):
            calls.append((output, sorted(extra)))
            return implroster.ImplRoster.print_tree(self, data=data, output=output)

    class Keywords(implroster.ImplRoster):
        def print_tree(self, **kwargs):
            calls.append(list(kwargs))
            return implroster.ImplRoster.print_tree(self, **kwargs)

    roster = Roster()
    assert roster.print_tree({"a": {"b": 1}, "c": 2}) == "plugin\n  |__ a\n  |  |__ b = 1\n  |__ c = 2"
    assert calls == [("plugin", []), ("__ a", []), ("__ b", []), ("__ c", [])]
    del calls[:]
    Keywords().print_tree(data={"a": 1}, output="h")
    assert calls == [["data", "output"], ["data", "output"]]


def test_override_result_is_split_into_lines(implroster):
    class Roster(implroster.ImplRoster):
        def print_tree(self, data, output="plugin"):
            if output.startswith("__ "):
                return "first\nsecond"
            return implroster.ImplRoster.print_tree(self, data, output)

    assert Roster().print_tree({"a": 1, "b": 2}) == "plugin\n  |first\n  |second\n  |first\n  second"


def test_repr_goes_through_the_instance(roster):
    seen = []
    roster.print_tree = lambda **kwargs: seen.append(kwargs) or "rendered"
    roster.plugins["x"] = 1
    assert repr(roster) == "rendered"
    assert seen[0]["data"] is roster.plugins
    assert seen[0]["output"].startswith("plugins (<class ")
    assert list(seen[0]) == ["data", "output"]


class Tag(str):
    """A text type whose additions keep the type, to follow the operator chain."""

    def __add__(self, other):
        return Tag(str.__add__(self, "<" + str(other) + ">"))

    def __radd__(self, other):
        return Tag(str(other) + "[" + str.__str__(self) + "]")


def test_text_types_other_than_str_follow_the_operators(implroster, roster):
    result = roster.print_tree({"a": 1}, output=Tag("h"))
    assert type(result) is Tag
    assert result == "h<\n  |__ a = 1>"

    class Lines(implroster.ImplRoster):
        def print_tree(self, data, output="plugin"):
            if output == "plugin":
                return implroster.ImplRoster.print_tree(self, data, output)
            return Split()

    class Split(object):
        def split(self, separator):
            assert separator == "\n"
            return ["x", Tag("y"), "z"]

    # "\n  " + Tag("y") asks Tag first; the str result so far then meets a Tag
    assert Lines().print_tree({"a": 1}) == "plugin\n  |x" + "[\n  [y]]" + "<\n  z>"


def test_deep_dict_ends_in_recursion_error(roster):
    data = node = {}
    for _ in range(100000):
        node["k"] = {}
        node = node["k"]
    node["k"] = 1
    with pytest.raises(RecursionError):
        roster.print_tree(data)


def test_self_referencing_dict_ends_in_recursion_error(roster):
    data = {"a": 1}
    data["self"] = data
    with pytest.raises(RecursionError):
        roster.print_tree(data)
    roster.plugins["loop"] = roster.plugins
    with pytest.raises(RecursionError):
        repr(roster)


def test_key_mutating_the_tree_during_the_walk(roster):
    data = {}

    class Hostile(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            data.clear()
            return str.__eq__(self, other)

    data[Hostile("a")] = {"x": 1}
    data["b"] = 2
    # the comparison with the last key empties the dict: "b" is gone
    with pytest.raises(KeyError):
        roster.print_tree(data)


def test_value_text_mutating_the_tree_during_the_walk(roster):
    data = {}

    class Mutator(object):
        def __str__(self):
            data.clear()
            data["zz"] = "new"
            return "m"

    data["a"] = Mutator()
    data["b"] = "kept"
    with pytest.raises(KeyError):
        roster.print_tree(data)
    data = {"a": "x"}

    class Grower(object):
        def __str__(self):
            data["later"] = "ignored"
            return "g"

    data["b"] = Grower()
    assert roster.print_tree(data) == "plugin\n  |__ a = x\n  |__ b = g"


def test_print_tree_arguments(roster):
    with pytest.raises(TypeError):
        roster.print_tree()
    with pytest.raises(TypeError):
        roster.print_tree({}, "a", "b")
    with pytest.raises(TypeError):
        roster.__repr__(1)


def test_deep_dict_in_a_thread_ends_in_recursion_error(python):
    # Regression: on 3.12 and later the interpreter lets C-to-C calls nest
    # thousands deep, and the rendering overflowed the stack of a thread
    # (a crash with 4 MiB on 3.13, with 1 MiB too); it now stops at the
    # recursion limit.  (4 MiB also holds the larger frames of the
    # sanitizer build at that limit; 1 MiB does not.)
    stack_kib = 4096
    proc = python("""
        import sys, threading
        from tarvix.core.implroster import ImplRoster
        threading.stack_size(%d * 1024)
        seen = []
        def run():
            data = node = {}
            for _ in range(100000):
                node["k"] = {}
                node = node["k"]
            try:
                ImplRoster().print_tree(data)
            except RecursionError as exc:
                seen.append(exc)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
        print(len(seen))
    """ % stack_kib)
    assert (proc.returncode, proc.stdout.strip()) == (0, "1"), proc.stderr[-2000:]


def test_nested_rendering_on_a_main_thread_without_stack_limit(python):
    # With no stack limit, the main thread's stack is reported down to the
    # mapping below it; the entries count on its top part only, which still
    # holds thousands of nested renderings (as many as 3.13 lets C calls nest).
    proc = python("""
        import resource, sys
        from tarvix.core.implroster import ImplRoster
        soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
        if hard != resource.RLIM_INFINITY:
            sys.exit("skip")
        resource.setrlimit(resource.RLIMIT_STACK, (resource.RLIM_INFINITY, hard))
        sys.setrecursionlimit(100000)

        levels = []

        class Nested(ImplRoster):
            def print_tree(self, data, output="plugin"):
                levels.append(output)
                # (the first two lines only, or the texts grow with the depth)
                return "\\n".join(ImplRoster.print_tree(self, data, output).split("\\n")[:2])

        data = node = {}
        for _ in range(2000):
            node["k"] = {}
            node = node["k"]
        node["k"] = 1
        print(repr(Nested().print_tree(data)), len(levels))
    """)
    if proc.stderr.strip() == "skip":
        pytest.skip("the stack's hard limit is not unlimited here")
    assert (proc.returncode, proc.stdout.strip()) == (0, "'plugin\\n  |__ k' 2002"), proc.stderr[-2000:]


def test_render_depth_follows_the_recursion_limit(roster):
    def chain(depth):
        data = node = {}
        for _ in range(depth):
            node["k"] = {}
            node = node["k"]
        node["k"] = 1
        return data
    limit = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(400)
        with pytest.raises(RecursionError):
            roster.print_tree(chain(450))
        assert roster.print_tree(chain(50)).count("\n") == 51
        # The nesting count comes back down after a failure.
        assert roster.print_tree(chain(50)).count("\n") == 51
    finally:
        sys.setrecursionlimit(limit)


def rendered(data, output="plugin"):
    """The rendering rules, written out plainly, for comparison."""
    if not data or data == {}:
        return ""
    if not isinstance(data, dict):
        return output + " = " + str(data)
    keys = sorted(data.keys())
    text = output
    for key in keys:
        sub = rendered(data[key], "__ " + key)
        separator = "  " if key == keys[-1] else "  |"
        for number, line in enumerate(sub.split("\n"), 1):
            text += ("\n  |" if number == 1 and key == keys[-1] else "\n" + separator) + line
    return text


Wide = type("W\u00e9ide\u4e2d", (object,), {"__module__": "m\U0001f600d"})
LEAVES = st.one_of(st.none(), st.text(max_size=6), st.sampled_from([Sample, Wide, int, 0, 7, 1.5]))
TEXTS = st.text(alphabet=st.sampled_from("ab\n |_=\u00e9\u4e2d\U0001f600"), max_size=4)
TREES = st.recursive(st.one_of(LEAVES, TEXTS), lambda inner: st.dictionaries(TEXTS, inner, max_size=4),
                     max_leaves=20)


@settings(max_examples=300, deadline=None)
@given(tree=TREES, heading=TEXTS)
def test_rendering_follows_the_rules_for_any_text(tree, heading):
    # Line breaks and characters beyond Latin-1 in keys, values and the
    # heading; classes, None, numbers and empty nodes as leaves.
    assert ImplRoster().print_tree(tree, heading) == rendered(tree, heading)


def test_plain_trees_still_render_through_an_override_at_every_level(implroster):
    calls = []

    class Counting(implroster.ImplRoster):
        def print_tree(self, data, output="plugin"):
            calls.append(output)
            return super(Counting, self).print_tree(data=data, output=output)

    tree = {"a": {"b": {"c": "x"}}, "d": Sample}
    assert Counting().print_tree(tree) == rendered(tree)
    assert calls == ["plugin", "__ a", "__ b", "__ c", "__ d"]
    roster = implroster.ImplRoster()
    roster.print_tree = lambda data, output="plugin": "<%s>" % output
    assert roster.print_tree(tree) == "<plugin>"
    assert implroster.ImplRoster.print_tree(roster, tree) == "plugin\n  |<__ a>\n  |<__ d>"


def test_class_leaves_of_another_metaclass_render_their_own_text(roster):
    class Meta(type):
        def __str__(cls):
            roster_tree["z"] = "late"
            return "meta"

    roster_tree = {"a": Meta("A", (object,), {}), "b": "kept"}
    assert roster.print_tree(roster_tree) == "plugin\n  |__ a = meta\n  |__ b = kept"


def test_rendering_close_to_the_recursion_limit_fails_as_the_recursion_does(roster):
    tree = {"a": {"b": {"c": {"d": "x"}}}}

    def nested(levels):
        if levels:
            return nested(levels - 1)
        return roster.print_tree(tree)

    limit = sys.getrecursionlimit()
    outcomes = []
    for spare in range(0, 80, 2):
        depth = 0
        frame = sys._getframe()
        while frame:
            depth += 1
            frame = frame.f_back
        try:
            outcomes.append(nested(limit - depth - spare) == rendered(tree))
        except RecursionError:
            outcomes.append("RecursionError")
    # Up to some distance from the limit the error, from there on the text.
    first = outcomes.index(True)
    assert first > 0 and set(outcomes[:first]) == {"RecursionError"} and all(o is True for o in outcomes[first:])


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="legacy str objects are gone from 3.12 on")
def test_legacy_str_leaf_renders_its_text(roster):
    # A str made by the legacy API reports its length only once made ready.
    import ctypes
    import warnings
    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]

    def legacy(text):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            value = api.PyUnicode_FromUnicode(None, len(text))
            ctypes.memmove(api.PyUnicode_AsUnicode(value), ctypes.create_unicode_buffer(text),
                           len(text) * ctypes.sizeof(ctypes.c_wchar))
        return value

    assert roster.print_tree({"a": legacy("xyz")}) == "plugin\n  |__ a = xyz"
    assert roster.print_tree({legacy("k"): {"b": legacy("")}}) == "plugin\n  |__ k\n    |"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters of their own from 3.12 on")
def test_instance_override_is_seen_in_a_subinterpreter(python):
    # Each interpreter interns its own strings: the name set on the instance
    # there is not the object the module interned.
    inner = "\n".join([
        "from tarvix.core.implroster import ImplRoster",
        "r = ImplRoster()",
        "r.print_tree = lambda data, output='plugin': '<%s>' % output",
        "print(ImplRoster.print_tree(r, {'a': {'b': 'x'}}).replace(chr(10), '/'))",
    ])
    proc = python("\n".join([
        "import sys",
        "import tarvix.core.implroster",
        "if sys.version_info >= (3, 13):",
        "    import _interpreters as interpreters",
        "    sub = interpreters.create(interpreters.new_config('legacy'))",
        "else:",
        "    import _xxsubinterpreters as interpreters",
        "    sub = interpreters.create(isolated=False)",
        "interpreters.run_string(sub, %r)" % inner,
    ]))
    assert proc.stdout.strip() == "plugin/  |<__ a>", proc.stderr[-2000:]
