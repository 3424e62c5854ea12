"""What to send to bring a device from one configuration to another: the
lines to remove and to add, in an order the device accepts, worked out by
hier-config (the ``config`` extra) for CLIs that apply each line at once,
and the set/delete lines of a CLI whose configuration is a flat list of
``set`` statements."""
import re

from tarvix.bases.config import tree
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
_WHOLE_OBJECT = re.compile(r"^no neighbor \S+ (?:remote-as|peer-group)\b")


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


def _flatten(children, depth, fixed, out, running, whole):
    """The plan's lines; a negation of a block the device cannot remove
    whole (``whole``: patterns) becomes the negation of each of its lines,
    as ``running`` (the configuration's node at this level) holds them."""
    for child in _negations_ordered(children):
        if depth == 0 and any(pattern.match(child.text) for pattern in fixed):
            continue
        block = running.child(child.text[3:]) if child.text.startswith("no ") and running is not None else None
        if block is not None and block.children and any(pattern.match(block.text) for pattern in whole):
            out.append(" " * depth + block.text)
            out.extend(" " * (depth + 1) + "no " + line.text for line in block.children)
            out.append(" " * depth + "exit")
            continue
        out.append(" " * depth + child.text)
        below = list(child.children)
        if below:
            _flatten(below, depth + 1, (), out, running.child(child.text) if running is not None else None, whole)
            out.append(" " * depth + "exit")


def remediation(running, intended, platform, noise=(), fixed=(), whole=()):
    """The lines that bring ``running`` to ``intended`` (texts), blocks
    closed by "exit"; none of them touches a top-level line matching a
    pattern of ``fixed`` (or its negation); a block matching a pattern of
    ``whole`` is emptied line by line instead of negated."""
    hier_config = _hier_config()
    driver = getattr(hier_config.Platform, (platform or "generic").upper())
    current = tree.parse(running, noise)
    before = hier_config.get_hconfig(driver, "\n".join(current.lines()))
    after = hier_config.get_hconfig(driver, "\n".join(tree.parse(intended, noise).lines()))
    plan = hier_config.WorkflowRemediation(before, after).remediation_config
    patterns = [re.compile(r"^(?:no )?(?:%s)" % pattern) for pattern in fixed]
    out = []
    _flatten(plan.children, 0, patterns, out, current, [re.compile(pattern) for pattern in whole])
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


def merge(running, additions, noise=()):
    """The lines of ``additions`` (text) that ``running`` does not hold yet,
    under their parents: nothing is removed."""
    out = []
    _additions(tree.parse(running, noise), tree.parse(additions, noise), 0, out)
    return out


def closed_by(lines, word):
    """The plan's lines with each block closed by ``word`` (the CLI's
    command that leaves a block) rather than "exit"."""
    if word == "exit":
        return lines
    return [line[:len(line) - len("exit")] + word if line.strip() == "exit" else line for line in lines]


def set_style(running, intended, noise=(), negation="delete"):
    """For a flat list of ``set`` statements: the statements to delete,
    then those to set."""
    before = tree.clean(running, noise) if isinstance(running, str) else list(running)
    after = tree.clean(intended, noise) if isinstance(intended, str) else list(intended)
    keep = set(after)
    have = set(before)
    gone = [negation + line[line.index(" "):] for line in before if line not in keep and " " in line]
    return gone + [line for line in after if line not in have]
