"""Checks of the network's state: expectations over the getters' data
(``tarvix.state``), as a YAML file or the dict it holds::

    bgp_neighbors: {default: {10.9.0.2: {state: Established, prefixes_received: ">= 3"}}}
    interfaces: {veth0: {up: true}}

The keys follow the getters' data: a getter's name, then the names of its
entries (VRF and peer, interface), then the keys of a record.  A value
expected is the value itself (numbers compared as numbers), or a text:
``"< N"``, ``"<= N"``, ``">= N"``, ``"> N"``, ``"== X"``, ``"!= X"``; a range
``"N..M"`` (both ends in it); ``"~ REGEX"`` (searched in the value);
``present`` or ``absent`` (of an entry or a value).  A list expects each of
its items in the list the data holds (an LLDP neighbour expected: a record
that some neighbour matches).  ``_mode: strict`` in a section (or
``strict=True`` for all) makes an entry the section does not name fail.

``evaluate(state, checks)`` returns a ``Report``: a list of checks, each
{"path", "expected", "actual", "passed"}; ``load(path)`` reads and checks
a file, raising ChecksError (file, line and key in one line) for what
cannot be checked.
"""
import math
import numbers
import re

from tarvix.core.errors import ChecksError
from tarvix.state import schema

MODE = "_mode"
MODES = ("strict", "loose")
_OPERATOR = re.compile(r"^\s*(<=|>=|==|!=|<|>)\s*(.*?)\s*$")
_RANGE = re.compile(r"^\s*(-?\d+(?:\.\d+)?)\s*\.\.\s*(-?\d+(?:\.\d+)?)\s*$")
_PLAIN_KEY = re.compile(r"^[A-Za-z_][\w-]*$")


def path_text(parts):
    """A path as the report writes it: ``bgp_neighbors.default[10.9.0.2].state``."""
    text = ""
    for part in parts:
        part = str(part)
        text += ("." + part if text else part) if _PLAIN_KEY.match(part) else "[%s]" % part
    return text


class Report(list):
    """The checks made, each {"path", "expected", "actual", "passed"}."""

    @property
    def passed(self):
        return all(check["passed"] for check in self)

    @property
    def failures(self):
        return [check for check in self if not check["passed"]]


class Lined(dict):
    """A mapping read from YAML, and the line of each key."""

    lines = None


class _Comparison(object):
    """A value expected, parsed once."""

    def __init__(self, text, where):
        self.text = text
        self.kind, self.operand = "equal", text
        if not isinstance(text, str):
            return
        if text in ("present", "absent"):
            self.kind = text
        elif text.startswith("~"):
            self.kind = "regex"
            try:
                self.operand = re.compile(text[1:].strip())
            except re.error as error:
                raise where.error("the regular expression %r does not parse: %s" % (text[1:].strip(), error))
        elif _RANGE.match(text):
            low, high = (float(bound) for bound in _RANGE.match(text).groups())
            if low > high:
                raise where.error("the range %r runs backwards" % text)
            self.kind, self.operand = "range", (low, high)
        elif _OPERATOR.match(text):
            operator, operand = _OPERATOR.match(text).groups()
            if operator in ("<", "<=", ">", ">="):
                operand = _number_in(operand)
                if operand is None:
                    raise where.error("%r: %s compares with a number" % (text, operator))
            elif not operand:
                raise where.error("%r: %s compares with a value" % (text, operator))
            self.kind, self.operand = operator, operand

    def holds(self, value):
        kind, operand = self.kind, self.operand
        if kind == "present":
            return value is not None and value != []
        if kind == "absent":
            return value is None or value == []
        if kind == "regex":
            return value is not None and bool(operand.search(str(value)))
        if kind in ("equal", "==", "!="):
            return _equal(operand, value) != (kind == "!=")
        number = _number_in(value)
        if number is None:
            return False
        if kind == "range":
            return operand[0] <= number <= operand[1]
        return {"<": number < operand, "<=": number <= operand, ">": number > operand, ">=": number >= operand}[kind]


def _number_in(value):
    if isinstance(value, bool) or value is None:
        return None
    if isinstance(value, numbers.Real):
        return float(value)
    try:
        number = float(str(value).strip())
    except ValueError:
        return None
    return None if math.isnan(number) else number


def _equal(expected, value):
    if isinstance(expected, bool) or isinstance(value, bool):
        return expected is value or (isinstance(expected, str) and str(value).lower() == expected.lower())
    if _number_in(expected) is not None and _number_in(value) is not None and not (
            isinstance(expected, str) and isinstance(value, str)):
        return _number_in(expected) == _number_in(value)
    if isinstance(expected, str) and value is not None and not isinstance(value, str):
        return str(value) == expected
    return expected == value


class _Where(object):
    """Where in the checks a key is: its path, and the file and line."""

    def __init__(self, parts, file=None, line=None):
        self.parts, self.file, self.line = parts, file, line

    def below(self, key, mapping):
        lines = getattr(mapping, "lines", None) or {}
        return _Where(self.parts + [key], self.file, lines.get(key, self.line))

    def error(self, why):
        place = "%s:%s: " % (self.file, self.line) if self.file and self.line else "%s: " % self.file if self.file \
            else ""
        failure = ChecksError("%s%s: %s" % (place, path_text(self.parts) or "(the checks)", why))
        failure.file, failure.line, failure.path = self.file, self.line, path_text(self.parts)
        return failure


# -- what the checks hold, checked before any device is asked -------------

def _mode(section, where):
    mode = section.get(MODE)
    if mode is not None and mode not in MODES:
        raise where.below(MODE, section).error("_mode is %s, not %r" % (" or ".join(MODES), mode))
    return mode


def _compile_value(expected, where):
    if isinstance(expected, dict):
        raise where.error("a value is expected here, not a mapping")
    if isinstance(expected, list):
        return [_compile_value(item, where) for item in expected]
    return _Comparison(expected, where)


def _compile_record(getter, expected, where):
    if isinstance(expected, str) and expected in ("present", "absent"):
        return _Comparison(expected, where)
    if not isinstance(expected, dict):
        raise where.error("a mapping of %s is expected here, or present/absent" % ", ".join(schema.FIELDS[getter]))
    compiled = {}
    for key, value in expected.items():
        here = where.below(key, expected)
        if key == MODE:
            raise here.error("_mode goes in a section of entries, not in a record")
        if key not in schema.FIELDS[getter]:
            raise here.error("unknown key %s (the keys: %s)" % (key, ", ".join(schema.FIELDS[getter])))
        compiled[key] = _compile_value(value, here)
    return compiled


def _compile_entries(getter, expected, where, level):
    levels = schema.LEVELS[getter]
    if level == len(levels):
        if getter in schema.LISTED and not (isinstance(expected, str) and expected in ("present", "absent")):
            items = expected if isinstance(expected, list) else [expected]
            return [_compile_record(getter, item, where) for item in items]
        return _compile_record(getter, expected, where)
    if isinstance(expected, str) and expected in ("present", "absent") and level > 0:
        return _Comparison(expected, where)
    if not isinstance(expected, dict):
        raise where.error("a mapping of %s names is expected here" % levels[level])
    _mode(expected, where)
    return dict((str(name), value if name == MODE else
                 _compile_entries(getter, value, where.below(name, expected), level + 1))
                for name, value in expected.items())


def compile_checks(checks, file=None):
    """The checks parsed; ChecksError for what cannot be checked."""
    where = _Where([], file, getattr(checks, "lines", None) and 1)
    if not isinstance(checks, dict):
        raise where.error("the checks are a mapping of getters (%s)" % ", ".join(schema.GETTERS))
    compiled = {}
    for getter, expected in checks.items():
        here = where.below(getter, checks)
        if getter not in schema.FIELDS:
            raise here.error("unknown getter %s (there are: %s)" % (getter, ", ".join(schema.GETTERS)))
        compiled[getter] = _compile_entries(getter, expected, here, 0)
    return compiled


def getters_of(checks):
    """The getters the checks read, in state() order."""
    return [name for name in schema.GETTERS if name in checks]


def load(path):
    """The checks of a YAML file, checked; ChecksError names the file, the
    line and the key of what cannot be checked."""
    try:
        import yaml
    except ImportError as error:
        raise ImportError("reading a checks file needs PyYAML: pip install pyyaml (%s)" % error)
    try:
        with open(path, "rb") as source:
            text = source.read().decode("utf-8")
    except (OSError, UnicodeDecodeError) as error:
        raise _Where([], path).error("cannot be read: %s" % (getattr(error, "strerror", None) or error))
    loader = _loader()(text)
    loader.name = path
    try:
        checks = loader.get_single_data()
    except ChecksError:
        raise
    except yaml.YAMLError as error:
        mark = getattr(error, "problem_mark", None)
        where = _Where([], path, mark.line + 1 if mark is not None else None)
        raise where.error("not YAML: %s" % " ".join(str(getattr(error, "problem", None) or error).split()))
    finally:
        loader.dispose()
    if checks is None:
        raise _Where([], path).error("no checks in the file")
    compile_checks(checks, path)
    return checks


def _loader():
    import yaml

    class Loader(yaml.SafeLoader):
        """Keys as written (10.9.0.2, 1.10, yes: names), and their lines."""

    def mapping(loader, node):
        loader.flatten_mapping(node)
        out = Lined()
        out.lines = {}
        for key_node, value_node in node.value:
            key = key_node.value if isinstance(key_node, yaml.ScalarNode) else loader.construct_object(key_node)
            if key in out:
                raise _Where([key], loader.name, key_node.start_mark.line + 1).error("given twice")
            out[key] = loader.construct_object(value_node, deep=True)
            out.lines[key] = key_node.start_mark.line + 1
        return out

    Loader.add_constructor(yaml.resolver.BaseResolver.DEFAULT_MAPPING_TAG, mapping)
    return Loader


# -- the checks made on a state -------------------------------------------

def _shown(expected):
    if isinstance(expected, _Comparison):
        return expected.text
    if isinstance(expected, list):
        return [_shown(item) for item in expected]
    if isinstance(expected, dict):
        return dict((key, _shown(value)) for key, value in expected.items())
    return expected


def _made(report, parts, expected, actual, passed):
    report.append({"path": path_text(parts), "expected": _shown(expected), "actual": actual, "passed": bool(passed)})


def _value_holds(expected, actual, strict):
    if isinstance(expected, list):
        items = actual if isinstance(actual, list) else [] if actual is None else [actual]
        found = all(any(_value_holds(want, have, strict) for have in items) for want in expected)
        return found and (not strict or len(items) == len(expected))
    if isinstance(actual, list) and expected.kind not in ("present", "absent"):
        return any(expected.holds(item) for item in actual)
    return expected.holds(actual)


def _check_record(report, parts, expected, actual, strict):
    for key, want in expected.items():
        have = actual.get(key) if isinstance(actual, dict) else None
        _made(report, parts + [key], want, have, _value_holds(want, have, strict))


def _record_matches(expected, actual):
    return isinstance(actual, dict) and all(_value_holds(want, actual.get(key), False)
                                            for key, want in expected.items())


def _check_list(report, parts, expected, actual, strict):
    """Each record expected is matched by a neighbour of its own."""
    left = list(actual or [])
    for index, want in enumerate(expected):
        match = next((item for item in left if _record_matches(want, item)), None)
        if match is not None:
            left.remove(match)
        _made(report, parts + [index] if len(expected) > 1 else parts, want, match if match is not None else actual,
              match is not None)
    if strict and left:
        _made(report, parts, "no other entry", left, False)


def _check_entries(report, getter, parts, expected, actual, level, strict):
    depth = len(schema.LEVELS[getter])
    if level == depth:
        if isinstance(expected, _Comparison):
            _made(report, parts, expected, "present" if actual is not None else "absent", expected.holds(actual))
        elif getter in schema.LISTED:
            _check_list(report, parts, expected, actual, strict)
        else:
            _check_record(report, parts, expected, actual, strict)
        return
    strict = strict or expected.get(MODE) == "strict"
    strict = strict and expected.get(MODE) != "loose"
    actual = actual if isinstance(actual, dict) else {}
    for name, want in expected.items():
        if name == MODE:
            continue
        have = actual.get(name)
        if isinstance(want, _Comparison) or have is None:
            want = want if isinstance(want, _Comparison) else _Comparison("present", None)
            _made(report, parts + [name], want, "present" if have is not None else "absent", want.holds(have))
            continue
        _check_entries(report, getter, parts + [name], want, have, level + 1, strict)
    for name in sorted(set(actual) - set(expected)) if strict else ():
        _made(report, parts + [name], "absent", "present", False)


def evaluate(state, checks, strict=False):
    """The checks (a dict, as a checks file holds) made on a state (as
    ``Connection.state()`` gives it): a Report.  A getter the checks name
    that the state lacks fails each of its checks; ChecksError for checks
    that cannot be checked."""
    report = Report()
    for getter, expected in compile_checks(checks).items():
        if getter not in state:
            _made(report, [getter], "present", "absent", False)
            continue
        _check_entries(report, getter, [getter], expected, state[getter], 0, strict)
    return report
