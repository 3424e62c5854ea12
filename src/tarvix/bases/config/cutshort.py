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


def _listed(lines):
    masked = secrets.mask_config(list(lines))
    shown = ", ".join(repr(line) for line in masked[:SHOWN])
    return shown + (" and %d more" % (len(masked) - SHOWN) if len(masked) > SHOWN else "")


def error(device, cause, progress, lines, before, commit):
    """The ConfigCutShortError of a round of ``lines`` (then the ``commit``
    commands, none where each line applies at once) that ``cause`` (a link's
    error) cut short."""
    acknowledged = list(progress.acknowledged)
    unanswered = progress.sent[len(acknowledged):]
    said = "; ".join(line.strip() for line in str(cause).splitlines() if line.strip())
    parts = ["%s: the change was cut short after %d of %d line(s) were acknowledged (%s)"
             % (device, len(acknowledged), len(lines) + len(commit), said)]
    if acknowledged:
        parts.append("acknowledged: %s" % _listed(acknowledged))
    if unanswered:
        parts.append("sent without an answer: %s" % _listed(unanswered))
    if commit:
        committed = all(line in acknowledged for line in commit)
        parts.append("the CLI stages its lines: %s" % (
            "the commit was acknowledged" if committed else "they apply only if the commit went through"))
    parts.append("nothing was undone: rollback_config(before=error.before) on a new connection brings back "
                 "the configuration before")
    failure = ConfigCutShortError("; ".join(parts))
    failure.sent = secrets.mask_config(list(progress.sent))
    failure.acknowledged = secrets.mask_config(acknowledged)
    failure.command = secrets.mask_config(unanswered)[0] if unanswered else None
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
