"""A configuration's text as a hierarchy: each line with the lines indented
under it, and the hierarchy-aware diff of two configurations."""
import difflib
import re


class Node(object):
    """One configuration line (``text``, without its indent) and the lines
    under it, in order; ``original``: the text the device shows, where
    ``text`` differs from it (its own numbering dropped)."""

    __slots__ = ("text", "children", "_index", "original")

    def __init__(self, text):
        self.text = text
        self.children = []
        self._index = None
        self.original = None

    def child(self, text):
        """The child whose text is ``text``, or None.  (Who changes
        ``children`` other than through ``add`` sets ``_index`` to None.)"""
        if self._index is None:
            self._index = dict((node.text, node) for node in self.children)
        return self._index.get(text)

    def add(self, node):
        self.children.append(node)
        if self._index is not None:
            self._index[node.text] = node
        return node

    def lines(self, depth=0):
        """The subtree's lines, each indented one space a level."""
        out = []
        for node in self.children:
            out.append(" " * depth + node.text)
            out.extend(node.lines(depth + 1))
        return out

    def __eq__(self, other):
        return isinstance(other, Node) and self.text == other.text and self.children == other.children

    def __ne__(self, other):
        return not self == other

    __hash__ = None


def clean(text, noise=()):
    """The configuration lines of a text as the device shows it: no carriage
    returns, blank lines or trailing spaces, and none of the lines matching
    a pattern of ``noise`` (headers, "!" separators, "end")."""
    matches = re.compile("|".join("(?:%s)" % pattern for pattern in noise)).match if noise else None
    kept = []
    for line in text.replace("\r", "").split("\n"):
        line = line.rstrip()
        if line and not (matches and matches(line)) and line.strip():
            kept.append(line)
    return kept


def parse(text, noise=()):
    """The hierarchy of a configuration's text (or list of lines): a line
    indented deeper than the one before belongs under it."""
    root = Node(None)
    stack = [(-1, root)]
    lines = text if isinstance(text, list) else clean(text, noise)
    for line in lines:
        stripped = line.lstrip()
        indent = len(line) - len(stripped)
        while stack[-1][0] >= indent:
            stack.pop()
        if "  " in stripped or "\t" in stripped:
            stripped = " ".join(stripped.split())
        parent = stack[-1][1]
        node = parent.child(stripped)
        if node is None:
            node = parent.add(Node(stripped))
        stack.append((indent, node))
    return root


def _emit(mark, nodes, pad, out):
    for node in nodes:
        out.append(mark + pad + node.text)
        out.extend(mark + pad + " " + line for line in node.lines())


def _diff_children(before, after, depth, out, lists):
    # The entries of lists whose order changed are shown removed and added
    # whole, after the rest.
    reordered = lists.reordered(before.children, after.children) if lists else {}
    moved = set(id(node) for pair in reordered.values() for nodes in pair for node in nodes)
    old_nodes = [node for node in before.children if id(node) not in moved]
    new_nodes = [node for node in after.children if id(node) not in moved]
    pad = " " * depth
    matcher = difflib.SequenceMatcher(None, [n.text for n in old_nodes], [n.text for n in new_nodes], autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == "equal":
            for old_node, new_node in zip(old_nodes[i1:i2], new_nodes[j1:j2]):
                _diff_below(old_node, new_node, depth, out, lists)
            continue
        _emit("-", [node for node in old_nodes[i1:i2] if after.child(node.text) is None], pad, out)
        for node in new_nodes[j1:j2]:
            if before.child(node.text) is None:
                _emit("+", [node], pad, out)
            else:
                # Moved among its siblings: its place does not matter, its content does.
                _diff_below(before.child(node.text), node, depth, out, lists)
    for old, new in reordered.values():
        _emit("-", old, pad, out)
        _emit("+", new, pad, out)


def _diff_below(old_node, new_node, depth, out, lists):
    if old_node.children != new_node.children:
        below = []
        _diff_children(old_node, new_node, depth + 1, below, lists)
        if below:
            out.append(" " + " " * depth + old_node.text)
            out.extend(below)


def diff(before, after, noise=(), names=("running", "intended"), lists=None):
    """The unified diff from one configuration to another (texts or trees):
    a line added ("+") or removed ("-") shows under its parents (" "); an
    empty text when they agree.  ``lists`` (``ordered.Lists``): the lists
    compared in order, where the device's numbering of the entries is
    dropped for lists that ``after`` does not number."""
    before = before if isinstance(before, Node) else parse(before, noise)
    after = after if isinstance(after, Node) else parse(after, noise)
    if lists:
        lists.normalise(before, after)
    out = []
    _diff_children(before, after, 0, out, lists)
    if not out:
        return ""
    return "--- %s\n+++ %s\n%s\n" % (names[0], names[1], "\n".join(out))
