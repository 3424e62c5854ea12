"""The registry module, the ImplRoster class and register_plugin."""
import copy
import inspect
import json
import os

import pytest

import tarvix
import tarvix.core.errors as errors
from tarvix.core.errors import ConnectionInfraError

SUPPORTED_OS = [
    "generic", "vardo", "quilm", "pendra", "tovak", "selune", "gavri", "brisel", "olmet",
    "dunek", "farrow", "hestil", "corvan", "pashk", "zendri", "lurem", "wixel", "tamsk",
]
HERE = os.path.abspath(__file__)


class ConnA(object):
    pass


class ConnB(object):
    pass


def leaf(cls):
    return {"cls": cls, "path": inspect.getfile(cls)}


# ---------------------------------------------------------------- module


def test_module_level_names_bound_in_order(implroster):
    wanted = ["os", "pkgutil", "importlib", "log", "getfile", "ConnectionInfraError",
              "iter_entry_points", "ENTRYPOINT_GROUP", "ImplRoster"]
    assert [name for name in vars(implroster) if name in wanted] == wanted


def test_module_level_values(implroster):
    import importlib
    import pkgutil
    assert implroster.os is os
    assert implroster.pkgutil is pkgutil
    assert implroster.importlib is importlib
    assert implroster.log is tarvix.log
    assert implroster.getfile is inspect.getfile
    assert implroster.ConnectionInfraError is errors.ConnectionInfraError
    assert implroster.ENTRYPOINT_GROUP == "tarvix.plugins"
    try:
        import pkg_resources
    except ImportError:
        assert implroster.iter_entry_points.__module__ == "tarvix.core.implroster"
        assert implroster.iter_entry_points.__name__ == "iter_entry_points"
    else:
        assert implroster.iter_entry_points is pkg_resources.iter_entry_points


def test_module_docstring(implroster):
    doc = implroster.__doc__
    assert "implroster" in doc
    assert "Methods for identifying and loading plugin implementations" in doc
    assert "Methods for validating and accessing platform implementation" in doc


def test_importing_creates_no_instance(implroster):
    assert not any(isinstance(v, implroster.ImplRoster) for v in vars(implroster).values())


def test_failing_module_level_import_fails_the_import(python):
    proc = python("""
        import sys
        sys.modules["tarvix.core.errors"] = None
        try:
            import tarvix
        except ImportError as exc:
            print("ImportError", "tarvix.core.errors" in str(exc))
        """)
    assert proc.stdout.split() == ["ImportError", "True"], proc.stderr


def test_registry_needs_log_from_the_package(python):
    # the package binds log before it imports the registry; without it the
    # registry's `from tarvix import log` fails the import
    proc = python("""
        import sys, types
        pkg = types.ModuleType("tarvix")
        import importlib.util
        found = importlib.util.find_spec("tarvix")
        pkg.__path__ = list(found.submodule_search_locations)
        sys.modules["tarvix"] = pkg
        try:
            import tarvix.core.implroster
        except ImportError as exc:
            print("ImportError", "log" in str(exc))
        """)
    assert proc.stdout.split() == ["ImportError", "True"], proc.stderr


# ---------------------------------------------------------------- class


def test_class_is_an_ordinary_python_class(implroster):
    cls = implroster.ImplRoster
    assert type(cls) is type
    assert cls.__mro__ == (cls, object)
    assert cls.__module__ == "tarvix.core.implroster"
    assert cls.__qualname__ == cls.__name__ == "ImplRoster"
    assert inspect.getfile(cls) == implroster.__file__
    assert inspect.getdoc(cls).splitlines() == [
        "Loads all plugin implementation,", "provides API's for accessing plugins"]
    instance = cls()
    instance.extra = 1
    assert vars(instance)["extra"] == 1


def test_class_members_in_table_order(implroster):
    members = [name for name in vars(implroster.ImplRoster)
               if name not in ("__module__", "__doc__", "__dict__", "__weakref__", "__tarvix_module__")]
    assert members == [
        "__init__", "plugins", "validate_model", "validate_series", "validate_os",
        "validate_chassis_type", "validate_arguments", "get_plugin", "unregister_plugin",
        "register_plugin", "discover_builtin_plugins", "discover_external_plugins",
        "print_tree", "__repr__"]
    kinds = vars(implroster.ImplRoster)
    assert isinstance(kinds["plugins"], property)
    assert isinstance(kinds["discover_builtin_plugins"], staticmethod)
    assert isinstance(kinds["discover_external_plugins"], staticmethod)


@pytest.mark.parametrize("name, signature", [
    ("__init__", "(self, /)"),
    ("validate_model", "(self, /, os, series, model)"),
    ("validate_series", "(self, /, os, series)"),
    ("validate_os", "(self, /, os)"),
    ("validate_chassis_type", "(self, /, chassis_type)"),
    ("validate_arguments", "(self, /, os, series, model, chassis_type)"),
    ("get_plugin", "(self, /, os=None, series=None, model=None, chassis_type='single_rp')"),
    ("unregister_plugin", "(self, /, os=None, series=None, model=None, chassis_type=None)"),
    ("register_plugin",
     "(self, /, cls, os=None, series=None, model=None, chassis_type='single_rp')"),
    ("discover_builtin_plugins", "()"),
    ("discover_external_plugins", "()"),
    ("print_tree", "(self, /, data, output='plugin')"),
    ("__repr__", "(self, /)"),
])
def test_signatures(implroster, name, signature):
    assert str(inspect.signature(getattr(implroster.ImplRoster, name))) == signature


@pytest.mark.parametrize("name, doc", [
    ("__init__", "Initialize"),
    ("validate_model", "Validates Model"),
    ("validate_series", "Validates series"),
    ("validate_os", "Validates OS"),
    ("validate_chassis_type", "Validate chassis"),
    ("validate_arguments", "Validates the input arguments provided"),
    ("discover_builtin_plugins", "loads all plugins"),
    ("discover_external_plugins", "discover external plugins defined that users pip installed."),
    ("unregister_plugin",
     "This method unregister a particular implementations from\nthe internal database"),
])
def test_docstrings(implroster, name, doc):
    assert inspect.getdoc(getattr(implroster.ImplRoster, name)) == doc


def test_framed_docstrings_keep_their_frame(implroster):
    assert implroster.ImplRoster.discover_external_plugins.__doc__.startswith("\n")
    assert implroster.ImplRoster.unregister_plugin.__doc__.startswith("\n        This")
    doc = inspect.getdoc(implroster.ImplRoster.get_plugin)
    assert "connection class" in doc and "input details provided" in doc
    assert "tree" in implroster.ImplRoster.print_tree.__doc__
    assert "  |__ " in implroster.ImplRoster.print_tree.__doc__


def test_init_sets_three_fresh_attributes_in_order(implroster):
    first, second = implroster.ImplRoster(), implroster.ImplRoster()
    assert list(vars(first)) == ["_plugins", "chassis_type_list", "supported_os"]
    assert first._plugins == {} and first.plugins == {}
    assert first.chassis_type_list == ["single_rp", "dual_rp", "stack"]
    assert first.supported_os == SUPPORTED_OS
    for name in ("_plugins", "chassis_type_list", "supported_os"):
        assert getattr(first, name) is not getattr(second, name)
    assert "mocked" not in first.supported_os


def test_init_takes_no_argument(implroster):
    with pytest.raises(TypeError):
        implroster.ImplRoster(1)
    with pytest.raises(TypeError):
        implroster.ImplRoster(os="generic")


def test_method_on_a_foreign_object_is_a_type_error(implroster):
    with pytest.raises(TypeError):
        implroster.ImplRoster.get_plugin(5, "generic")


# ---------------------------------------------------------------- plugins property


def test_plugins_is_the_live_tree(roster):
    tree = roster.plugins
    assert tree is roster._plugins
    tree["generic"] = {"data": {"single_rp": {"cls": ConnA, "path": "x"}}}
    assert roster.get_plugin(os="generic") is ConnA


def test_plugins_cannot_be_assigned(roster):
    tree = roster.plugins
    with pytest.raises(Exception) as info:
        roster.plugins = {}
    assert type(info.value) is Exception
    assert info.value.args == (" Protected Member, cannot modify Plugins",)
    assert roster.plugins is tree


def test_plugins_has_no_deleter_and_documents_itself(roster, implroster):
    with pytest.raises(AttributeError):
        del roster.plugins
    prop = vars(implroster.ImplRoster)["plugins"]
    assert prop.__doc__ == "Plugin list getter"
    assert prop.fget.__doc__ == "Plugin list getter"
    assert prop.fset.__doc__ == "Plugin list getter"
    assert prop.fdel is None


# ---------------------------------------------------------------- register_plugin


def test_register_os_alone(roster):
    assert roster.register_plugin(ConnA, os="quilm") is None
    assert roster.plugins == {"quilm": {"data": {"single_rp": leaf(ConnA)}}}
    record = roster.plugins["quilm"]["data"]["single_rp"]
    assert list(record) == ["cls", "path"]
    assert record["cls"] is ConnA and record["path"] == HERE


def test_register_series_beside_os_data(roster):
    roster.register_plugin(ConnA, os="quilm")
    os_data = roster.plugins["quilm"]["data"]
    roster.register_plugin(ConnB, os="quilm", series="qb4", chassis_type="dual_rp")
    assert roster.plugins["quilm"]["data"] is os_data
    assert roster.plugins == {"quilm": {
        "data": {"single_rp": leaf(ConnA)},
        "qb4": {"data": {"dual_rp": leaf(ConnB)}},
    }}


def test_register_model_level_and_positional_arguments(roster):
    roster.register_plugin(ConnA, "pendra", "p1", "m1", "stack")
    assert roster.plugins == {"pendra": {"p1": {"m1": {"data": {"stack": leaf(ConnA)}}}}}


def test_second_registration_replaces_only_its_record(roster):
    roster.register_plugin(ConnA, os="generic", chassis_type="dual_rp")
    roster.register_plugin(ConnA, os="generic")
    chassis_map = roster.plugins["generic"]["data"]
    roster.register_plugin(ConnB, os="generic")
    assert roster.plugins["generic"]["data"] is chassis_map
    assert chassis_map == {"dual_rp": leaf(ConnA), "single_rp": leaf(ConnB)}


def test_existing_nodes_are_reused(roster):
    roster.register_plugin(ConnA, os="pendra", series="p1", model="m1")
    series_node = roster.plugins["pendra"]["p1"]
    roster.register_plugin(ConnB, os="pendra", series="p1", chassis_type="dual_rp")
    assert roster.plugins["pendra"]["p1"] is series_node
    assert series_node == {"m1": {"data": {"single_rp": leaf(ConnA)}},
                           "data": {"dual_rp": leaf(ConnB)}}


def test_empty_series_is_a_key(roster):
    roster.register_plugin(ConnA, os="quilm", series="")
    assert roster.plugins == {"quilm": {"": {"data": {"single_rp": leaf(ConnA)}}}}


def test_model_without_series_is_rejected_before_the_tree_changes(roster):
    with pytest.raises(ConnectionInfraError) as info:
        roster.register_plugin(ConnA, os="quilm", model="m1")
    assert str(info.value) == "OS and Series are required for Model: m1"
    assert roster.plugins == {}


def test_gavri_takes_any_chassis_type(roster):
    roster.register_plugin(ConnA, os="gavri", chassis_type="octo")
    assert roster.plugins == {"gavri": {"data": {"octo": leaf(ConnA)}}}


def test_appended_chassis_type_passes_on_that_instance_only(roster, implroster):
    roster.chassis_type_list.append("quad")
    roster.register_plugin(ConnA, os="generic", chassis_type="quad")
    assert roster.get_plugin(os="generic", chassis_type="quad") is ConnA
    with pytest.raises(ConnectionInfraError):
        implroster.ImplRoster().register_plugin(ConnA, os="generic", chassis_type="quad")


def test_getfile_is_read_at_the_time_of_use(roster, implroster, monkeypatch):
    seen = []

    def fake_getfile(obj):
        seen.append(obj)
        return "/opt/plugins/fake.py"

    monkeypatch.setattr(implroster, "getfile", fake_getfile)
    roster.register_plugin(int, os="generic")
    assert seen == [int]
    assert roster.plugins["generic"]["data"]["single_rp"] == {"cls": int,
                                                              "path": "/opt/plugins/fake.py"}


# all or nothing: a failing registration leaves the tree as it was


@pytest.mark.parametrize("kwargs", [
    dict(os="quilm"),
    dict(os="quilm", series="qb4"),
    dict(os="quilm", series="qb9", model="m1"),
    dict(os="pendra", series="p1", model="m1"),
])
def test_builtin_class_leaves_the_tree_unchanged(roster, kwargs):
    roster.register_plugin(ConnA, os="quilm", series="qb4", chassis_type="dual_rp")
    roster.register_plugin(ConnA, os="pendra", series="p1", model="m1")
    before = copy.deepcopy(roster.plugins)
    with pytest.raises(TypeError):
        roster.register_plugin(int, **kwargs)
    assert roster.plugins == before


@pytest.mark.parametrize("kwargs", [
    dict(os="gavri"),
    dict(os="gavri", series="g1"),
    dict(os="gavri", series="g2", model="m1"),
])
def test_unhashable_chassis_type_leaves_the_tree_unchanged(roster, kwargs):
    roster.register_plugin(ConnA, os="gavri", series="g1")
    before = copy.deepcopy(roster.plugins)
    with pytest.raises(TypeError):
        roster.register_plugin(ConnB, chassis_type=["single_rp"], **kwargs)
    assert roster.plugins == before
    # the node that did not exist before is still absent for lookups
    with pytest.raises(ConnectionInfraError):
        roster.get_plugin(os="gavri", series="g2", chassis_type="single_rp")


# "data" is reserved in the tree


@pytest.mark.parametrize("kwargs, argument", [
    (dict(os="data"), "os"),
    (dict(os="quilm", series="data"), "series"),
    (dict(os="quilm", series="qb4", model="data"), "model"),
])
def test_data_is_reserved(roster, kwargs, argument):
    roster.register_plugin(ConnA, os="quilm", series="qb4")
    before = copy.deepcopy(roster.plugins)
    with pytest.raises(ConnectionInfraError) as info:
        roster.register_plugin(ConnB, **kwargs)
    message = str(info.value)
    assert "'data'" in message and message.endswith(argument)
    assert roster.plugins == before


def test_data_check_comes_after_validation(roster):
    with pytest.raises(ConnectionInfraError) as info:
        roster.register_plugin(ConnA, os="data", model="m1")
    assert str(info.value) == "OS and Series are required for Model: m1"


def test_lookup_and_removal_do_not_reserve_data(roster):
    with pytest.raises(ConnectionInfraError) as info:
        roster.get_plugin(os="data")
    assert str(info.value) == "Plugin data not found for (data), type: single_rp "
    with pytest.raises(ConnectionInfraError) as info:
        roster.unregister_plugin(os="data")
    assert str(info.value) == "Plugin data not found"


# overrides


def test_registration_validates_through_the_instance(implroster):
    calls = []

    class Roster(implroster.ImplRoster):
        def validate_arguments(self, *args, **kwargs):
            calls.append((args, kwargs))
            raise ValueError("refused")

    roster = Roster()
    with pytest.raises(ValueError):
        roster.register_plugin(ConnA, os="quilm", series="qb4")
    assert calls == [(("quilm", "qb4", None, "single_rp"), {})]
    assert roster.plugins == {}


def test_per_instance_tree_and_validation(roster):
    calls = []
    roster.validate_arguments = lambda *args: calls.append(args)
    other_tree = {}
    roster._plugins = other_tree
    roster.register_plugin(ConnA, os="NOT valid at all", series="QB4")
    assert calls == [("NOT valid at all", "QB4", None, "single_rp")]
    assert roster.plugins is other_tree
    assert other_tree == {"NOT valid at all": {"QB4": {"data": {"single_rp": leaf(ConnA)}}}}


def test_register_requires_cls(roster):
    with pytest.raises(TypeError):
        roster.register_plugin(os="quilm")
    with pytest.raises(TypeError):
        roster.register_plugin(ConnA, "quilm", None, None, "single_rp", "extra")
    with pytest.raises(TypeError):
        roster.register_plugin(ConnA, platform="quilm")


# ---------------------------------------------------------------- demonstration


def test_demonstration_runs_only_as_main(python):
    proc = python("""
        import importlib.util, json, sys
        import tarvix
        from tarvix.core import implroster as home
        before = dict(tarvix.__impl_roster__.plugins)
        origin = importlib.util.find_spec("tarvix.core.implroster").origin
        main_entry = importlib.util.spec_from_file_location("__main__", origin)
        module = importlib.util.module_from_spec(main_entry)
        sys.modules["__main__"] = module
        main_entry.loader.exec_module(module)
        roster = tarvix.__impl_roster__
        record = roster.plugins["quilm"]["qb4"]["data"]["single_rp"]
        class Log(object):
            lines = []
            def debug(self, message):
                self.lines.append(message)
        home.log = Log()
        roster.validate_os("QUILM")
        print(json.dumps({
            "before": list(before),
            "same_roster": module.__impl_roster__ is roster,
            "sample": record["cls"] is module.Sample,
            "sample_module": module.Sample.__module__,
            "sample_doc": "Sample implementation" in module.Sample.__doc__,
            "sample_bases": [b.__name__ for b in module.Sample.__mro__],
            "path": record["path"] == origin,
            "lookup": roster.get_plugin(os="quilm", series="qb4") is module.Sample,
            "own_class": module.ImplRoster is not home.ImplRoster,
            "own_class_module": module.ImplRoster.__module__,
            "home_log_used": Log.lines,
        }))
        """)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 1, "the demonstration printed something"
    result = json.loads(lines[0])
    assert result == {
        "before": [], "same_roster": True, "sample": True, "sample_module": "__main__",
        "sample_doc": True, "sample_bases": ["Sample", "object"], "path": True,
        "lookup": True, "own_class": True, "own_class_module": "__main__",
        "home_log_used": ["QUILM is not part of the built-in list of supported OSes."],
    }
