"""Lists whose order matters (access lists, prefix lists, policy terms):
which lines make them, from a dialect's patterns; the numbers a device
gives their entries by itself, dropped where the intended list has none;
which lists a change reorders, so that they are rewritten whole rather than
compared as sets."""
import collections
import re


def in_order(before, after):
    """Whether the entries ``after`` come from ``before`` by removing some
    and appending new ones (what a device that numbers nothing can do)."""
    wanted = set(after)
    kept = [entry for entry in before if entry in wanted]
    return after[:len(kept)] == kept


def _distinct(entries):
    seen, out = set(), []
    for entry in entries:
        if entry not in seen:
            seen.add(entry)
            out.append(entry)
    return out


class Lists(object):
    """The ordered lists of a dialect: ``ordered``, patterns of their
    entries; ``numbered``, patterns of entries the device numbers, the group
    the number's words; ``flat``: "set"-style statements, where an entry
    is the statement path its pattern matched, shared by several
    statements."""

    def __init__(self, ordered=(), numbered=(), flat=False):
        self.ordered = [re.compile(pattern) for pattern in ordered]
        self.numbered = [re.compile(pattern) for pattern in numbered]
        self.flat = flat

    def __bool__(self):
        return bool(self.ordered)

    @classmethod
    def of(cls, dialect):
        return cls(dialect.config_ordered, dialect.config_numbered, dialect.config_style == "set")

    def entry(self, text):
        """(the list's key, the entry) of a line of an ordered list, or None."""
        for index, pattern in enumerate(self.ordered):
            match = pattern.match(text)
            if match:
                return (index,) + match.groups(), match.group(0) if self.flat else text
        return None

    def unnumbered(self, text):
        """The line without the number the device gave it, or None."""
        for pattern in self.numbered:
            match = pattern.match(text)
            if match and match.group(1):
                return text[:match.start(1)] + text[match.end(1):]
        return None

    def grouped(self, nodes):
        """The lists among ``nodes`` (siblings): key -> [(entry, node)]."""
        lists = collections.OrderedDict()
        for node in nodes:
            found = self.entry(node.text)
            if found is not None:
                lists.setdefault(found[0], []).append((found[1], node))
        return lists

    def entries(self, nodes):
        """The distinct entries of a list's nodes, in order."""
        return _distinct(self.entry(node.text)[1] for node in nodes)

    def reordered(self, before, after):
        """The lists of two configurations' siblings whose order the change
        breaks: key -> (their nodes before, after)."""
        old, new = self.grouped(before), self.grouped(after)
        out = collections.OrderedDict()
        for key in list(new) + [key for key in old if key not in new]:
            was, will = old.get(key, []), new.get(key, [])
            if not in_order(_distinct(e for e, _ in was), _distinct(e for e, _ in will)):
                out[key] = ([node for _, node in was], [node for _, node in will])
        return out

    def normalise(self, running, intended):
        """Drops from ``running`` (a tree) the numbers the device gave the
        entries of the lists that ``intended`` holds unnumbered; a node
        renamed keeps the device's text as its ``original``."""
        if not self.numbered:
            return
        listed, numbered = set(), set()
        for node in intended.children:
            bare = self.unnumbered(node.text)
            found = self.entry(node.text if bare is None else bare)
            if found is not None:
                (listed if bare is None else numbered).add(found[0])
        for node in running.children:
            bare = self.unnumbered(node.text)
            found = self.entry(bare) if bare is not None else None
            if found is not None and found[0] in listed and found[0] not in numbered:
                node.original, node.text = node.text, bare
                running._index = None
        for node in intended.children:
            old = running.child(node.text)
            if old is not None:
                self.normalise(old, node)


def levels(running, intended, path=()):
    """(path, running node, intended node) of the root and of every block
    both configurations hold."""
    yield path, running, intended
    for node in intended.children:
        old = running.child(node.text)
        if old is not None and old.children and node.children:
            for level in levels(old, node, path + (node.text,)):
                yield level


def without(root, nodes):
    """A copy of the tree ``root`` without the nodes ``nodes`` (ids)."""
    copied = type(root)(root.text)
    copied.original = root.original
    for node in root.children:
        if id(node) not in nodes:
            copied.add(without(node, nodes))
    return copied
