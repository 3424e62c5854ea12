"""The registry's own steps may be run without a Python-level call while the
instance would find the class's own method; every way of replacing a step
must still be honoured, and native string tests must agree with str's own."""
import pytest

from tarvix.core.errors import ConnectionInfraError


class Marker(Exception):
    pass


def _raise_marker(*args, **kwargs):
    raise Marker(args, kwargs)


@pytest.mark.parametrize("step", ["validate_model", "validate_series", "validate_os",
                                  "validate_chassis_type"])
def test_step_replaced_on_class_after_import_is_used(implroster, step):
    roster = implroster.ImplRoster()
    roster.validate_arguments("quilm", "s3", "m7", "dual_rp")  # warm: the native path
    original = getattr(implroster.ImplRoster, step)
    setattr(implroster.ImplRoster, step, _raise_marker)
    try:
        with pytest.raises(Marker):
            roster.validate_arguments("quilm", "s3", "m7", "dual_rp")
    finally:
        setattr(implroster.ImplRoster, step, original)
    roster.validate_arguments("quilm", "s3", "m7", "dual_rp")  # restored


@pytest.mark.parametrize("step", ["validate_model", "validate_series", "validate_os",
                                  "validate_chassis_type"])
def test_step_set_on_instance_is_used_and_removal_restores(roster, step):
    calls = []
    setattr(roster, step, lambda **kw: calls.append(sorted(kw)))
    roster.validate_arguments("quilm", "s3", "m7", "dual_rp")
    assert len(calls) == 1
    delattr(roster, step)
    roster.validate_arguments("quilm", "s3", "m7", "dual_rp")
    assert len(calls) == 1


def _shadow_by_setattr(roster, step, fn):
    setattr(roster, step, fn)


def _shadow_by_dict_item(roster, step, fn):
    roster.__dict__[step] = fn


def _shadow_by_update(roster, step, fn):
    vars(roster).update({step: fn})


def _shadow_by_setdefault(roster, step, fn):
    vars(roster).setdefault(step, fn)


def _shadow_by_new_dict(roster, step, fn):
    roster.__dict__ = dict(roster.__dict__, **{step: fn})


def _shadow_by_object_setattr(roster, step, fn):
    object.__setattr__(roster, step, fn)


@pytest.mark.parametrize("shadow", [_shadow_by_setattr, _shadow_by_dict_item, _shadow_by_update,
                                    _shadow_by_setdefault, _shadow_by_new_dict,
                                    _shadow_by_object_setattr])
@pytest.mark.parametrize("step", ["validate_model", "validate_os", "validate_arguments"])
def test_step_shadowed_on_a_warm_instance_is_used(roster, shadow, step):
    # The native path has just been taken for this very instance; however
    # the instance's __dict__ then gains the step, the next call uses it.
    for _ in range(3):
        roster.validate_arguments("quilm", "s3", "m7", "dual_rp")
        roster.register_plugin(Marker, "quilm", "s3", "m7", "dual_rp")
    shadow(roster, step, _raise_marker)
    with pytest.raises(Marker):
        roster.register_plugin(Marker, "quilm", "s3", "m7", "dual_rp")


def test_validate_arguments_on_instance_is_what_lookup_and_registration_use(roster):
    seen = []
    roster.validate_arguments = lambda *a: seen.append(a)
    roster.register_plugin(Marker, "data-not-checked-by-override", None, None, "x")
    roster.get_plugin("data-not-checked-by-override", None, None, "x")
    assert seen == [("data-not-checked-by-override", None, None, "x")] * 2


def test_class_with_own_getattribute_takes_the_python_path(implroster):
    looked_up = []

    class Watched(implroster.ImplRoster):
        def __getattribute__(self, name):
            looked_up.append(name)
            return object.__getattribute__(self, name)

    watched = Watched()
    del looked_up[:]
    watched.validate_arguments("quilm", "s3", "m7", "dual_rp")
    assert looked_up == ["validate_arguments", "validate_model", "validate_series",
                         "validate_os", "supported_os", "validate_chassis_type",
                         "chassis_type_list"]


class LowerAlways(str):
    def islower(self):
        return True


class DigitAlways(str):
    def islower(self):
        return False

    def isdigit(self):
        return True


@pytest.mark.parametrize("value", [LowerAlways("QB4"), DigitAlways("QB4")])
def test_str_subclass_answers_its_own_case_tests(roster, value):
    roster.validate_series("quilm", value)
    roster.validate_model("quilm", "qb4", value)


@pytest.mark.parametrize("value", ["qb4", "QB4", "q-b", "12", "", "1-2", "\u00e9t\u00e9",
                                   "\u00c9t\u00e9", "\u01c5x", "\u0661\u0662", "\u00b2",
                                   "\u2160", "ß", "a\u0300", "x\ud800"])
def test_native_string_tests_agree_with_str(roster, value):
    expected_ok = not value or value.islower() or value.isdigit()
    try:
        roster.validate_series("quilm", value)
        ok = True
    except ConnectionInfraError:
        ok = False
    assert ok == expected_ok


def test_print_tree_replaced_on_class_after_import_is_used_by_repr_and_recursion(implroster):
    roster = implroster.ImplRoster()
    roster._plugins.update({"a": {"b": "c"}})
    before = repr(roster)
    original = implroster.ImplRoster.print_tree
    labels = []

    def traced(self, data, output="plugin"):
        labels.append(output)
        return original(self, data=data, output=output)

    implroster.ImplRoster.print_tree = traced
    try:
        assert repr(roster) == before
    finally:
        implroster.ImplRoster.print_tree = original
    assert labels[1:] == ["__ a", "__ b"]


def test_print_tree_override_that_changes_mid_render_is_seen(roster):
    class Switch(object):
        def __str__(self):
            # rebinding the step on the instance while rendering
            roster.print_tree = lambda data, output: "<%s>" % output
            return "leaf"

    text = roster.print_tree({"a": Switch(), "b": {"c": 1}})
    assert text == "plugin\n  |__ a = leaf\n  |<__ b>"
