"""Session logs: every character sent on a device link and every character
the device printed, in the order they passed, with the secrets masked.

A ``SessionLog`` writes to a path (opened for appending by ``open_session_log``,
closed by ``close``) or to a file object the caller owns (written and
flushed, never closed).  Text the device printed is held back by up to one
secret's length less one character, so that a secret split over two reads
is still masked, and, where the log knows a dialect's configuration lines
that hold secrets (``secret_lines``), up to the end of its line, so that
such a line is masked whole; ``flush`` writes what is held back.

A line the device echoes is recorded once, as echoed: what was sent is
written only when the device does not print it back (a hidden line's mask,
a line the device answers without echoing it).
"""
import io
import os

from tarvix.eal.secrets import MASK, mask_lines


def rp_path(path, rp):
    """The session log path of one route processor: the RP's name inserted
    before the suffix ("r1.log" -> "r1.a.log", "r1" -> "r1.a")."""
    path = os.fspath(path)
    head, tail = os.path.split(path)
    stem, suffix = os.path.splitext(tail)
    return os.path.join(head, "%s.%s%s" % (stem, rp, suffix))


def is_path(target):
    return isinstance(target, str) or hasattr(target, "__fspath__")


def _binary(stream):
    if isinstance(stream, io.TextIOBase):
        return False
    if isinstance(stream, (io.RawIOBase, io.BufferedIOBase)):
        return True
    return "b" in getattr(stream, "mode", "")


class SessionLog(object):
    """Writes one link's traffic to ``stream``; ``owned`` streams (opened
    from a path) are closed by ``close``, the caller's are only flushed.
    ``secrets`` is the set of texts to mask; the link adds the passwords it
    sends to it.  ``secret_lines``: a dialect's patterns of the
    configuration lines that hold secrets (``Dialect.config_secrets``),
    whose secrets are masked in every line sent or shown."""

    def __init__(self, stream, secrets, owned=False):
        self.stream = stream
        self.secrets = secrets
        self.owned = owned
        self.binary = _binary(stream)
        self._pending = ""
        self.secret_lines = ()
        # What was sent and may yet be echoed, and the part of the echo read.
        self._sent = None
        self._echoed = ""

    def _mask(self, text):
        if self.secret_lines:
            lines = text.split("\n")
            ends = [len(line) - len(line.rstrip("\r")) for line in lines]
            masked = mask_lines([line[:len(line) - end] for line, end in zip(lines, ends)], self.secret_lines)
            text = "\n".join(line + "\r" * end for line, end in zip(masked, ends))
        for secret in sorted(self.secrets, key=len, reverse=True):
            text = text.replace(secret, MASK)
        return text

    def _write(self, text):
        if not text:
            return
        self.stream.write(text.encode("utf-8", "replace") if self.binary else text)
        self.stream.flush()

    def received(self, text):
        """What the device printed."""
        if self._sent is not None:
            text = self._echo(text)
            if text is None:
                return
        if not self.secrets and not self.secret_lines:
            self._write(self._pending + text)
            self._pending = ""
            return
        text = self._pending + text
        longest = max([len(secret) for secret in self.secrets] or [1])
        cut = max(len(text) - longest + 1, 0)
        # A secret that begins before the cut and ends after it is kept
        # back whole.
        moved = True
        while moved:
            moved = False
            for secret in self.secrets:
                start = text.find(secret, max(cut - len(secret) + 1, 0))
                if 0 <= start < cut:
                    cut, moved = start, True
        if self.secret_lines:
            # Whole lines only.
            cut = text.rfind("\n", 0, cut + 1) + 1
        self._pending = text[cut:]
        self._write(self._mask(text[:cut]))

    def _echo(self, text):
        """What of ``text`` to write now, given the line sent before it:
        None while it is the start of that line's echo; once the echo is
        whole, all of it (the echo stands for what was sent); when the device
        prints something else, the line sent first."""
        line = self._sent.rstrip("\r\n")
        text = self._echoed + text
        if len(text) < len(line) and line.startswith(text):
            self._echoed = text
            return None
        if not text.startswith(line):
            self._write(self._mask(self._sent))
        self._sent, self._echoed = None, ""
        return text

    def _unechoed(self):
        """Writes the line sent whose echo never came whole."""
        if self._sent is not None:
            sent, echoed = self._sent, self._echoed
            self._sent, self._echoed = None, ""
            self._write(self._mask(sent))
            if echoed:
                self.received(echoed)

    def sent(self, text):
        """What was sent to the device: written when the device does not
        echo it."""
        self.flush()
        self._sent = text

    def sent_secret(self, line_end):
        """A hidden line was sent: only the mask is written."""
        self.flush()
        self._write(MASK + line_end)

    def flush(self):
        self._unechoed()
        if self._pending:
            text, self._pending = self._pending, ""
            self._write(self._mask(text))

    def close(self):
        """Writes what is held back; closes the stream if tarvix opened it."""
        try:
            self.flush()
        finally:
            if self.owned:
                self.stream.close()


def open_session_log(target, secrets=()):
    """A SessionLog for a path (opened for appending) or a file object."""
    if is_path(target):
        return SessionLog(open(os.fspath(target), "ab"), set(secrets), owned=True)
    if not hasattr(target, "write"):
        raise ValueError("session_log is a path or a writable file object, not %r" % (target,))
    return SessionLog(target, set(secrets))
