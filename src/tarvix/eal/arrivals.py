"""The work a link does each time the device's output arrives: the read and
the wait for it, decoding, the session log, the echo of the line sent, the
unread text and the window at its end that the patterns awaited are
searched in.

Each link (tarvix.eal.spawn) keeps an ``Arrivals`` object: native
(tarvix.eal.bytepath) where that module is built and the link is a program
on a pseudo-terminal or an in-process SSH channel, else ``PythonArrivals``
below, which does the same in Python.  Both have the same interface:

- ``size`` and ``consumed``: the characters unread, and those consumed so
  far; ``text()`` all the unread text, ``window()`` (the window, where it
  begins), ``consume(upto)`` and ``push_back(text)``;
- ``read(timeout, fixed, idle, echo, log, watch)``: waits at most
  ``timeout`` seconds for the device's output and takes what arrives: the
  session log ``log`` gets it (``SessionLog.received``), the unread text
  and its window grow, the echo ``echo`` is fed (tarvix.eal.echo).  With a
  ``watch`` (of ``watch()``) the native path goes on reading as long as no
  pattern of it could match what arrived, until ``fixed`` seconds from now
  or ``idle`` seconds after the last arrival, so that a console that echoes
  byte by byte costs the interpreter one return per match instead of one
  per byte.  It returns (characters, unread size before the last arrival,
  its time, arrivals); characters is -1 at the link's end, 0 when the time
  came with nothing.

Both paths take the same text in the same order and give the same outputs;
only how many reads an arrival takes may differ.  TARVIX_BYTEPATH=python in
the environment (read at import) takes the Python path everywhere.
"""
import os
import time

import pexpect

from tarvix.eal import candidates, waits

PATH_ENV = "TARVIX_BYTEPATH"

if os.environ.get(PATH_ENV, "").strip().lower() == "python":
    _native = None
    UNAVAILABLE = "the Python path was asked for (%s=python)" % PATH_ENV
else:
    try:
        from tarvix.eal import bytepath as _native
        UNAVAILABLE = None
    except ImportError as _error:  # not built here: the Python path
        _native = None
        UNAVAILABLE = "the native byte path is not built (%s)" % _error
PATH = "python" if _native is None else "native"


class PythonArrivals(object):
    """The unread text of one link and its reads, in the interpreter: the
    child's ``read_nonblocking`` (pexpect's, or an object of its shape)
    reads and decodes."""

    def __init__(self, child, limits):
        self._child = child
        self._window_size, self._overlap, _, _, self._read_size = limits
        self._chunks = []
        self.size = 0
        self.consumed = 0
        self._window = ""
        self._base = 0

    def read(self, timeout, fixed, idle, echo, log, watch):
        before = self.size
        try:
            text = self._child.read_nonblocking(self._read_size, timeout)
        except pexpect.TIMEOUT:
            return 0, before, 0.0, 0
        except pexpect.EOF:
            return -1, before, 0.0, 0
        if log is not None:
            log.received(text)
        self._add(text, echo)
        return len(text), before, time.monotonic(), 1 if text else 0

    def _add(self, text, echo):
        self._chunks.append(text)
        self.size += len(text)
        if echo is not None:
            echo.feed(text)
        if len(text) > self._window_size - self._overlap:
            self._set_window(self._window[-self._overlap:] + text)
        else:
            self._set_window((self._window + text)[-self._window_size:])

    def _set_window(self, window):
        """Keeps the newest unread text for searching: the last WINDOW
        characters, or more when one read brought more."""
        self._window = window
        self._base = self.size - len(window)

    def window(self):
        return self._window, self._base

    def text(self):
        if len(self._chunks) > 1:
            self._chunks = ["".join(self._chunks)]
        return self._chunks[0] if self._chunks else ""

    def consume(self, upto):
        text = self.text()
        taken, rest = text[:upto], text[upto:]
        self._chunks = [rest] if rest else []
        self.size = len(rest)
        self.consumed += upto
        self._set_window(rest[-self._window_size:])
        return taken

    def push_back(self, text):
        unread = text + self.text()
        self._chunks, self.size = [unread], len(unread)
        self.consumed -= len(text)
        self._set_window(unread[-self._window_size:])


def _terminal(child):
    """The pseudo-terminal a native path reads for a pexpect child, or None
    for one it cannot read as pexpect would (another encoding, logs of
    pexpect's own)."""
    if not isinstance(child, pexpect.spawn) or getattr(child, "ptyproc", None) is None:
        return None
    if (child.encoding or "").lower().replace("_", "-") not in ("utf-8", "utf8") or child.codec_errors != "replace":
        return None
    if child.logfile is not None or child.logfile_read is not None:
        return None
    return child.child_fd, child.pid


def make(child, limits):
    """The Arrivals of a link's child (``limits``: the window, its overlap,
    the reach of an anchored pattern, the echo's scan, the most bytes a read
    takes).  A link whose waits are an event loop's (tarvix.aio) takes the
    Python path: the native reads wait on the descriptor themselves, which
    would hold up the loop."""
    if _native is not None and not waits.now().elsewhere:
        terminal = _terminal(child)
        if terminal is not None:
            return _native.terminal(terminal[0], terminal[1], limits)
        source = getattr(child, "byte_source", None)
        source = source() if source is not None else None
        if source is not None:
            return _native.ssh(child, *(tuple(source) + (limits,)))
    return PythonArrivals(child, limits)


_watches = {}


def watch(searched):
    """What the patterns of one wait, (regex, anchored) pairs, can end on,
    for ``read``; None on the Python path (which searches after each
    arrival) or when nothing is known of one of them."""
    if _native is None:
        return None
    key = tuple(regex for regex, _ in searched)
    found = _watches.get(key)
    if found is None:
        endings = [candidates.ending_of(regex) for regex in key]
        found = None if candidates.ALWAYS in endings else _native.watch(endings)
        if len(_watches) >= 256:
            _watches.clear()
        _watches[key] = found
    return found
