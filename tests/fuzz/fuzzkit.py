"""Shared pieces of the fuzz tests: hypothesis profiles, hostile values and
the one rule every fuzz case checks (a call ends in a result or a Python
exception; a crash ends the interpreter, which the subprocess runs catch).

TARVIX_FUZZ_EXAMPLES sets the number of examples per test (default 60);
TARVIX_FUZZ_PROFILE=thorough runs 1000.
"""
import collections
import os

from hypothesis import HealthCheck, settings, strategies as st

_EXAMPLES = int(os.environ.get("TARVIX_FUZZ_EXAMPLES", "60"))
_COMMON = dict(deadline=None, database=None, print_blob=True,
               suppress_health_check=list(HealthCheck))
settings.register_profile("ci", max_examples=_EXAMPLES, **_COMMON)
settings.register_profile("thorough", max_examples=max(_EXAMPLES, 1000), **_COMMON)
settings.load_profile(os.environ.get("TARVIX_FUZZ_PROFILE", "ci"))

# Calls made per method, for the summary at the end of the run.
COUNTS = collections.Counter()


class Boom(Exception):
    """What the hostile objects raise."""


def outcome(label, fn, *args, **kwargs):
    """Calls fn; returns ("ok", result) or ("raised", exception).

    Anything outside Exception (SystemExit, KeyboardInterrupt, or a bare
    BaseException smuggled out of native code) propagates and fails the
    test."""
    COUNTS[label] += 1
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # every Python exception is an acceptable end
        return ("raised", exc)


# repr is left alone: the test tools print the values they drew.
DUNDERS = ("str", "eq", "ne", "hash", "bool", "len", "lt", "contains",
           "iter", "add", "radd", "mod", "rmod", "getitem")


class BadBool(object):
    """A value whose truth cannot be taken (what a hostile __eq__ returns)."""

    def __bool__(self):
        raise Boom("bool of a comparison result")

    __nonzero__ = __bool__


class Hostile(object):
    """An object whose listed dunders raise Boom; the others behave."""

    def __init__(self, raising=(), eq_result=None):
        self.raising = frozenset(raising)
        self.eq_result = eq_result

    def _check(self, name):
        if name in self.raising:
            raise Boom(name)

    def __str__(self):
        self._check("str")
        return "hostile"

    def __repr__(self):
        return "Hostile(%s)" % ",".join(sorted(self.raising))

    def __eq__(self, other):
        self._check("eq")
        return self is other if self.eq_result is None else self.eq_result

    def __ne__(self, other):
        self._check("ne")
        return self is not other

    def __hash__(self):
        self._check("hash")
        return 7

    def __bool__(self):
        self._check("bool")
        return True

    def __len__(self):
        self._check("len")
        return 1

    def __lt__(self, other):
        self._check("lt")
        return False

    def __contains__(self, item):
        self._check("contains")
        return False

    def __iter__(self):
        self._check("iter")
        return iter(())

    def __add__(self, other):
        self._check("add")
        return NotImplemented

    def __radd__(self, other):
        self._check("radd")
        return NotImplemented

    def __mod__(self, other):
        self._check("mod")
        return NotImplemented

    def __rmod__(self, other):
        self._check("rmod")
        return NotImplemented

    def __getitem__(self, key):
        self._check("getitem")
        raise KeyError(key)


class HostileStr(str):
    """A str subclass whose string tests and operators may raise or lie."""

    raising = frozenset()
    answers = None  # what islower/isdigit return when they do not raise

    def _check(self, name):
        if name in self.raising:
            raise Boom(name)

    def islower(self):
        self._check("islower")
        return self.answers if self.answers is not None else str.islower(self)

    def isdigit(self):
        self._check("isdigit")
        return self.answers if self.answers is not None else str.isdigit(self)

    def __str__(self):
        self._check("str")
        return str.__str__(self)

    def __eq__(self, other):
        self._check("eq")
        return str.__eq__(self, other)

    def __ne__(self, other):
        self._check("ne")
        return str.__ne__(self, other)

    def __hash__(self):
        self._check("hash")
        return str.__hash__(self)

    def __bool__(self):
        self._check("bool")
        return len(self) > 0

    def __contains__(self, item):
        self._check("contains")
        return str.__contains__(self, item)

    def __add__(self, other):
        self._check("add")
        return str.__add__(self, other)

    def __radd__(self, other):
        self._check("radd")
        return NotImplemented

    def __rmod__(self, other):
        self._check("rmod")
        return NotImplemented

    def __lt__(self, other):
        self._check("lt")
        return str.__lt__(self, other)


def hostile_str(text, raising, answers):
    s = HostileStr(text)
    s.raising = frozenset(raising)
    s.answers = answers
    return s


NAMES = ("generic", "quilm", "gavri", "vardo", "qb4", "m1", "single_rp", "dual_rp",
         "stack", "data", "mocked_os", "Upper", "123", "", " ", "plugin")

texts = st.one_of(st.sampled_from(NAMES), st.text(max_size=12))
hostiles = st.builds(Hostile, st.sets(st.sampled_from(DUNDERS)),
                     st.sampled_from([None, True, False, BadBool()]))
hostile_strs = st.builds(hostile_str, texts,
                         st.sets(st.sampled_from(("islower", "isdigit", "str", "eq", "ne",
                                                  "hash", "bool", "contains", "add", "radd",
                                                  "rmod", "lt"))),
                         st.sampled_from([None, True, False, 0, "yes", BadBool()]))
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True),
                    texts, st.binary(max_size=8), st.just(object()), st.just(int),
                    st.just(ValueError("v")))
values = st.recursive(
    st.one_of(scalars, hostiles, hostile_strs),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                            st.dictionaries(st.one_of(texts, st.integers()), inner, max_size=3)),
    max_leaves=6)
