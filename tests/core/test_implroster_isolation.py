"""The registry module under stress: deep trees at any recursion limit, its
state per module instance (re-import, subinterpreters).  Each case runs in a
fresh interpreter, as a crash or a second module instance would spoil the
test process."""
import os
import sys

import pytest

import tarvix

DEEP_TREE = """
    import sys, threading
    from tarvix.core.implroster import ImplRoster

    class Leaf(object):
        def __str__(self):
            raise ValueError("the leaf was reached")

    class Override(ImplRoster):
        def print_tree(self, data, output="plugin"):
            return super(Override, self).print_tree(data=data, output=output)

    def chain(depth, leaf):
        data = node = {}
        for _ in range(depth):
            node["k"] = {}
            node = node["k"]
        node["k"] = leaf
        return data

    def dismantle(data):
        # (Freeing a deep dict at once overflows a small stack on some
        # interpreters by itself.)
        while isinstance(data, dict) and data:
            data = data.pop("k")

    def plain(data, output="plugin"):
        if not data or data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        keys = sorted(data)
        for key in keys:
            lines = plain(data[key], "__ " + key).split("\\n")
            for number, line in enumerate(lines, 1):
                last = key == keys[-1]
                output += ("\\n  |" if number == 1 and last else ("\\n  " if last else "\\n  |")) + line
        return output

    def flat(data, output="plugin"):
        # plain() written top-down: each line gets its ancestors' prefixes
        # once, where plain() copies every line below a node at every level
        # (cubic time on deep trees, minutes under the sanitizer).
        lines = []

        def walk(data, output, first, rest):
            if not data or data == {}:
                lines.append(first)
            elif not isinstance(data, dict):
                lines.append(first + output + " = " + str(data))
            else:
                lines.append(first + output)
                keys = sorted(data)
                for key in keys:
                    walk(data[key], "__ " + key, rest + "  |", rest + ("  " if key == keys[-1] else "  |"))
        walk(data, output, "", "")
        return "\\n".join(lines)

    def run():
        for cls in (ImplRoster, Override):
            tree = chain(30000, Leaf())
            try:
                cls().print_tree(tree)
            except (ValueError, RecursionError) as exc:
                print(cls.__name__, type(exc).__name__)
            dismantle(tree)
        print(ImplRoster().print_tree(rendered) == expected)

    # At the default limit an override nests as deep as the plain recursion.
    shallow = chain(200, "x")
    print(Override().print_tree(shallow) == plain(shallow) == flat(shallow))
    sys.setrecursionlimit(10 ** 6)
    # (The plain recursion itself needs more stack than a small thread has
    # on the older interpreters.)
    rendered = chain(1200, "x")
    expected = flat(rendered)
    if %(stack_kib)d:
        threading.stack_size(%(stack_kib)d * 1024)
    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
"""


@pytest.mark.parametrize("stack_kib", [0, 256])
def test_deep_tree_at_a_raised_recursion_limit(python, stack_kib):
    # The class's own rendering takes no C stack per level and reaches the
    # leaf; an override nests through the interpreter, as far as the stack
    # of the thread allows, and is stopped in time.
    proc = python(DEEP_TREE % {"stack_kib": stack_kib})
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.split("\n")
    assert lines[0] == "True"
    assert lines[1] == "ImplRoster ValueError"
    assert lines[2] in ("Override ValueError", "Override RecursionError")
    assert lines[3:] == ["True", ""]


def test_reimported_module_leaves_old_classes_their_own_state(python):
    proc = python("""
        import gc, sys
        import tarvix.core.implroster as old_module
        from tarvix.core.errors import ConnectionInfraError

        class Log(object):
            def __init__(self):
                self.lines = []
            def debug(self, line):
                self.lines.append(line)

        old_log, new_log = Log(), Log()
        old = old_module.ImplRoster()
        old_module.log = old_log
        del sys.modules["tarvix.core.implroster"]
        import tarvix.core.implroster as new_module
        assert new_module is not old_module
        new_module.log = new_log
        del old_module
        gc.collect()
        old.validate_os("zzz")
        new_module.ImplRoster().validate_os("yyy")

        from json import JSONDecoder as A
        old.register_plugin(A, os="quilm", series="qb4")
        try:
            old.get_plugin(os="generic")
        except ConnectionInfraError as exc:
            caught = str(exc)
        print(old.get_plugin(os="quilm", series="qb4") is A, caught)
        print(old_log.lines, new_log.lines)
        print(repr(old).splitlines()[1:3])
        # Instances of the module that nothing holds any more are freed.
        for _ in range(40):
            del sys.modules["tarvix.core.implroster"]
            import tarvix.core.implroster
            gc.collect()
    """)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == [
        "True Plugin data not found for (generic), type: single_rp ",
        "['zzz is not part of the built-in list of supported OSes.'] "
        "['yyy is not part of the built-in list of supported OSes.']",
        "['  |__ quilm', '    |__ qb4']",
    ]


def legacy_subinterpreters():
    if sys.version_info >= (3, 13):
        return "import _interpreters as interpreters\nsub = interpreters.create('legacy')"
    if sys.version_info >= (3, 8):
        return ("import _xxsubinterpreters as interpreters\n"
                "sub = interpreters.create(%s)" % ("isolated=False" if sys.version_info >= (3, 12) else ""))
    return None


@pytest.mark.skipif(legacy_subinterpreters() is None, reason="no subinterpreters on this interpreter")
def test_legacy_subinterpreter_leaves_the_main_registry_alone(python):
    proc = python(legacy_subinterpreters() + """
import tarvix
from tarvix.core.errors import ConnectionInfraError
roster = tarvix.__impl_roster__
interpreters.run_string(sub, "import tarvix.plugins.generic, tarvix\\n"
                             "print(tarvix.__impl_roster__.get_plugin(os='generic').__name__)")
try:
    roster.get_plugin(os="vardo")
except ConnectionInfraError as exc:
    print("main error", exc)
interpreters.destroy(sub)

from json import JSONDecoder as A
roster.register_plugin(A, os="vardo")
print(roster.get_plugin(os="vardo") is A, "vardo" in repr(roster))
""")
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == [
        "GenericSingleRpConnection",
        "main error Plugin data not found for (vardo), type: single_rp ",
        "True True",
    ]


# The class of a module that is gone (its static methods replaced, as a mock
# does, so that nothing of it holds the module) and a new instance of the
# module, in this interpreter or a legacy subinterpreter, with an error class
# of its own: the old class keeps to its own module.
ORPHANED_CLASS = """
import sys, gc, tarvix.core, tarvix.core.implroster as m1
from tarvix.core.errors import ConnectionInfraError
C = m1.ImplRoster; r = C()
C.discover_builtin_plugins = C.discover_external_plugins = staticmethod(lambda: None)
del sys.modules["tarvix.core.implroster"], tarvix.core.implroster, m1; gc.collect()
%s
try:
    r.validate_model(os="generic", series="s", model="BAD")
except Exception as exc:
    print(type(exc) is ConnectionInfraError, type(exc).__name__)
print(r.get_plugin.__self__ is r, "generic" in r.supported_os)
"""

# (The fresh interpreter imports the tarvix under test.)
THIS_TARVIX = {"PYTHONPATH": os.path.dirname(os.path.dirname(os.path.abspath(tarvix.__file__)))}

IMPORT_HERE = """
import tarvix.core.implroster as m2
class NewErr(Exception): pass
m2.ConnectionInfraError = NewErr
"""

IMPORT_THERE = """
run(sub, '''
import tarvix.core.implroster as m2
class NewErr(Exception): pass
m2.ConnectionInfraError = NewErr
m2.ImplRoster().validate_os(os="vardo")
''')
"""


@pytest.mark.parametrize("where", ["here", "subinterpreter"])
def test_class_whose_module_is_gone_keeps_to_its_own_module(python, where):
    if where == "here":
        code = ORPHANED_CLASS % IMPORT_HERE
    else:
        if legacy_subinterpreters() is None:
            pytest.skip("no subinterpreters on this interpreter")
        code = legacy_subinterpreters() + "\nrun = getattr(interpreters, 'exec', None) or interpreters.run_string\n" + (
            ORPHANED_CLASS % IMPORT_THERE)
    proc = python(code, env_extra=THIS_TARVIX)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == ["True ConnectionInfraError", "True True"]


def test_any_number_of_module_instances(python):
    # More instances of both modules alive at once than any fixed table
    # would hold, each class on its own module's namespace.
    proc = python("""
        import sys
        names = ["tarvix.core.implroster", "tarvix.bases.routers.link_broker"]
        kept = []
        for i in range(20):
            for name in names:
                sys.modules.pop(name, None)
            import tarvix.core.implroster as roster, tarvix.bases.routers.link_broker as broker
            roster.ConnectionInfraError = type("Err%d" % i, (Exception,), {})
            broker.Dialog = lambda statements, i=i: "dialog %d" % i
            kept.append((roster, broker))
        seen = []
        for roster, broker in kept:
            try:
                roster.ImplRoster().validate_series(os=None, series="s")
            except Exception as exc:
                seen.append(type(exc).__name__)
            seen.append(broker.BaseCommonRpLinkBroker.get_connection_dialog(object.__new__(broker.BaseSingleRpLinkBroker)))
        print(len(set(seen)), seen[:2], seen[-2:])
    """, env_extra=THIS_TARVIX)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == ["40 ['Err0', 'dialog 0'] ['Err19', 'dialog 19']"]
