"""A configuration change cut short: the link dropped, or the device stopped
answering, while the change's lines were sent.  The lines of one round are
followed as they go (``Progress``), the error tells what was sent and what
the device acknowledged, and the configuration before the change is kept
outside the connection (``keep``) before anything is sent, so that a new
connection can bring it back."""
import os

from tarvix.core.errors import ConfigCutShortError
from tarvix.eal import secrets

# Lines the message lists of what was acknowledged; the error holds them all.
SHOWN = 10


class Progress(object):
    """The lines of one configuration round as they go: ``sent`` (written to
    the link) and ``acknowledged`` (answered with a prompt, refused by
    nothing), the commit's lines included."""

    def __init__(self):
        self.sent, self.acknowledged = [], []


def _listed(masked):
    shown = ", ".join(repr(line) for line in masked[:SHOWN])
    return shown + (" and %d more" % (len(masked) - SHOWN) if len(masked) > SHOWN else "")


def error(device, cause, progress, lines, before, commit, patterns):
    """The ConfigCutShortError of a round of ``lines`` (then the ``commit``
    commands, none where each line applies at once) that ``cause`` (a link's
    error) cut short; the lines shown and kept masked by the dialect's
    secret ``patterns``."""
    acknowledged = secrets.mask_config(list(progress.acknowledged), patterns)
    unanswered = secrets.mask_config(progress.sent[len(acknowledged):], patterns)
    said = "; ".join(line.strip() for line in str(cause).splitlines() if line.strip())
    parts = ["%s: the change was cut short after %d of %d line(s) were acknowledged (%s)"
             % (device, len(acknowledged), len(lines) + len(commit), said)]
    if acknowledged:
        parts.append("acknowledged: %s" % _listed(acknowledged))
    if unanswered:
        parts.append("sent without an answer: %s" % _listed(unanswered))
    if commit:
        committed = all(line in progress.acknowledged for line in commit)
        parts.append("the CLI stages its lines: %s" % (
            "the commit was acknowledged" if committed else "they apply only if the commit went through"))
    parts.append("nothing was undone: rollback_config(before=error.before) on a new connection brings back "
                 "the configuration before")
    failure = ConfigCutShortError("; ".join(parts))
    failure.sent = secrets.mask_config(list(progress.sent), patterns)
    failure.acknowledged = acknowledged
    failure.command = unanswered[0] if unanswered else None
    failure.output = getattr(cause, "output", None)
    failure.before = before
    return failure


def keep(path, text):
    """Writes a configuration's text to ``path``, readable by its owner only
    (it holds the device's secrets), whole or not at all."""
    temporary = "%s.%d.tmp" % (path, os.getpid())
    handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise
