"""The type stubs of the native modules: shipped with the package, naming
every public class and method with the parameters, kinds and defaults that
inspect.signature reads from the runtime, and accepted by mypy (where it is
installed) for ordinary use while wrong use is refused."""
import ast
import importlib
import inspect
import os
import subprocess
import sys
import textwrap

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


GOOD = """
from tarvix.core.implroster import ImplRoster
from tarvix.bases.routers.link_broker import BaseSingleRpLinkBroker

class Impl(object):
    pass

roster = ImplRoster()
roster.register_plugin(Impl, os="generic", series="s1")
found = roster.get_plugin(os="generic", chassis_type="dual_rp")
text: str = roster.print_tree(roster.plugins, output="root")
roster.unregister_plugin(os="generic")
ImplRoster.discover_external_plugins()

class MyBroker(BaseSingleRpLinkBroker):
    def connect(self) -> None:
        self.establish_connection()
        self.execute_init_commands(standby=True)
"""

BAD = """
from tarvix.core.implroster import ImplRoster
roster = ImplRoster()
roster.get_plugin(platform="generic")
count: int = roster.print_tree({})
"""


@pytest.mark.skipif(sys.version_info < (3, 8), reason="mypy is installed from 3.8 on")
def test_mypy_accepts_ordinary_use_and_refuses_wrong_use(tmp_path):
    pytest.importorskip("mypy")

    def check(code):
        sample = tmp_path / "sample.py"
        sample.write_text(textwrap.dedent(code))
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir",
             str(tmp_path / "cache"), "--python-version", "%d.%d" % sys.version_info[:2],
             str(sample)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
            cwd=str(tmp_path))
    good = check(GOOD)
    assert good.returncode == 0, good.stdout
    bad = check(BAD)
    assert bad.returncode == 1
    assert 'Unexpected keyword argument "platform"' in bad.stdout
    assert "Incompatible types in assignment" in bad.stdout
