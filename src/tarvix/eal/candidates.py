"""What a pattern's match can end on, read from the pattern itself, so that
a link can tell from what arrived that none of the patterns it awaits can
match yet, and leave their regular expressions unrun.

A pattern's *ending* is one of:

- ``("always",)``: nothing is known; every arrival is searched;
- ``("end", last, trail)`` for a pattern every match of which ends the
  text (its last element ``\\Z``): such a match ends with a character of
  ``last`` followed by characters of ``trail`` only (``trail``: the class
  of an optional run before the ``\\Z``, such as a prompt's trailing
  spaces);
- ``("any", last, ahead)`` for any other: a match consumes a character of
  ``last`` last, and its assertions look at most ``ahead`` characters past
  where it ends; so a match that an earlier search of the same text did
  not find ends in what arrived since, or within ``ahead`` characters
  before it.

A character class is a pair (mask, other): ``mask`` the ASCII characters
in it as the bits of an int, ``other`` whether characters beyond ASCII may
be in it.  Classes hold at least what the pattern can match (more where
telling exactly would not pay).  Anything the analysis does not know (a
back reference, an unbounded lookahead, an element of a later Python)
gives "always".
"""
try:  # Python 3.11 and later
    from re import _constants as _c, _parser as _parse
except ImportError:  # pragma: no cover - Python 3.10 and earlier
    import sre_constants as _c
    import sre_parse as _parse

ALL = ((1 << 128) - 1, True)
NONE = (0, False)
ALWAYS = ("always",)
# Lookaheads and lookbehinds wider than this make a pattern "always".
WIDEST_LOOK = 256
_ASCII_LETTERS = sum(1 << c for c in range(128) if chr(c).isalpha())


class _Unknown(Exception):
    """An element the analysis does not know."""


def _names(*names):
    return tuple(getattr(_c, name) for name in names if hasattr(_c, name))


_CHARS = _names("LITERAL", "NOT_LITERAL", "ANY", "IN", "CATEGORY")
_REPEATS = _names("MAX_REPEAT", "MIN_REPEAT", "POSSESSIVE_REPEAT")
_ZERO_WIDTH = _names("AT")
_LOOKS = _names("ASSERT", "ASSERT_NOT")
# Assertions that look at the characters after where they stand.
_LOOKING_AHEAD = dict((code, width) for code, width in (
    (getattr(_c, "AT_END", None), 2), (getattr(_c, "AT_END_LINE", None), 1),
    (getattr(_c, "AT_END_STRING", None), 1), (getattr(_c, "AT_BOUNDARY", None), 1),
    (getattr(_c, "AT_NON_BOUNDARY", None), 1)) if code is not None)


def _ascii_set(test):
    return sum(1 << c for c in range(128) if test(chr(c)))


# The categories of a character class, for ASCII characters: with the ASCII
# flag, and by Unicode (a str pattern's default).
_CATEGORIES = {
    "CATEGORY_DIGIT": (_ascii_set(lambda c: c.isdigit()),) * 2,
    "CATEGORY_SPACE": (_ascii_set(lambda c: c in " \t\n\r\f\v"), _ascii_set(lambda c: c.isspace())),
    "CATEGORY_WORD": (_ascii_set(lambda c: c.isalnum() or c == "_"),) * 2,
    "CATEGORY_LINEBREAK": (1 << 10,) * 2,
}
_FULL = (1 << 128) - 1


def _category(code, flags):
    name = str(code)
    negated = "_NOT_" in name
    base = name.replace("_NOT_", "_")
    if base not in _CATEGORIES:
        raise _Unknown(name)
    mask = _CATEGORIES[base][0 if flags & _c.SRE_FLAG_ASCII else 1]
    return (_FULL & ~mask if negated else mask), True


def _fold(charset, flags):
    """A class matched case-insensitively: each ASCII letter with its other
    case; a class with characters beyond ASCII also holds every ASCII
    letter (some of theirs fold to one)."""
    mask, other = charset
    if not flags & _c.SRE_FLAG_IGNORECASE:
        return charset
    folded = mask
    for c in range(128):
        if mask >> c & 1 and chr(c).isalpha():
            folded |= 1 << ord(chr(c).swapcase())
    if other:
        folded |= _ASCII_LETTERS
    return folded, True


def _literal(value):
    return (1 << value, False) if value < 128 else (0, True)


def _range(low, high):
    mask = sum(1 << c for c in range(low, min(high, 127) + 1))
    return mask, high >= 128


def _union(a, b):
    return a[0] | b[0], a[1] or b[1]


def _in(items, flags):
    """The class of a character set ``[...]``."""
    negate = bool(items) and items[0][0] is _c.NEGATE
    chars, categories = NONE, NONE
    for op, av in items[1:] if negate else items:
        if op is _c.LITERAL:
            chars = _union(chars, _literal(av))
        elif op is _c.RANGE:
            chars = _union(chars, _range(av[0], av[1]))
        elif op is _c.CATEGORY:
            # (the categories hold both cases of their letters)
            categories = _union(categories, _category(av, flags))
        else:
            raise _Unknown(str(op))
    if negate and flags & _c.SRE_FLAG_IGNORECASE and chars[1]:
        return ALL  # what folds into a class beyond ASCII is not told here
    found = _union(_fold(chars, flags), categories)
    if not negate:
        return found
    return _FULL & ~found[0], True


def _char_class(op, av, flags):
    if op is _c.LITERAL:
        return _fold(_literal(av), flags)
    if op is _c.NOT_LITERAL:
        if av >= 128:
            return ALL
        mask = _fold(_literal(av), flags)[0]
        return _FULL & ~mask, True
    if op is _c.ANY:
        return ALL
    if op is _c.IN:
        return _in(av, flags)
    return _category(av, flags)


def _subpattern(av, flags):
    """(the items, their flags) of a group."""
    if len(av) == 4:  # (group, add flags, del flags, pattern)
        return av[3], (flags | av[1]) & ~av[2]
    return av[-1], flags


def _last(items, flags):
    """(the class of the characters a match of the sequence consumes last,
    whether it can match the empty string)."""
    last = NONE
    for op, av in reversed(list(items)):
        found, nullable = _item_last(op, av, flags)
        last = _union(last, found)
        if not nullable:
            return last, False
    return last, True


def _item_last(op, av, flags):
    if op in _CHARS:
        return _char_class(op, av, flags), False
    if op is _c.BRANCH:
        found, nullable = NONE, False
        for branch in av[1]:
            part, empty = _last(branch, flags)
            found, nullable = _union(found, part), nullable or empty
        return found, nullable
    if op is _c.SUBPATTERN:
        return _last(*_subpattern(av, flags))
    if op is getattr(_c, "ATOMIC_GROUP", None):
        return _last(av, flags)
    if op in _REPEATS:
        low, high, item = av
        if high == 0:
            return NONE, True
        found, nullable = _last(item, flags)
        return found, nullable or low == 0
    if op in _ZERO_WIDTH or op in _LOOKS:
        return NONE, True
    raise _Unknown(str(op))


def _looks(items, flags):
    """How far the sequence's assertions look past where they stand, at
    most (lookbehinds checked for their width too)."""
    ahead = 0
    for op, av in items:
        if op is _c.AT:
            ahead = max(ahead, _LOOKING_AHEAD.get(av, 0))
        elif op in _LOOKS:
            direction, inner = av
            width = inner.getwidth()[1]
            if width > WIDEST_LOOK:
                raise _Unknown("a wide look")
            ahead = max(ahead, width if direction == 1 else 0, _looks(inner, flags))
        elif op is _c.BRANCH:
            for branch in av[1]:
                ahead = max(ahead, _looks(branch, flags))
        elif op is _c.SUBPATTERN:
            ahead = max(ahead, _looks(*_subpattern(av, flags)))
        elif op is getattr(_c, "ATOMIC_GROUP", None):
            ahead = max(ahead, _looks(av, flags))
        elif op in _REPEATS:
            ahead = max(ahead, _looks(av[2], flags))
        elif op not in _CHARS:
            raise _Unknown(str(op))
    return ahead


def _flags_of(parsed):
    state = getattr(parsed, "state", None) or getattr(parsed, "pattern", None)
    return state.flags


def analyse(text, flags=0):
    """The ending of a pattern given as text and flags."""
    if not isinstance(text, str):
        return ALWAYS
    try:
        parsed = _parse.parse(text, flags)
        flags = _flags_of(parsed)
        items = list(parsed)
        ahead = _looks(items, flags)
        if items and items[-1] == (_c.AT, _c.AT_END_STRING):
            core, trail = items[:-1], NONE
            if core and core[-1][0] in _REPEATS and core[-1][1][0] == 0 and len(core[-1][1][2]) == 1 \
                    and core[-1][1][2][0][0] in _CHARS:
                op, av = core[-1][1][2][0]
                core, trail = core[:-1], _char_class(op, av, flags)
            last, nullable = _last(core, flags)
            return ALWAYS if nullable else ("end", last, trail)
        last, nullable = _last(items, flags)
        return ALWAYS if nullable else ("any", last, ahead)
    except (_Unknown, _c.error, RecursionError, TypeError, AttributeError, ValueError, IndexError):
        return ALWAYS


_endings = {}


def ending_of(pattern):
    """The ending of a compiled pattern, or of an object that finds the
    matches ``re.compile(pattern.pattern)`` finds (see
    tarvix.eal.statemachine); kept once worked out."""
    text = getattr(pattern, "pattern", None)
    key = (text, getattr(pattern, "flags", 0))
    found = _endings.get(key)
    if found is None:
        found = analyse(text, key[1] if isinstance(key[1], int) else 0)
        if len(_endings) < 4096:
            _endings[key] = found
    return found
