"""The conversions a getter's field applies to what it read: each takes
the value and the conversion's argument (the text after its colon) and
gives the new value; None stays None but where a conversion gives a value
for nothing (``default``, ``list``, ``has``).  The conversions of one item
apply to each item of a list."""
import re
import time

_UNITS = {"y": 365 * 86400, "year": 365 * 86400, "w": 7 * 86400, "week": 7 * 86400, "d": 86400, "day": 86400,
          "h": 3600, "hour": 3600, "m": 60, "min": 60, "minute": 60, "s": 1, "sec": 1, "second": 1}
_AMOUNT = re.compile(r"(\d+(?:\.\d+)?)\s*(years?|y|weeks?|w|days?|d|hours?|h|minutes?|mins?|m|seconds?|secs?|s)(?![a-z])",
                     re.I)
_CLOCK = re.compile(r"(?:(\d+):)?(\d+):(\d+)(?:\.\d+)?")


def duration(text, _=None):
    """Seconds of a duration as devices write it: "1d02h", "3w2d",
    "00:01:02", "2 days, 01:02:03", "1 year, 2 weeks, 5 minutes", "never"
    (None); a number is seconds already."""
    if isinstance(text, (int, float)) and not isinstance(text, bool):
        return int(text)
    text = str(text).strip().lower()
    if not text or text in ("never", "-", "n/a"):
        return None
    if re.match(r"^\d+(\.\d+)?$", text):
        return int(float(text))
    seconds, rest = 0, text
    clock = _CLOCK.search(rest)
    if clock:
        hours, minutes, secs = clock.groups()
        seconds += int(hours or 0) * 3600 + int(minutes) * 60 + int(secs)
        if hours is None:  # "mm:ss" only where no hours are shown
            seconds = int(minutes) * 60 + int(secs)
        rest = rest[:clock.start()] + rest[clock.end():]
    amounts = _AMOUNT.findall(rest)
    if not amounts and not clock:
        raise ValueError("not a duration: %r" % text)
    for amount, unit in amounts:
        unit = unit.lower()
        unit = unit if unit in _UNITS else unit.rstrip("s")
        seconds += float(amount) * _UNITS[unit]
    return int(seconds)


def mac(text, _=None):
    """A MAC address as aa:bb:cc:dd:ee:ff, whatever the device's grouping;
    None for a link address that is none (a tunnel's IP address)."""
    digits = re.sub(r"[^0-9a-fA-F]", "", str(text)).lower()
    if len(digits) != 12 or not re.match(r"^[0-9a-fA-F]{2}([:.-]?[0-9a-fA-F]{2}){5}$|^([0-9a-fA-F]{4}\.){2}[0-9a-fA-F]{4}$",
                                         str(text).strip()):
        return None
    return ":".join(digits[n:n + 2] for n in range(0, 12, 2))


def _number(value, _=None):
    if isinstance(value, bool):
        raise ValueError("not a number: %r" % value)
    if isinstance(value, (int, float)):
        return int(value) if float(value).is_integer() else value
    text = str(value).strip().replace(",", "")
    return int(text) if re.match(r"^-?\d+$", text) else _number(float(text))


def _since(value, _=None):
    """Seconds from a moment (seconds of the epoch) until now."""
    return max(0, int(time.time() - float(value)))


def _divide(value, by):
    return int(float(value) / float(by))


def _is(value, expected):
    return str(value).strip().lower() == expected.lower()


def _isin(value, choices):
    return str(value).strip().lower() in [choice.strip().lower() for choice in choices.split(",")]


def _has(value, item):
    """Whether a list holds the item, or a text the word (any letter case)."""
    if value is None:
        return False
    if isinstance(value, (list, tuple)):
        return any(str(each).lower() == item.lower() for each in value)
    return item.lower() in str(value).lower()


def _match(value, pattern):
    """The first group (or the whole match) of a regular expression in the
    text; None where it does not match."""
    found = re.search(pattern, str(value))
    if not found:
        return None
    return found.group(1) if found.groups() else found.group(0)


def _map(value, pairs):
    """A word of the device's as another ("ESTAB=Established,..."); a word
    not named stays."""
    table = dict(pair.split("=", 1) for pair in pairs.split(",") if "=" in pair)
    return table.get(str(value).strip(), value)


def _format(value, form):
    if not isinstance(value, dict):
        raise ValueError("not a record: %r" % (value,))
    return form.format(**value)


def _as_list(value, _=None):
    if value is None:
        return []
    return list(value) if isinstance(value, (list, tuple)) else [value]


def _split(value, separator):
    return [part.strip() for part in str(value).split(separator or None) if part.strip()]


def _sum(value, _=None):
    return sum(_number(each) for each in _as_list(value))


def _first(value, _=None):
    items = _as_list(value)
    return items[0] if items else None


def _drop(value, pattern):
    """The items of a list that do not match a regular expression."""
    return [each for each in _as_list(value) if not re.search(pattern, str(each))]


def _text(value, _=None):
    text = str(value).strip()
    return text or None


# Each item of a list on its own.
ITEM = {
    "int": _number, "number": _number, "str": _text, "lower": lambda value, _=None: str(value).lower(),
    "duration": duration, "mac": mac, "since": _since, "div": _divide, "is": _is, "in": _isin,
    "match": _match, "matches": lambda value, pattern: bool(re.search(pattern, str(value))), "format": _format, "map": _map, "not": lambda value, _=None: not value,
}
# The list as a whole (a value that is no list is a list of one).
WHOLE = {"has": _has, "list": _as_list, "split": _split, "sum": _sum, "first": _first, "drop": _drop,
         "count": lambda value, _=None: len(_as_list(value))}
# A value for nothing, too.
FOR_NONE = ("default", "list", "has", "count")
NAMES = sorted(set(ITEM) | set(WHOLE) | {"default"})


def apply(name, argument, value):
    """The value converted by one conversion."""
    if name == "default":
        return argument if value is None else value
    if value is None and name not in FOR_NONE:
        return None
    if name in WHOLE:
        return WHOLE[name](value, argument)
    if isinstance(value, list):
        converted = [ITEM[name](each, argument) for each in value if each is not None]
        return [each for each in converted if each is not None]
    return ITEM[name](value, argument)
