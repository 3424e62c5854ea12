"""discover_builtin_plugins, discover_external_plugins and the two ways of
binding iter_entry_points."""
import importlib
import json
import os
import sys
import types

import pytest

import tarvix
from tarvix.core.errors import ConnectionInfraError

RECORD = "import tarvix\ntarvix._discovery_log.append(__name__)\n"
REGISTER = RECORD + (
    "class Conn(object):\n    pass\n"
    "tarvix.__impl_roster__.register_plugin(Conn, os={os!r}, series={series!r})\n")

# A package tree standing in for the framework's own, put in place of
# tarvix.__path__.  Walk order: extra, myplugins, plugins.
TREE = {
    "extra/__init__.py": RECORD,
    "extra/plugins/__init__.py": RECORD,
    "extra/plugins/tools.py": REGISTER.format(os="zendri", series=None),
    "myplugins/__init__.py": RECORD,
    "myplugins/tools.py": RECORD,
    "plugins/__init__.py": RECORD,
    "plugins/alpha/__init__.py": REGISTER.format(os="vardo", series=None),
    "plugins/alpha/tool.py": REGISTER.format(os="vardo", series="v1"),
}
WALK_ORDER = ["tarvix.extra", "tarvix.extra.plugins", "tarvix.extra.plugins.tools",
              "tarvix.myplugins", "tarvix.plugins", "tarvix.plugins.alpha",
              "tarvix.plugins.alpha.tool"]
PLUGIN_MODULES = ["tarvix.extra.plugins.tools", "tarvix.plugins.alpha",
                  "tarvix.plugins.alpha.tool"]


@pytest.fixture
def package_tree(tmp_path, monkeypatch, fresh_global_roster):
    """Writes a tree (relative path -> source) and points tarvix at it."""
    saved = {name: module for name, module in sys.modules.items()
             if name.startswith("tarvix.")}
    saved_attrs = dict(vars(tarvix))
    monkeypatch.setattr(tarvix, "_discovery_log", [], raising=False)

    def build(files=TREE):
        for relative, source in files.items():
            target = tmp_path.joinpath(*relative.split("/"))
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(source)
        for name in [n for n in sys.modules if n.startswith("tarvix.plugins")]:
            del sys.modules[name]
        monkeypatch.setattr(tarvix, "__path__", [str(tmp_path)])
        importlib.invalidate_caches()
        return tmp_path

    yield build
    for name in [n for n in sys.modules if n.startswith("tarvix.")]:
        if name not in saved:
            del sys.modules[name]
    sys.modules.update(saved)
    for name, value in list(vars(tarvix).items()):
        if name not in saved_attrs and isinstance(value, types.ModuleType):
            delattr(tarvix, name)
    tarvix.plugins = saved_attrs["plugins"]


# ---------------------------------------------------------------- builtin discovery


def test_discovery_imports_the_plugin_modules_in_walk_order(package_tree, fresh_global_roster):
    package_tree()
    assert tarvix.__impl_roster__.discover_builtin_plugins() is None
    assert tarvix._discovery_log == WALK_ORDER
    tree = fresh_global_roster.plugins
    assert sorted(tree) == ["vardo", "zendri"]
    assert tree["vardo"]["data"]["single_rp"]["cls"].__module__ == "tarvix.plugins.alpha"
    assert tree["vardo"]["v1"]["data"]["single_rp"]["cls"].__module__ == "tarvix.plugins.alpha.tool"
    assert "tarvix.myplugins.tools" not in sys.modules


def test_discovery_imports_through_importlib(package_tree, implroster, monkeypatch):
    package_tree()
    imported = []

    def import_module(name):
        imported.append(name)
        return importlib.import_module(name)

    monkeypatch.setattr(implroster, "importlib", types.SimpleNamespace(import_module=import_module))
    implroster.ImplRoster.discover_builtin_plugins()
    assert imported == PLUGIN_MODULES


def test_second_discovery_registers_nothing_new(package_tree, fresh_global_roster):
    package_tree()
    implroster_cls = type(fresh_global_roster)
    implroster_cls.discover_builtin_plugins()
    before = fresh_global_roster.plugins["vardo"]["data"]["single_rp"]
    implroster_cls.discover_builtin_plugins()
    assert tarvix._discovery_log == WALK_ORDER
    assert fresh_global_roster.plugins["vardo"]["data"]["single_rp"] is before


def test_failing_plugin_module_ends_discovery(package_tree):
    files = dict(TREE)
    files["plugins/alpha/__init__.py"] = RECORD + "raise RuntimeError('broken plugin')\n"
    package_tree(files)
    with pytest.raises(RuntimeError, match="broken plugin"):
        tarvix.__impl_roster__.discover_builtin_plugins()
    assert tarvix._discovery_log == WALK_ORDER[:-1]
    # what was imported before stays registered
    assert list(tarvix.__impl_roster__.plugins) == ["zendri"]


def test_validation_error_inside_a_plugin_reaches_the_caller(package_tree):
    files = dict(TREE)
    files["plugins/alpha/__init__.py"] = REGISTER.format(os="vardo", series="V1")
    package_tree(files)
    with pytest.raises(ConnectionInfraError, match="Series \\(V1\\) has to be in lowercase"):
        tarvix.__impl_roster__.discover_builtin_plugins()


def test_import_error_of_the_plugins_package_reaches_the_caller(package_tree):
    files = dict(TREE)
    files["plugins/__init__.py"] = RECORD + "import no_such_module_for_tarvix_tests\n"
    package_tree(files)
    with pytest.raises(ImportError, match="no_such_module_for_tarvix_tests"):
        tarvix.__impl_roster__.discover_builtin_plugins()
    assert tarvix._discovery_log == WALK_ORDER[:5]


def test_import_error_of_a_package_without_plugins_is_passed_over(package_tree):
    files = dict(TREE)
    files["extra/__init__.py"] = RECORD + "raise ImportError('optional dependency missing')\n"
    package_tree(files)
    tarvix.__impl_roster__.discover_builtin_plugins()
    assert tarvix._discovery_log == ["tarvix.extra"] + WALK_ORDER[3:]
    assert "zendri" not in tarvix.__impl_roster__.plugins


def test_other_error_of_a_package_without_plugins_ends_discovery(package_tree):
    files = dict(TREE)
    files["myplugins/__init__.py"] = RECORD + "raise ValueError('bad package')\n"
    package_tree(files)
    with pytest.raises(ValueError, match="bad package"):
        tarvix.__impl_roster__.discover_builtin_plugins()
    assert tarvix._discovery_log == WALK_ORDER[:4]


def test_marker_anywhere_in_the_name(package_tree, implroster, monkeypatch):
    package_tree({
        "core2/__init__.py": RECORD,
        "core2/plugins/__init__.py": RECORD,
        "core2/plugins/tools.py": RECORD,
    })
    imported = []
    real = importlib.import_module
    monkeypatch.setattr(implroster, "importlib", types.SimpleNamespace(
        import_module=lambda name: imported.append(name) or real(name)))
    tarvix.__impl_roster__.discover_builtin_plugins()
    assert imported == ["tarvix.core2.plugins.tools"]
    assert tarvix._discovery_log == ["tarvix.core2", "tarvix.core2.plugins",
                                     "tarvix.core2.plugins.tools"]


class RecordingWalk(object):
    def __init__(self, items=()):
        self.calls = []
        self.items = list(items)

    def walk_packages(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return iter(self.items)


def test_walk_is_given_the_package_path_and_prefix(implroster, monkeypatch):
    walk = RecordingWalk()
    monkeypatch.setattr(implroster, "pkgutil", walk)
    implroster.ImplRoster.discover_builtin_plugins()
    (args, kwargs), = walk.calls
    assert len(args) == 2
    assert args[0] is tarvix.__path__
    assert args[1] == "tarvix."
    assert list(kwargs) == ["onerror"]


def test_fallback_to_the_package_file(implroster, monkeypatch):
    walk = RecordingWalk()
    monkeypatch.setattr(implroster, "pkgutil", walk)
    monkeypatch.delattr(tarvix, "__path__")
    monkeypatch.setattr(tarvix, "__file__", "/somewhere/tarvix/__init__.py")
    implroster.ImplRoster.discover_builtin_plugins()
    (args, _), = walk.calls
    assert args == (["/somewhere/tarvix"], "tarvix.")


def test_fallback_uses_the_module_os(implroster, monkeypatch):
    walk = RecordingWalk()
    monkeypatch.setattr(implroster, "pkgutil", walk)
    monkeypatch.delattr(tarvix, "__path__")
    fake_path = types.SimpleNamespace(dirname=lambda f: "DIR(" + f + ")")
    monkeypatch.setattr(implroster, "os", types.SimpleNamespace(path=fake_path))
    implroster.ImplRoster.discover_builtin_plugins()
    assert walk.calls[0][0] == (["DIR(" + tarvix.__file__ + ")"], "tarvix.")


def test_no_fallback_for_the_fallback(implroster, monkeypatch):
    monkeypatch.setattr(implroster, "pkgutil", RecordingWalk())
    monkeypatch.delattr(tarvix, "__path__")
    monkeypatch.delattr(tarvix, "__file__")
    with pytest.raises(ImportError):
        implroster.ImplRoster.discover_builtin_plugins()


def test_only_marked_names_are_imported(implroster, monkeypatch):
    walk = RecordingWalk([(None, "tarvix.plugins", True), (None, "tarvix.a.plugins.b", False),
                          (None, "tarvix.myplugins.x", False), (None, "tarvix.Plugins.x", False),
                          (None, "tarvix.plugins.generic", True)])
    imported = []
    monkeypatch.setattr(implroster, "pkgutil", walk)
    monkeypatch.setattr(implroster, "importlib",
                        types.SimpleNamespace(import_module=imported.append))
    implroster.ImplRoster.discover_builtin_plugins()
    assert imported == ["tarvix.a.plugins.b", "tarvix.plugins.generic"]


@pytest.mark.parametrize("item", [(None, "tarvix.plugins.x"), (None, "a", True, 4), 7, None])
def test_walk_items_are_unpacked_into_three(implroster, monkeypatch, item):
    monkeypatch.setattr(implroster, "pkgutil", RecordingWalk([item]))
    with pytest.raises((TypeError, ValueError)) as info:
        implroster.ImplRoster.discover_builtin_plugins()
    try:
        finder, name, ispkg = item
    except (TypeError, ValueError) as expected:
        assert type(info.value) is type(expected)
        assert str(info.value) == str(expected)


def test_walk_error_callback(implroster, monkeypatch):
    walk = RecordingWalk()
    monkeypatch.setattr(implroster, "pkgutil", walk)
    implroster.ImplRoster.discover_builtin_plugins()
    onerror = walk.calls[0][1]["onerror"]
    assert onerror not in vars(implroster).values()
    try:
        raise ImportError("quiet")
    except ImportError:
        assert onerror("tarvix.extra") is None
    for name, exc in [("tarvix.plugins", ImportError("loud")),
                      ("tarvix.a.plugins", ModuleNotFoundError("loud")),
                      ("tarvix.extra", KeyError("other"))]:
        try:
            raise exc
        except Exception:
            with pytest.raises(type(exc)) as info:
                onerror(name)
            assert info.value is exc


def test_discovery_takes_no_arguments(implroster, roster):
    for method in (implroster.ImplRoster.discover_builtin_plugins,
                   implroster.ImplRoster.discover_external_plugins):
        with pytest.raises(TypeError):
            method(roster)
        with pytest.raises(TypeError):
            method(group="x")


def test_framework_tree(python):
    proc = python("""
        import tarvix
        roster = tarvix.__impl_roster__
        print(roster.plugins == {})
        roster.discover_builtin_plugins()
        print(roster.get_plugin(os="generic").__name__)
        print(roster.get_plugin(os="generic", chassis_type="dual_rp").__name__)
        """)
    assert proc.stdout.split() == ["True", "GenericSingleRpConnection",
                                   "GenericDualRPConnection"], proc.stderr


# ---------------------------------------------------------------- external discovery


class FakeEntryPoint(object):
    def __init__(self, events, name, module_name, error=None):
        self.events = events
        self.name = name
        self.module_name = module_name
        self.error = error

    def load(self):
        self.events.append(("load", self.name))
        if self.error:
            raise self.error
        return lambda: self.events.append(("called", self.name))


@pytest.fixture
def entry_points(implroster, monkeypatch, event_log):
    events = event_log.events
    points = []

    def query(*args, **kwargs):
        events.append(("query", args, kwargs))
        return iter(points)

    monkeypatch.setattr(implroster, "iter_entry_points", query)
    return events, points


def test_no_entry_points(implroster, entry_points):
    events, _ = entry_points
    assert implroster.ImplRoster.discover_external_plugins() is None
    assert events == [("query", (), {"group": "tarvix.plugins"})]


def test_entry_points_are_logged_then_loaded_in_order(implroster, entry_points, roster):
    events, points = entry_points
    points.extend([FakeEntryPoint(events, "generic_extra", "extra_pkg.plugin"),
                   FakeEntryPoint(events, 5, 6)])
    roster.discover_external_plugins()
    assert events == [
        ("query", (), {"group": "tarvix.plugins"}),
        ("debug", "Loading external plugin generic_extra from extra_pkg.plugin"),
        ("load", "generic_extra"),
        ("debug", "Loading external plugin 5 from 6"),
        ("load", 5),
    ]


def test_failing_load_stops_after_its_debug_line(implroster, entry_points):
    events, points = entry_points
    points.extend([FakeEntryPoint(events, "bad", "bad.mod", error=ImportError("gone")),
                   FakeEntryPoint(events, "good", "good.mod")])
    with pytest.raises(ImportError, match="gone"):
        implroster.ImplRoster.discover_external_plugins()
    assert events[1:] == [("debug", "Loading external plugin bad from bad.mod"),
                          ("load", "bad")]


def test_group_is_read_at_the_time_of_use(implroster, entry_points, monkeypatch):
    events, _ = entry_points
    monkeypatch.setattr(implroster, "ENTRYPOINT_GROUP", "other.group")
    implroster.ImplRoster.discover_external_plugins()
    assert events == [("query", (), {"group": "other.group"})]


def test_error_reading_an_entry_point_propagates(implroster, entry_points):
    events, points = entry_points

    class NoModule(object):
        name = "x"

    points.append(NoModule())
    with pytest.raises(AttributeError):
        implroster.ImplRoster.discover_external_plugins()
    assert len(events) == 1


# ---------------------------------------------------------------- iter_entry_points binding

DIST_FILES = {
    "extplug/__init__.py": (
        "import tarvix\n"
        "class ExtConn(object):\n    pass\n"
        "tarvix.__impl_roster__.register_plugin(ExtConn, os='zendri', chassis_type='stack')\n"
        "def hook():\n    raise SystemExit('hook must not be called')\n"),
    "extplug-1.0.dist-info/METADATA": "Metadata-Version: 2.1\nName: extplug\nVersion: 1.0\n",
    "extplug-1.0.dist-info/entry_points.txt": "[tarvix.plugins]\nzendri = extplug:hook\n",
}

END_TO_END = """
    import sys, json, logging
    sys.path.insert(0, {path!r})
    if {block!r}:
        sys.modules["pkg_resources"] = None
    import tarvix
    from tarvix.core import implroster
    lines = []
    class Grab(logging.Handler):
        def emit(self, record):
            lines.append(record.getMessage())
    tarvix.log.addHandler(Grab())
    tarvix.log.setLevel(logging.DEBUG)
    tarvix.__impl_roster__.discover_external_plugins()
    tarvix.__impl_roster__.discover_external_plugins()
    try:
        cls = tarvix.__impl_roster__.get_plugin(os="zendri", chassis_type="stack")
        found = cls.__module__ + "." + cls.__name__
    except Exception as exc:
        found = repr(exc)
    print(json.dumps({{
        "own": getattr(implroster.iter_entry_points, "__module__", None) == "tarvix.core.implroster",
        "found": found,
        "lines": [l for l in lines if "extplug" in l],
    }}))
"""


def metadata_available():
    for name in ("importlib.metadata", "importlib_metadata"):
        try:
            importlib.import_module(name)
            return True
        except ImportError:
            pass
    return False


def pkg_resources_available():
    try:
        import pkg_resources  # noqa: F401
        return True
    except ImportError:
        return False


@pytest.mark.parametrize("block", [False, True])
def test_installed_entry_point_end_to_end(tmp_path, python, block):
    if not block and not pkg_resources_available() and not metadata_available():
        pytest.skip("no entry-point source on this interpreter")
    if block and not metadata_available():
        pytest.skip("no importlib.metadata on this interpreter")
    for relative, text in DIST_FILES.items():
        target = tmp_path.joinpath(*relative.split("/"))
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
    proc = python(END_TO_END.format(path=str(tmp_path), block=block))
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert result["own"] is (block or not pkg_resources_available())
    assert result["found"] == "extplug.ExtConn"
    assert result["lines"] == ["Loading external plugin zendri from extplug"] * 2


def test_fake_pkg_resources_is_bound(python):
    proc = python("""
        import sys, types
        fake = types.ModuleType("pkg_resources")
        def iter_entry_points(group, name=None):
            return iter(())
        fake.iter_entry_points = iter_entry_points
        sys.modules["pkg_resources"] = fake
        from tarvix.core import implroster
        print(implroster.iter_entry_points is iter_entry_points)
        """)
    assert proc.stdout.strip() == "True", proc.stderr


def test_other_errors_of_pkg_resources_fail_the_import(python):
    proc = python("""
        import sys, types
        class Exploding(types.ModuleType):
            def __getattr__(self, name):
                raise RuntimeError("broken pkg_resources")
        sys.modules["pkg_resources"] = Exploding("pkg_resources")
        try:
            import tarvix
        except RuntimeError as exc:
            print("RuntimeError", exc)
        """)
    assert proc.stdout.strip() == "RuntimeError broken pkg_resources", proc.stderr


OWN_QUERY = """
    import sys, types, json, inspect
    sys.modules["pkg_resources"] = None
    from tarvix.core import implroster
    query = implroster.iter_entry_points
    out = {"signature": str(inspect.signature(query)), "name": query.__name__}

    class EP(object):
        def __init__(self, name, value, group="tarvix.plugins", module=None):
            self.name, self.value, self.group = name, value, group
            if module:
                self.module = module
        def load(self):
            return "loaded " + self.name

    def install(entry_points):
        fake = types.ModuleType("importlib.metadata")
        fake.entry_points = entry_points
        sys.modules["importlib.metadata"] = fake

    class Selectable(list):
        def select(self, **kwargs):
            out.setdefault("select", []).append(kwargs)
            return [ep for ep in self if ep.group == kwargs["group"]]

    def shown(group="tarvix.plugins"):
        return [[ep.name, ep.module_name, ep.load()] for ep in query(group)]

    install(lambda: Selectable([EP("a", "pkg.a:hook", module="pkg.a"), EP("b", "x:y", "other")]))
    out["selectable"] = shown()
    install(lambda: {"tarvix.plugins": (EP("c", "pkg.c:obj.attr [extra]"), EP("d", "pkg.d")),
                     "other": (EP("e", "e"),)})
    out["mapping"] = shown()
    out["missing_group"] = shown("nothing.here")
    install(lambda: [EP("f", "pkg.f:f"), EP("g", "g:g", "other")])
    out["plain"] = shown()
    out["keyword"] = [ep.name for ep in query(group="tarvix.plugins")]
    sys.modules["importlib.metadata"] = None
    sys.modules["importlib_metadata"] = None
    out["none"] = shown()
    print(json.dumps(out))
"""


def test_own_query_over_importlib_metadata(python):
    proc = python(OWN_QUERY)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == {
        "signature": "(group)",
        "name": "iter_entry_points",
        "select": [{"group": "tarvix.plugins"}],
        "selectable": [["a", "pkg.a", "loaded a"]],
        "mapping": [["c", "pkg.c", "loaded c"], ["d", "pkg.d", "loaded d"]],
        "missing_group": [],
        "plain": [["f", "pkg.f", "loaded f"]],
        "keyword": ["f"],
        "none": [],
    }
