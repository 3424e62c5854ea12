"""The one reader of every platform's getters (``tarvix.state.mapping``): it
runs a getter's commands and turns their output into the getter's records,
or raises ParseError naming the platform, the command and the first line
it could not read; never a record that is partly read."""
import functools
import json
import os
import re
import string
import threading

from tarvix.core.errors import NotSupportedError, ParseError
from tarvix.state import convert, schema

_STEP = re.compile(r"^(\*(?P<bind>\w+)?|(?P<key>[^\[\]?*]+))(?P<optional>\?)?(?P<index>(?:\[(?:\d+|\*)\])*)$")
_INDEX = re.compile(r"\[(\d+|\*)\]")
_PAIR = re.compile(r"^\s*([A-Za-z_][\w.-]*)\s*=\s*(.*?)\s*$")


class Unreadable(Exception):
    """What could not be read, and where: raised inside, told as ParseError."""

    def __init__(self, why, line=None):
        Exception.__init__(self, why)
        self.why, self.line = why, line


def unreadable(device, platform, command, output, error):
    """The ParseError of an output that could not be read."""
    line = error.line
    if line is None:
        line = next((text.strip() for text in output.splitlines() if text.strip()), "")
    failure = ParseError("%s: the %s platform's output of %r could not be read: %s; first line not read: %r"
                         % (device, platform, command, error.why, line[:120]))
    failure.platform, failure.command, failure.line = platform, command, line
    return failure


def not_supported(device, platform, getter):
    failure = NotSupportedError("%s: the %s platform has no getter %s()" % (device, platform, getter))
    failure.platform, failure.getter = platform, getter
    return failure


# -- paths -------------------------------------------------------------

@functools.lru_cache(maxsize=1024)
def _steps(path):
    steps = []
    for text in path.split(".") if path else []:
        found = _STEP.match(text)
        if not found:
            raise ValueError("no such step %r in the path %r" % (text, path))
        indexes = _INDEX.findall(found.group("index") or "")
        steps.append((found.group("key"), found.group(1).startswith("*"), found.group("bind"),
                      bool(found.group("optional")), tuple(indexes)))
    return tuple(steps)


def _index(items, indexes, where, strict):
    for index in indexes:
        out = []
        for value in items:
            if not isinstance(value, list):
                if strict:
                    raise Unreadable("%s is no list" % where)
                continue
            if index == "*":
                out.extend(value)
            elif int(index) < len(value):
                out.append(value[int(index)])
            elif strict:
                raise Unreadable("%s has no item %s" % (where, index))
        items = out
    return items


def rows_at(document, path):
    """The records a JSON path reaches: (value, bound names) pairs."""
    found = [(document, {})]
    where = "the output"
    for key, each, bind, optional, indexes in _steps(path):
        out = []
        for value, bound in found:
            if each:
                if isinstance(value, dict):
                    entries = value.items()
                elif isinstance(value, list):
                    entries = enumerate(value)
                else:
                    raise Unreadable("%s is neither an object nor a list" % where)
                for name, item in entries:
                    out.append((item, dict(bound, **{bind: str(name)}) if bind else bound))
                continue
            if not isinstance(value, dict) or key not in value:
                if optional:
                    continue
                raise Unreadable("no %r in %s" % (key, where))
            out.append((value[key], bound))
        where = "%s.%s" % (where, key or "*")
        found = [(item, bound) for value, bound in out for item in _index([value], indexes, where, True)]
    return found


def value_at(row, bound, path):
    """A field's value in a record (None where the path leads nowhere)."""
    if path in bound:
        return bound[path]
    values, many = [row], False
    for key, each, _, _, indexes in _steps(path):
        out = []
        for value in values:
            if each:
                out.extend(value.values() if isinstance(value, dict) else value if isinstance(value, list) else [])
                many = True
            elif isinstance(value, dict) and key in value:
                out.append(value[key])
        many = many or "*" in indexes
        values = _index(out, indexes, path, False)
    if many:
        return [value for value in values if value is not None]
    return values[0] if values else None


# -- records -----------------------------------------------------------

def _field(field, row, bound, rows=None):
    if field.gather:
        value = [each for each in (_first_value(field, item, names) for item, names in rows) if each is not None]
    else:
        value = _first_value(field, row, bound)
    for name, argument in field.conversions:
        try:
            value = convert.apply(name, argument, value)
        except (ValueError, TypeError, KeyError, ZeroDivisionError) as error:
            raise Unreadable("%s: %s" % (field.name, error), _line_of(row))
    if field.required and value is None:
        raise Unreadable("no %s in a record (%s)" % (field.name, " or ".join(field.paths) or field.text),
                         _line_of(row))
    return value


def _first_value(field, row, bound):
    for path in field.paths:
        if path.startswith("="):
            return path[1:]
        if path.startswith("{"):
            value = _formatted(path, row, bound)
        else:
            value = value_at(row, bound, path) if isinstance(row, (dict, list)) else None
        if value is not None and value != "" and value != []:
            return value
    return None


def _formatted(template, row, bound):
    """A text of the record's fields, or None when one of them is missing."""
    names = dict(row if isinstance(row, dict) else {}, **bound)
    wanted = [name for _, name, _, _ in string.Formatter().parse(template) if name]
    if any(names.get(name) in (None, "") for name in wanted):
        return None
    return template.format(**names)


def _line_of(row):
    if isinstance(row, dict) and "_line" in row:
        return row["_line"]
    return None if row is None else json.dumps(row, sort_keys=True)[:120]


def _rows(read, output, template_platform):
    if read.none is not None and read.none.search(output):
        return []
    if read.format == "json":
        try:
            document = json.loads(output)
        except ValueError as error:
            lines = output.splitlines()
            line = lines[error.lineno - 1] if getattr(error, "lineno", 0) and error.lineno <= len(lines) else None
            raise Unreadable("not JSON (%s)" % error, line)
        return rows_at(document, read.rows)
    if read.format == "textfsm":
        return [(record, {}) for record in _records(read, output, template_platform)]
    if read.format == "pairs":
        return [(_pairs(output), {})]
    if read.format == "search":
        record = {}
        for pattern in read.find:
            found = pattern.search(output)
            if not found:
                raise Unreadable("nothing matches %r" % pattern.pattern)
            record.update((name, value) for name, value in found.groupdict().items() if value is not None)
        for pattern in read.maybe:
            found = pattern.search(output)
            record.update((name, value) for name, value in (found.groupdict() if found else {}).items()
                          if value is not None)
        return [(record, {})]
    return [(record, {}) for record in _lines(read, output)]


# The templates found, by (folder, platform, command), and each thread's
# parsers of them (a TextFSM parser holds the state of one parse).
_TEMPLATES = {}
_PARSERS = threading.local()


def _template(template_platform, command):
    from tarvix.bases import parsing

    key = (os.environ.get("NTC_TEMPLATES_DIR"), template_platform, command)
    if key not in _TEMPLATES:
        _TEMPLATES[key] = parsing.find_template(template_platform, command)
    return _TEMPLATES[key]


def _parsed(template, output):
    """The template's records of the output, by a parser of this thread's
    made once per template; several templates of one command through the
    index's table."""
    from tarvix.bases import parsing

    if ":" in template.names:
        return parsing.parse(template, output)
    import textfsm

    parsers = getattr(_PARSERS, "parsers", None)
    if parsers is None:
        parsers = _PARSERS.parsers = {}
    path = os.path.join(template.table.template_dir, template.names)
    parser = parsers.get(path)
    try:
        if parser is None:
            with open(path) as text:
                parser = parsers[path] = textfsm.TextFSM(text)
        parser.Reset()
        rows = parser.ParseText(output)
    except template.errors as error:
        raise ParseError("the output of %r could not be parsed with the %s template %s: %s"
                         % (template.command, template.platform, template.names, error))
    header = [name.lower() for name in parser.header]
    return [dict(zip(header, row)) for row in rows]


def _records(read, output, template_platform):
    try:
        records = _parsed(_template(template_platform, read.command), output)
    except ParseError as error:
        raise Unreadable(" ".join(str(error).split()))
    if not records and output.strip():
        raise Unreadable("the template found no record")
    return records


def _pairs(output):
    record = {}
    for line in output.splitlines():
        if not line.strip():
            continue
        found = _PAIR.match(line)
        if not found:
            raise Unreadable("no KEY=VALUE line", line.strip())
        value = found.group(2)
        if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
            value = value[1:-1]
        record[found.group(1)] = value
    return record


def _lines(read, output):
    records = []
    for line in output.splitlines():
        if not line.strip() or any(pattern.search(line) for pattern in read.skip):
            continue
        found = read.row.search(line)
        if not found:
            raise Unreadable("no record in the line", line.strip())
        record = dict((name, value) for name, value in found.groupdict().items() if value is not None)
        record["_line"] = line.strip()
        records.append(record)
    return records


def records(read, output, template_platform=None):
    """What one read gives from its command's output: the getter's nested
    records, or for a getter without a key one record."""
    rows = _rows(read, output, template_platform)
    if not read.key:
        row, bound = rows[0] if rows else (None, {})
        return dict((field.name, _field(field, row, bound, rows)) for field in read.fields)
    result = {}
    for row, bound in rows:
        values = dict((field.name, _field(field, row, bound, rows)) for field in read.fields)
        keys = [values.pop(name) for name in read.key]
        if any(key is None or key == "" for key in keys):
            raise Unreadable("a record without its %s" % " and ".join(read.key), _line_of(row))
        place = result
        for key in keys[:-1]:
            place = place.setdefault(str(key), {})
        last = str(keys[-1])
        if read.group:
            place.setdefault(last, []).append(values)
        else:
            _merge_record(place.setdefault(last, {}), values)
    return result


def _merge_record(into, values):
    for name, value in values.items():
        if into.get(name) is None or into.get(name) == []:
            into[name] = value


def merge(into, part, depth):
    """Merges a read's records into the getter's (``depth``: the levels of
    names above the records)."""
    if depth == 0:
        if isinstance(part, list):
            into.extend(part)
        else:
            _merge_record(into, part)
        return
    for name, value in part.items():
        if name not in into:
            into[name] = value
        else:
            merge(into[name], value, depth - 1)


def complete(getter, data):
    """Every record with every key of the getter (None, or [], for what no
    read told)."""
    depth = len(schema.LEVELS[getter])

    def record(values):
        whole = schema.empty_record(getter)
        whole.update((name, value) for name, value in values.items() if value is not None)
        return whole

    def walk(value, level):
        if level == depth:
            return [record(each) for each in value] if getter in schema.LISTED else record(value)
        return dict((name, walk(each, level + 1)) for name, each in value.items())

    return walk(data, 0)
