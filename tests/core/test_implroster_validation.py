"""validate_model, validate_series, validate_os, validate_chassis_type and
validate_arguments."""
import pytest

from tarvix.core.errors import ConnectionInfraError

SUPPORTED_OS = [
    "generic", "vardo", "quilm", "pendra", "tovak", "selune", "gavri", "brisel", "olmet",
    "dunek", "farrow", "hestil", "corvan", "pashk", "zendri", "lurem", "wixel", "tamsk",
]
OS_HEAD = "OS should be one of these " + str(SUPPORTED_OS) + " , but got "
CT_HEAD = "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got "


class Conn(object):
    pass


REJECTED = [
    # model first, even when the os is missing too
    (None, None, "m1", "single_rp", "OS and Series are required for Model: m1"),
    ("quilm", None, "m1", "single_rp", "OS and Series are required for Model: m1"),
    ("", "qb4", "m1", "single_rp", "OS and Series are required for Model: m1"),
    ("quilm", "", 42, "single_rp", "OS and Series are required for Model: 42"),
    ("quilm", "qb4", 42, "single_rp", "Model should be of type str"),
    ("quilm", "qb4", "M1", "single_rp", " Model (M1) has to be in lowecase"),
    ("quilm", "qb4", "1-2", "single_rp", " Model (1-2) has to be in lowecase"),
    ("quilm", "qb4", "M1", "bogus", " Model (M1) has to be in lowecase"),
    # then the series
    (None, "qb4", None, "single_rp", "OS information not provided for Series: qb4"),
    (None, 7, None, "single_rp", "OS information not provided for Series: 7"),
    ("quilm", 7, None, "single_rp", "Series should be of type str"),
    ("quilm", "QB4", None, "single_rp", "Series (QB4) has to be in lowercase"),
    ("quilm", "12-4", None, "single_rp", "Series (12-4) has to be in lowercase"),
    ("quilm", "QB4", "m1", "bogus", "Series (QB4) has to be in lowercase"),
    # then the os
    ("", "qb4", None, "single_rp", OS_HEAD),
    (None, None, None, "single_rp", OS_HEAD + "None"),
    (0, None, None, "bogus", OS_HEAD + "0"),
    ([], None, None, "single_rp", OS_HEAD + "[]"),
    # then the chassis type
    ("generic", None, None, None, CT_HEAD + "None"),
    ("generic", None, None, "", CT_HEAD),
    ("generic", None, None, "SINGLE_RP", CT_HEAD + "SINGLE_RP"),
    ("quilm", "qb4", "m1", "octo", CT_HEAD + "octo"),
]


@pytest.mark.parametrize("os, series, model, chassis_type, message", REJECTED)
@pytest.mark.parametrize("entry", ["validate_arguments", "register_plugin", "get_plugin"])
def test_rejections(roster, entry, os, series, model, chassis_type, message):
    if entry == "register_plugin":
        call = lambda: roster.register_plugin(Conn, os, series, model, chassis_type)
    else:
        call = lambda: getattr(roster, entry)(os, series, model, chassis_type)
    with pytest.raises(ConnectionInfraError) as info:
        call()
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert roster.plugins == {}


@pytest.mark.parametrize("os, series, model, chassis_type", [
    ("generic", None, None, "single_rp"),
    ("quilm", "qb4", None, "dual_rp"),
    ("quilm", "123", "456", "stack"),
    ("quilm", "qb-4", "m.1", "single_rp"),
    ("quilm", 0, None, "single_rp"),
    ("quilm", "qb4", "", "single_rp"),
    ("quilm", None, 0, "single_rp"),
    ("gavri", None, None, None),
    ("gavri", None, None, "octo"),
    ("gavri", None, None, ["unhashable"]),
    ("xx_mocked_os", None, None, "single_rp"),
    ("mocked", None, None, "single_rp"),
])
def test_accepted_silently(roster, debug_log, os, series, model, chassis_type):
    assert roster.validate_arguments(os, series, model, chassis_type) is None
    assert debug_log.messages == []


@pytest.mark.parametrize("os", ["GENERIC", "Quilm", "somewhere"])
def test_unlisted_os_is_accepted_with_a_debug_line(roster, debug_log, os):
    assert roster.validate_os(os=os) is None
    assert debug_log.messages == [os + " is not part of the built-in list of supported OSes."]


def test_unlisted_os_logs_on_every_lookup(roster, debug_log):
    for _ in range(2):
        with pytest.raises(ConnectionInfraError):
            roster.get_plugin(os="Generic")
    assert debug_log.messages == ["Generic is not part of the built-in list of supported OSes."] * 2


def test_true_os_that_is_no_container_is_a_type_error(roster, debug_log):
    with pytest.raises(TypeError):
        roster.validate_os(5)
    assert debug_log.messages == []


def test_log_and_error_class_are_read_at_the_time_of_use(roster, implroster, monkeypatch):
    class OtherError(Exception):
        pass

    monkeypatch.setattr(implroster, "ConnectionInfraError", OtherError)
    with pytest.raises(OtherError) as info:
        roster.validate_chassis_type("bogus")
    assert info.value.args == (CT_HEAD + "bogus",)
    monkeypatch.delattr(implroster, "log")
    with pytest.raises(NameError):
        roster.validate_os("elsewhere")


def test_lists_are_read_through_the_instance(roster):
    roster.supported_os = ["only"]
    roster.chassis_type_list = ("solo",)
    with pytest.raises(ConnectionInfraError) as info:
        roster.validate_os("")
    assert str(info.value) == "OS should be one of these ['only'] , but got "
    with pytest.raises(ConnectionInfraError) as info:
        roster.validate_chassis_type("single_rp")
    assert str(info.value) == "chassis Type should be one of these ('solo',), but got single_rp"
    assert roster.validate_chassis_type("solo") is None


def test_string_tests_use_the_objects_own_methods(roster):
    class Lenient(str):
        def islower(self):
            return True

    class Digits(str):
        def islower(self):
            return False

        def isdigit(self):
            return True

    assert roster.validate_series("quilm", Lenient("QB4")) is None
    assert roster.validate_model("quilm", "qb4", Digits("ABC")) is None


def test_mocked_substring_uses_containment(roster, debug_log):
    class Marked(str):
        def __contains__(self, item):
            return True

    roster.validate_os(Marked("Nowhere"))
    assert debug_log.messages == []


def test_validation_order_and_keywords(implroster):
    calls = []

    class Roster(implroster.ImplRoster):
        def validate_model(self, **kwargs):
            calls.append(("model", list(kwargs.items())))

        def validate_series(self, **kwargs):
            calls.append(("series", list(kwargs.items())))

        def validate_os(self, **kwargs):
            calls.append(("os", list(kwargs.items())))

        def validate_chassis_type(self, **kwargs):
            calls.append(("chassis", list(kwargs.items())))

    Roster().validate_arguments("o", "s", "m", "c")
    assert calls == [
        ("model", [("os", "o"), ("series", "s"), ("model", "m")]),
        ("series", [("series", "s"), ("os", "o")]),
        ("os", [("os", "o")]),
        ("chassis", [("chassis_type", "c")]),
    ]
    del calls[:]
    Roster().validate_arguments("gavri", "s", "m", "c")
    assert [name for name, _ in calls] == ["model", "series", "os"]


def test_first_failure_ends_validation(implroster):
    calls = []

    class Roster(implroster.ImplRoster):
        def validate_series(self, os, series):
            calls.append("series")
            raise RuntimeError("stop")

        def validate_os(self, os):
            calls.append("os")

    with pytest.raises(RuntimeError):
        Roster().validate_arguments("generic", "qb4", None, "single_rp")
    assert calls == ["series"]


def test_gavri_is_an_equality_test(roster):
    class Never(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return False

    class Always(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return True

    with pytest.raises(ConnectionInfraError):
        roster.validate_arguments(Never("gavri"), None, None, None)
    assert roster.validate_arguments(Always("generic"), None, None, None) is None


def test_per_instance_override(roster):
    seen = []
    roster.validate_chassis_type = lambda chassis_type: seen.append(chassis_type)
    roster.validate_arguments("generic", None, None, "anything")
    assert seen == ["anything"]


@pytest.mark.parametrize("method, args", [
    ("validate_model", ("quilm", "qb4")),
    ("validate_series", ("quilm",)),
    ("validate_os", ()),
    ("validate_chassis_type", ()),
    ("validate_arguments", ("generic", None, None)),
])
def test_every_argument_is_required(roster, method, args):
    with pytest.raises(TypeError):
        getattr(roster, method)(*args)


def test_keywords_are_accepted(roster):
    assert roster.validate_model(model="m1", series="qb4", os="quilm") is None
    assert roster.validate_arguments(chassis_type="dual_rp", model=None, series=None,
                                     os="generic") is None
