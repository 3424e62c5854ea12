"""A platform's getters as data: for each getter the commands it runs and
the way from their output to the keys of ``tarvix.state.schema``.

A getter is one ``Read`` or a list of them, whose records are merged (what
one leaves None another may tell).  A ``Read`` runs one command and reads
its output in a ``format``:

- "json": the output is JSON; ``rows`` a path to the records (below);
- "textfsm": the records of the ntc-templates template for the command on
  the connection's template platform (the ``parse`` extra);
- "text": each line matched by the regular expression ``row`` is a record
  of its named groups; a line that is neither blank, nor matched by
  ``row`` nor by one of ``skip``, cannot be read;
- "search": one record of the named groups of each of the regular
  expressions ``find`` searched in the whole output (each must be found)
  and of those of ``maybe`` that are found;
- "pairs": one record of the output's KEY=VALUE lines (quotes removed).

A JSON path is a chain of steps joined by ".": a key; ``*`` each value of
an object or item of a list; ``*NAME`` each entry of an object, its key
kept as the record's field NAME; a step followed by ``?`` may be missing
(no records there), any other missing step cannot be read.  ``[N]``
after a step takes the list's item N, ``[*]`` each item.

``fields`` maps each key of the getter (and the names of ``key``) to
where it is read: ``PATH[ or PATH...][|CONVERSION[:ARGUMENT]...]``, the first
path (into the record, as above, without ``*NAME``) that holds a value,
then the conversions of ``tarvix.state.convert`` in turn.  ``=TEXT`` in
the place of a path is the text itself; ``{a}/{b}`` a text made of the
record's fields (nothing when one is missing).  A field that ends in ``!`` must hold a value; a
field that begins with ``*`` gathers the value of every record into a list
(facts: the interface names).

``key`` names the fields that key the records, outermost first
(``("vrf", "peer")``); ``group`` keeps a list of records under the last
(lldp_neighbors).  ``none``: a regular expression of an output that holds
no record (e.g. "BGP not active")."""
import re

from tarvix.state import convert, schema

FORMATS = ("json", "textfsm", "text", "search", "pairs")


class Field(object):
    """One field: where it is read, parsed."""

    def __init__(self, name, text):
        self.name, self.text = name, text
        self.gather = text.startswith("*")
        self.required = text.endswith("!")
        parts = text.lstrip("*").rstrip("!").split("|")
        # Each place the value may be, in turn: a path, "=TEXT" or "{a}/{b}".
        self.paths = [path.strip() for path in parts[0].split(" or ")]
        self.conversions = []
        for part in parts[1:]:
            conversion, _, argument = part.partition(":")
            if conversion not in convert.NAMES:
                raise ValueError("field %s: %r: no conversion %r (there are: %s)"
                                 % (name, text, conversion, ", ".join(convert.NAMES)))
            self.conversions.append((conversion, argument))


class Read(object):
    """One command of a getter and the way from its output to records."""

    def __init__(self, command, fields, format="json", rows=None, key=(), group=False, none=None, row=None,
                 skip=(), find=(), maybe=()):
        if format not in FORMATS:
            raise ValueError("%r: format is one of %s, not %r" % (command, ", ".join(FORMATS), format))
        self.command, self.format, self.rows = command, format, rows
        self.key = (key,) if isinstance(key, str) else tuple(key)
        self.group = group
        self.none = re.compile(none) if none else None
        self.row = re.compile(row) if row else None
        self.skip = [re.compile(pattern) for pattern in skip]
        self.find = [re.compile(pattern, re.M) for pattern in find]
        self.maybe = [re.compile(pattern, re.M) for pattern in maybe]
        if format == "text" and self.row is None:
            raise ValueError("%r: a text read names its row pattern" % command)
        if format == "search" and not self.find:
            raise ValueError("%r: a search names its patterns" % command)
        self.fields = [Field(name, text) for name, text in fields.items()]
        missing = [name for name in self.key if name not in fields]
        if missing:
            raise ValueError("%r: the key %s is no field" % (command, ", ".join(missing)))


class Getters(object):
    """The getters of one platform: getter name -> a Read or a list of
    Reads.  A getter not given raises NotSupportedError."""

    def __init__(self, platform, **getters):
        self.platform = platform
        self._reads = {}
        for name, reads in getters.items():
            if name not in schema.FIELDS:
                raise ValueError("%s: no getter %r (there are: %s)" % (platform, name, ", ".join(schema.GETTERS)))
            reads = [reads] if isinstance(reads, Read) else list(reads)
            for read in reads:
                _check(platform, name, read)
            self._reads[name] = reads

    @property
    def names(self):
        """The getters this platform answers, in state() order."""
        return tuple(name for name in schema.GETTERS if name in self._reads)

    def reads(self, name):
        return self._reads.get(name)

    def commands(self, names=None):
        """The commands the getters run, in order."""
        return [read.command for name in (names or self.names) for read in self._reads.get(name, ())]


def _check(platform, getter, read):
    levels = schema.LEVELS[getter]
    if len(read.key) != len(levels):
        raise ValueError("%s %s: %r is keyed by %d name(s) (%s)" % (platform, getter, read.command, len(levels),
                                                                    ", ".join(levels) or "none"))
    if read.group and getter not in schema.LISTED:
        raise ValueError("%s %s: %r: only %s keep lists" % (platform, getter, read.command, schema.LISTED))
    unknown = [field.name for field in read.fields
               if field.name not in schema.FIELDS[getter] and field.name not in read.key]
    if unknown:
        raise ValueError("%s %s: %r: no such key %s (the keys: %s)" % (
            platform, getter, read.command, ", ".join(unknown), ", ".join(schema.FIELDS[getter])))
