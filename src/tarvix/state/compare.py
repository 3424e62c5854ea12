"""What changed between two states of a device (as ``Connection.state()``
gives them): a session down, an interface down, fewer prefixes, a
neighbour gone...; uptimes (which change by themselves) left out unless
asked."""
from tarvix.checks import path_text
from tarvix.state import schema

# A field that went from one value to another, in words: (field, before, after) -> words.
_WORDS = {("up", True, False): "down", ("up", False, True): "up", ("enabled", True, False): "disabled",
          ("enabled", False, True): "enabled"}
_ENTRY = {"interfaces": "interface", "bgp_neighbors": "neighbour", "lldp_neighbors": "neighbour"}


def _change(out, parts, before, after, what):
    out.append({"path": path_text(parts), "before": before, "after": after, "what": what})


def _field_words(getter, field, before, after):
    kind = "session" if getter == "bgp_neighbors" else "interface"
    words = _WORDS.get((field, before, after)) if isinstance(before, bool) and isinstance(after, bool) else None
    if words:
        return "%s %s" % (kind, words)
    if field == "prefixes_received" and isinstance(before, int) and isinstance(after, int):
        return "fewer prefixes" if after < before else "more prefixes"
    if field == "state" and getter == "bgp_neighbors":
        return "session state changed"
    return "%s changed" % field.replace("_", " ")


def _records(out, getter, parts, before, after, every):
    for field in schema.FIELDS[getter]:
        if field in schema.VOLATILE and not every:
            continue
        old, new = before.get(field), after.get(field)
        if old != new:
            _change(out, parts + [field], old, new, _field_words(getter, field, old, new))


def _listed(out, getter, parts, before, after):
    """Neighbours of a list, told apart by what they are."""
    def key(record):
        return tuple(sorted(record.items()))

    old, new = [key(each) for each in before], [key(each) for each in after]
    for record in before:
        if key(record) not in new:
            _change(out, parts, record, None, "neighbour gone")
    for record in after:
        if key(record) not in old:
            _change(out, parts, None, record, "new neighbour")


def _entries(out, getter, parts, before, after, level, every):
    depth = len(schema.LEVELS[getter])
    if level == depth:
        if getter in schema.LISTED:
            _listed(out, getter, parts, before or [], after or [])
        else:
            _records(out, getter, parts, before, after, every)
        return
    entry = _ENTRY[getter] if level == depth - 1 else "VRF"
    for name in before:
        if name not in after:
            _change(out, parts + [name], "present", "absent", "%s gone" % entry)
        else:
            _entries(out, getter, parts + [name], before[name], after[name], level + 1, every)
    for name in after:
        if name not in before:
            _change(out, parts + [name], "absent", "present", "new %s" % entry)


def changes(before, after, every=False):
    """The changes from ``before`` to ``after``: a list of {"path",
    "before", "after", "what"}; ``every``: uptimes too.  A getter read in
    only one of them is left out."""
    out = []
    for getter in schema.GETTERS:
        if getter in before and getter in after:
            _entries(out, getter, [getter], before[getter], after[getter], 0, every)
    return out
