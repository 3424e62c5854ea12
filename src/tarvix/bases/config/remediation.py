"""What to send to bring a device from one configuration to another: the
lines to remove and to add, in an order the device accepts, worked out by
hier-config (the ``config`` extra) for CLIs that apply each line at once,
and the set/delete lines of a CLI whose configuration is a flat list of
``set`` statements."""
import re

from tarvix.bases.config import ordered, tree
from tarvix.core.errors import RemediationUnavailableError

# Which interpreters hier-config's release with platform drivers installs on.
INSTALL_HINT = "replace_config needs hier-config: pip install hier-config (Python 3.9 or later)"


def _hier_config():
    try:
        import hier_config
    except ImportError:
        raise RemediationUnavailableError(INSTALL_HINT)
    return hier_config


# Negations that remove a whole object (a BGP neighbour with its settings):
# after the negations of its settings, which the device refuses once the
# object is gone.
_WHOLE_OBJECT = re.compile(r"^no neighbor (\S+) (remote-as|peer-group|interface)\b")
# A neighbour's remote AS set anew: the line changes it in place.
_REMOTE_AS = re.compile(r"^neighbor (\S+) remote-as\b")
_SETTING = re.compile(r"^no neighbor (\S+) ")


def _negations_ordered(children):
    """The children with, in each run of negations, those that remove a
    whole object moved to the run's end."""
    ordered, run = [], []
    for child in list(children) + [None]:
        if child is not None and child.text.startswith("no "):
            run.append(child)
            continue
        last = [negation for negation in run if _WHOLE_OBJECT.match(negation.text)]
        ordered += [negation for negation in run if negation not in last] + last
        run = []
        if child is not None:
            ordered.append(child)
    return ordered


def _neighbours_alone(level):
    """At each level of the plan: a neighbour whose remote AS is set anew
    is not removed first (which would lose its settings); one removed takes
    its settings along, here and in the blocks below (its address
    families), whose negations the device would refuse once it is gone."""
    anew = set(match.group(1) for match in map(_REMOTE_AS.match, (c.text for c in level.children)) if match)
    kept, gone = [], set()
    for child in level.children:
        whole = _WHOLE_OBJECT.match(child.text)
        if whole and whole.group(1) in anew and whole.group(2) == "remote-as":
            continue
        if whole:
            gone.add(whole.group(1))
        kept.append(child)
    level.children[:], level._index = kept, None
    if gone:
        _drop_settings(level, gone)
    for child in level.children:
        _neighbours_alone(child)


def _drop_settings(level, gone):
    kept = []
    for child in level.children:
        setting = _SETTING.match(child.text)
        if setting and setting.group(1) in gone and not _WHOLE_OBJECT.match(child.text):
            continue
        if child.children:
            _drop_settings(child, gone)
            if not child.children:
                continue
        kept.append(child)
    level.children[:], level._index = kept, None


def _negation(text, forms):
    """A negation in the form the CLI takes it (``forms``: compiled
    pattern, replacement)."""
    for pattern, replacement in forms:
        if pattern.fullmatch(text):
            return pattern.sub(replacement, text)
    return text


def _flatten(children, depth, out, running, rules):
    """The plan's lines; a negation of a block the device cannot remove
    whole becomes the negation of each of its lines, as ``running`` (the
    configuration's node at this level) holds them; a negation names a
    line as the device shows it."""
    fixed, whole, forms = rules
    for child in _negations_ordered(children):
        if depth == 0 and any(pattern.match(child.text) for pattern in fixed):
            continue
        shown = running.child(child.text[3:]) if child.text.startswith("no ") and running is not None else None
        if shown is not None and shown.children and any(pattern.match(shown.text) for pattern in whole):
            out.append(" " * depth + shown.text)
            out.extend(" " * (depth + 1) + _negation("no " + (line.original or line.text), forms)
                       for line in shown.children)
            out.append(" " * depth + "exit")
            continue
        text = "no " + shown.original if shown is not None and shown.original else child.text
        out.append(" " * depth + _negation(text, forms))
        below = list(child.children)
        if below:
            _flatten(below, depth + 1, out, running.child(child.text) if running is not None else None,
                     ((), whole, forms))
            out.append(" " * depth + "exit")


def _as_nodes(config, into):
    """hier-config's plan as a tree of ``tree.Node``."""
    for child in config.children:
        into.add(_as_nodes(child, tree.Node(child.text)))
    return into


def _rewritten(lists, running, intended):
    """(path, entries before, entries after) of each list the change
    reorders."""
    out = []
    if lists:
        lists.normalise(running, intended)
        for path, old, new in ordered.levels(running, intended):
            out.extend((path,) + pair for pair in lists.reordered(old.children, new.children).values())
    return out


def _rewrite(plan, rewrites, negation):
    """Adds to the plan, at the end of each reordered list's block, the
    negations of its entries (as the device shows them), then the entries
    intended, in order."""
    for path, before, after in rewrites:
        level = plan
        for text in path:
            level = level.child(text) or level.add(tree.Node(text))
        for node in before:
            level.add(tree.Node(negation + (node.original or node.text)))
        for node in after:
            level.add(node)


def remediation(running, intended, platform, noise=(), fixed=(), whole=(), lists=None, negations=()):
    """The lines that bring ``running`` to ``intended`` (texts), blocks
    closed by "exit"; none of them touches a top-level line matching a
    pattern of ``fixed`` (or its negation); a block matching a pattern of
    ``whole`` is emptied line by line instead of negated.  ``lists``
    (``ordered.Lists``): the lists rewritten whole where the change
    reorders them; ``negations``: (pattern, replacement) pairs, negations
    the CLI takes in another form."""
    hier_config = _hier_config()
    driver = getattr(hier_config.Platform, (platform or "generic").upper())
    current, wanted = tree.parse(running, noise), tree.parse(intended, noise)
    rewrites = _rewritten(lists, current, wanted)
    moved = set(id(node) for _, before, after in rewrites for node in before + after)
    before = hier_config.get_hconfig(driver, "\n".join(ordered.without(current, moved).lines()))
    after = hier_config.get_hconfig(driver, "\n".join(ordered.without(wanted, moved).lines()))
    plan = _as_nodes(hier_config.WorkflowRemediation(before, after).remediation_config, tree.Node(None))
    _rewrite(plan, rewrites, before.driver.negation_prefix)
    _neighbours_alone(plan)
    rules = ([re.compile(r"^(?:no )?(?:%s)" % pattern) for pattern in fixed],
             [re.compile(pattern) for pattern in whole],
             [(re.compile(pattern), replacement) for pattern, replacement in negations])
    out = []
    _flatten(plan.children, 0, out, current, rules)
    return out


def _additions(before, after, depth, out):
    for node in after.children:
        old = before.child(node.text)
        if old is None:
            out.append(" " * depth + node.text)
            sub = node.lines(depth + 1)
            out.extend(sub)
            if sub:
                out.append(" " * depth + "exit")
            continue
        below = []
        _additions(old, node, depth + 1, below)
        if below:
            out.append(" " * depth + node.text)
            out.extend(below)
            out.append(" " * depth + "exit")


def merge(running, additions, noise=(), lists=None):
    """The lines of ``additions`` (text) that ``running`` does not hold yet,
    under their parents: nothing is removed (an entry of a list the device
    numbered is there unnumbered too, ``lists``)."""
    out = []
    current, wanted = tree.parse(running, noise), tree.parse(additions, noise)
    if lists:
        lists.normalise(current, wanted)
    _additions(current, wanted, 0, out)
    return out


def closed_by(lines, word):
    """The plan's lines with each block closed by ``word`` (the CLI's
    command that leaves a block) rather than "exit"."""
    if word == "exit":
        return lines
    return [line[:len(line) - len("exit")] + word if line.strip() == "exit" else line for line in lines]


def set_style(running, intended, noise=(), negation="delete", lists=None):
    """For a flat list of ``set`` statements: the statements to delete,
    then those to set; then each list the change reorders (``lists``) is
    deleted entry by entry and set again in order."""
    before = tree.clean(running, noise) if isinstance(running, str) else list(running)
    after = tree.clean(intended, noise) if isinstance(intended, str) else list(intended)
    rewrites = []
    if lists:
        nodes = lists.reordered([tree.Node(line) for line in before], [tree.Node(line) for line in after])
        for old, new in nodes.values():
            rewrites += [negation + entry[entry.index(" "):] for entry in lists.entries(old)]
            rewrites += [node.text for node in new]
        moved = set(node.text for pair in nodes.values() for side in pair for node in side)
        before, after = [line for line in before if line not in moved], [line for line in after if line not in moved]
    keep = set(after)
    have = set(before)
    gone = [negation + line[line.index(" "):] for line in before if line not in keep and " " in line]
    return gone + [line for line in after if line not in have] + rewrites
