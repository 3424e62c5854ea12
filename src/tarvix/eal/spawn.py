"""Device links: a program (telnet, ssh, a console server client, the bundled
simulator...) run on a pseudo-terminal, whose output is read and matched.

Output is read in large pieces and kept as a list of pieces; each read is
matched only in a bounded window at the end of what is unread (the newest
output and a margin before it), so that reading a large output costs time in
proportion to its size.  A match is found as soon as its last character has
been read, also when it straddles two reads, as long as it is no longer than
``OVERLAP`` characters (``ANCHOR_REACH`` for a pattern anchored at the end
with a final ``\\Z``, which is only looked for that far from the end).
"""
import logging
import os
import re
import shlex
import signal
import time

import pexpect

from tarvix.core.errors import ConnectionError, LinkClosedError, LinkTimeoutError, link_message
from tarvix.eal import secrets as _secrets, waits
from tarvix.eal.echo import ECHO_SCAN, Echo  # noqa: F401 (ECHO_SCAN: where it was)
from tarvix.eal.secrets import MASK, command_secrets, mask_command  # noqa: F401 (also offered here)
from tarvix.eal.linkprocess import kill_program, LinkProcess, reap_program
from tarvix.eal.sessionlog import open_session_log

# Characters at the end of the unread output that every read searches.
WINDOW = 16384
# Characters before the newest output searched again with it, so that a match
# that began in an earlier read is still found.
OVERLAP = 1024
# A pattern anchored at the end of the text (ending in \Z, as prompts are)
# matches within this many characters of the end, or not at all.
ANCHOR_REACH = 2048
# Largest piece taken from the terminal in one read.
READ_SIZE = 1 << 20
# How long a device must stay quiet before a match that is not confirmed
# (its line's echo unseen, fewer prompts than lines sent...) is taken.
SETTLE = 0.5
# How long a wait lasts before it is logged what is awaited.
NOTICE_AFTER = 1.0
# How long a link's program is given to end once its terminal is hung up
# before it is killed, and the longest pause between two looks.
CLOSE_GRACE = 0.1
CLOSE_POLL = 0.005


class ExpectResult(object):
    """What one successful ``expect`` read.

    ``match_output`` is the text read up to the match (after the echo of the
    line sent, when the echo was awaited and seen), ``match`` the regular
    expression match itself, ``index`` the position of the matching pattern
    in the list given; ``echoed`` tells whether the echo was seen.
    """

    def __init__(self, index, match, match_output, echoed=False):
        self.index = index
        self.match = match
        self.match_output = match_output
        self.echoed = echoed

    @property
    def matched(self):
        return self.match.group(0)

    def __repr__(self):
        return "ExpectResult(index=%d, match_output=%r)" % (self.index, self.match_output)


def _compile(pattern):
    return re.compile(pattern) if isinstance(pattern, str) else pattern


def _describe(patterns):
    shown = []
    for p in patterns:
        text = repr(p.pattern)
        shown.append(text if len(text) <= 60 else text[:57] + "...")
    return " or ".join(shown)


def _now():
    return time.monotonic()


def _searched(pattern, awaiting):
    """The patterns of an expect as (regex, anchored at the end) pairs, and
    what is awaited in words."""
    patterns = [_compile(p) for p in (pattern if isinstance(pattern, (list, tuple)) else [pattern])]
    searched = [(regex, isinstance(regex.pattern, str) and regex.pattern.endswith("\\Z")) for regex in patterns]
    return searched, awaiting or _describe(patterns)


def _wait_for(now, deadline, notice_at, last_data, quiet_needed, idle):
    """How long an expect reads before it looks again: until its deadline,
    the quiet a match waits for, the next idle call or the notice."""
    wait = deadline - now
    if quiet_needed:
        wait = min(wait, max(last_data + quiet_needed - now, 0.01))
    elif idle is not None:
        wait = min(wait, max(last_data + idle[0] - now, 0.01))
    if notice_at is not None:
        wait = min(wait, max(notice_at + NOTICE_AFTER - now, 0.01))
    return wait


class Spawn(object):
    """A running device link.

    ``command`` is one command line, split like a shell would split it.
    ``device`` names the device (and route processor) in messages.  The
    program starts when the object is built; ``close`` ends it.

    ``bare_lines`` counts the bare lines sent whose answer has not been read
    yet (each one makes a console print one prompt); the state machine keeps
    it.  ``echoes`` is False once the device was found not to echo lines.

    ``session_log``: a path or a writable file object that gets every
    character sent and read on the link, secrets masked (see
    tarvix.eal.sessionlog); a path is opened for appending now and closed by
    ``close``.
    """

    def __init__(self, command, device, timeout=30, log=None, env=None, dimensions=(24, 200), session_log=None,
                 secrets=()):
        self.command = command
        self.device = device
        self.timeout = timeout
        self.log = log or logging.getLogger("tarvix")
        # The link's own secrets: those of its connection (``secrets``), the
        # passwords written into the command and the hidden lines sent; the
        # process masks them everywhere from now on.
        self._secrets = set(s for s in secrets if s.strip()) | command_secrets(command)
        for secret in self._secrets:
            _secrets.remember(secret)
        self._chunks = []
        self._size = 0
        self._window = ""
        self._window_base = 0
        self._consumed = 0
        self._last_output = ""
        self._echo = None
        self.bare_lines = 0
        self.echoes = None
        self._ended = False
        argv = shlex.split(command)
        if not argv:
            raise ValueError("empty start command for %s" % device)
        self.session_log = None
        if session_log is not None:
            try:
                # The process's other secrets too: a line sent here may
                # hold another device's password.
                self.session_log = open_session_log(session_log, self._secrets | set(_secrets.known()))
            except OSError as error:
                raise ConnectionError("%s: cannot open the session log %s: %s"
                                      % (device, session_log, error.strerror or error))
        self._child = None
        try:
            self._child = self._start(argv, env, dimensions)
        except BaseException:
            if self.session_log is not None:
                self.session_log.close()
            raise

    def _start(self, argv, env, dimensions):
        """Starts the link's program; returns the pexpect child that the
        link reads and writes (another kind of link returns an object of
        the same shape: see tarvix.eal.ssh.link)."""
        child = LinkProcess(argv[0], argv[1:], timeout=self.timeout, env=env, encoding="utf-8",
                             codec_errors="replace", dimensions=dimensions)
        try:
            # Lines are only sent once the device has printed what is
            # awaited, so pexpect's fixed pause before each send is not needed.
            child.delaybeforesend = None
            self.log.debug("%s: started %r (pid %d)", self.device, self._masked_command(), child.pid)
        except BaseException:
            kill_program(child.pid)
            child.ptyproc.fileobj.close()
            raise
        return child

    @property
    def pid(self):
        return self._child.pid

    @property
    def closed(self):
        return self._child.closed

    def isalive(self):
        return self._child.isalive()

    # -- sending ---------------------------------------------------------

    def _terminal_echoes(self):
        """Whether the link's terminal echoes what is typed (a program that
        leaves it in line mode, as telnet to a port that negotiates none)."""
        try:
            return bool(self._child.getecho())
        except Exception:  # no terminal (an in-process link), or one closed (termios.error)
            return False

    def _mark_sent(self, text):
        if text.strip():
            self._echo = Echo(text, self._consumed + self._size, self._terminal_echoes())
        else:
            self._echo = None
            self.bare_lines += 1

    def send(self, text):
        if self.session_log is not None:
            self.session_log.sent(text)
        self._child.send(text)

    def sendline(self, text=""):
        if self.log.isEnabledFor(logging.DEBUG):
            self.log.debug("%s: sending %r", self.device, self.mask(text))
        self._mark_sent(text)
        if self.session_log is not None:
            self.session_log.sent(text + self._child.linesep)
        self._child.sendline(text)

    def send_secret(self, text):
        """Sends a line that must never be logged (a password)."""
        self.log.debug("%s: sending a hidden line", self.device)
        if text:
            self._secrets.add(text)
            _secrets.remember(text)
        if self.session_log is not None:
            if text:
                self.session_log.secrets.add(text)
            self.session_log.sent_secret(self._child.linesep)
        self._child.sendline(text)

    def add_secret(self, text):
        """A secret about to be typed or shown (a configuration line's
        password): masked from now on, in the session log too."""
        if not text or not text.strip():
            return
        self._secrets.add(text)
        _secrets.remember(text)
        if self.session_log is not None:
            self.session_log.secrets.add(text)

    def mask(self, text):
        """The text with every secret masked: the link's own (its
        connection's, those of its command, the hidden lines sent) and
        those the process knows (see tarvix.eal.secrets)."""
        return _secrets.mask(text, self._secrets)

    def _masked_command(self):
        return self.mask(mask_command(self.command))

    # -- reading ---------------------------------------------------------

    def _add(self, text):
        self._chunks.append(text)
        self._size += len(text)
        if self._echo is not None:
            self._echo.feed(text)
        if len(text) > WINDOW - OVERLAP:
            self._set_window(self._window[-OVERLAP:] + text)
        else:
            self._set_window((self._window + text)[-WINDOW:])

    def _set_window(self, window):
        """Keeps the newest unread text for searching: the last WINDOW
        characters, or more when one read brought more."""
        self._window = window
        self._window_base = self._size - len(window)

    def _read(self, timeout):
        """Reads what the device prints within ``timeout`` seconds; returns
        the number of characters read.  Raises pexpect.EOF at the end."""
        try:
            text = self._child.read_nonblocking(READ_SIZE, timeout)
        except pexpect.TIMEOUT:
            return 0
        if self.session_log is not None:
            self.session_log.received(text)
        self._add(text)
        return len(text)

    def _unread_text(self):
        if len(self._chunks) > 1:
            self._chunks = ["".join(self._chunks)]
        return self._chunks[0] if self._chunks else ""

    def _consume(self, upto):
        """Drops the unread text before offset ``upto``; returns it."""
        text = self._unread_text()
        taken, rest = text[:upto], text[upto:]
        self._chunks = [rest] if rest else []
        self._size = len(rest)
        self._consumed += upto
        self._set_window(rest[-WINDOW:])
        return taken

    def flush(self, whole_lines=False):
        """Drops whatever the device printed and nobody has read yet, also
        what it printed that is waiting to be read; returns that text.  With
        ``whole_lines``, a last line without its line end yet is kept."""
        try:
            while self._read(0):
                pass
        except pexpect.EOF:
            pass
        upto = self._size
        if whole_lines:
            text = self._unread_text()
            upto = max(text.rfind("\n"), text.rfind("\r")) + 1
        return self._consume(upto)

    def _search(self, patterns, lo, whole):
        """The earliest match of any pattern starting at unread offset
        ``lo`` or later; searches all the unread text when ``whole``, else
        the window.  ``patterns`` are (regex, anchored) pairs, anchored for
        a pattern that matches only at the end of the text.  Returns (index,
        match, start, end) in unread offsets."""
        if whole:
            text, base = self._unread_text(), 0
        elif self._window_base == 0:
            text, base = self._window, 0
        else:
            # The first character stands in for the text before the window:
            # no match starts on it, and \A cannot match after it.
            text, base = "\x00" + self._window, self._window_base - 1
        pos = max(lo - base, 1 if base else 0)
        tail = max(pos, len(text) - ANCHOR_REACH)
        best = None
        for index, (regex, anchored) in enumerate(patterns):
            found = regex.search(text, tail if anchored else pos)
            if found and (best is None or found.start() < best[1].start()):
                best = (index, found)
        if best is None:
            return None
        return best[0], best[1], base + best[1].start(), base + best[1].end()

    def expect(self, pattern, timeout=None, echo=False, confirm=None, idle=None, awaiting=None):
        """Waits until the device prints something that matches ``pattern``
        (a regular expression, compiled or not, or a list of them).

        ``echo`` true: the match must follow the echo of the last line sent
        with ``sendline``; text before it is stale and dropped.  A match seen
        while the echo is not is taken only once the device stays quiet for
        SETTLE seconds (a device that does not echo).  ``confirm(index, match,
        before)`` may delay a match likewise: it returns 0 to take it at
        once, or the seconds of quiet after which it is taken (``before`` is
        a callable giving all the unread text up to the match).  ``idle`` is a pair
        (seconds, callback): the callback is called each time the device has
        printed nothing for that long while no match is pending.
        ``awaiting`` describes what is awaited, for messages.

        Returns an ExpectResult; raises LinkTimeoutError when nothing matches
        within ``timeout`` seconds (the spawn's own timeout when None) and
        LinkClosedError when the link ends first.
        """
        searched, awaiting = _searched(pattern, awaiting)
        timeout = self.timeout if timeout is None else timeout
        began = _now()
        deadline = began + timeout
        last_data = began
        noticed = False
        whole = True
        echo_state = self._echo if echo else None
        scanned = 0
        while True:
            lo = 0
            if echo_state is not None and echo_state.end is not None:
                lo = max(echo_state.end - self._consumed, 0)
            found = self._search(searched, max(lo, scanned), whole)
            whole = False
            quiet_needed = None
            if found is not None:
                quiet_needed = self._quiet_needed(found, echo_state, confirm)
                if quiet_needed == 0 or _now() - last_data >= quiet_needed:
                    return self._take(found[0], found[1], found[2], found[3], lo, echo_state)
            now = _now()
            if now >= deadline:
                raise self._failure(LinkTimeoutError, "timed out after %s s waiting for %s" % (timeout, awaiting))
            if not noticed and now - began >= NOTICE_AFTER:
                noticed = True
                self.log.info("%s: waiting for %s ...", self.device, awaiting)
            if not quiet_needed and idle is not None and now - last_data >= idle[0]:
                idle[1](self)
                last_data = now = _now()
            wait = _wait_for(now, deadline, None if noticed else began, last_data, quiet_needed, idle)
            before = self._size
            try:
                got = self._read(wait)
            except pexpect.EOF:
                raise self._failure(LinkClosedError, "link closed while waiting for %s" % awaiting)
            if got:
                last_data = _now()
                # The next search covers the new text and a margin before it.
                scanned = max(before - OVERLAP, 0)

    def _quiet_needed(self, found, echo_state, confirm):
        """How long the device must stay quiet before a match found is
        taken (0: at once)."""
        index, match, start, end = found
        quiet_needed = 0
        if echo_state is not None and not echo_state.settled and self.echoes is not False:
            quiet_needed = SETTLE
        if confirm is not None:
            needed = confirm(index, match, lambda: self._unread_text()[:start])
            quiet_needed = max(quiet_needed, needed or 0)
        return quiet_needed

    def _failure(self, kind, awaited):
        """The error of a wait that ended without a match, with the device's
        last words."""
        self._last_output = self._unread_text()
        return kind(link_message(self.device, self.mask(self._last_output), awaited))

    def _take(self, index, match, start, end, lo, echo_state):
        text = self._consume(end)
        echoed = echo_state is not None and echo_state.end is not None
        if echo_state is not None:
            if echoed:
                self.echoes = True
            elif not echo_state.absent and self.echoes is None:
                self.echoes = False
        if echoed:
            lo = min(echo_state.repeat_end(text, lo), start)
        output = text[lo:start] if echoed else text[:start]
        self._last_output = text[:start]
        return ExpectResult(index, match, output, echoed)

    def tail(self, size=120):
        """The last ``size`` characters of what the device printed before
        the last match or failure, with any hidden line sent on this link
        masked."""
        return self.mask(self._last_output[-size:])

    def unread(self):
        """What the device printed that no expect has consumed yet."""
        return self._unread_text()

    def push_back(self, text):
        """Puts ``text`` (read before) back in front of what is unread, for
        the next expect to read again."""
        unread = text + self._unread_text()
        self._chunks, self._size = [unread], len(unread)
        self._consumed -= len(text)
        self._set_window(unread[-WINDOW:])

    def abort(self):
        """Kills the link's program from any thread, without waiting: whoever
        waits on the link then gets LinkClosedError at once (the terminal
        reads its end).  ``close`` still has to be called by the link's user
        to collect the program and close the terminal."""
        if self._ended:
            return
        pid = self._child.pid
        try:
            # The program leads a session of its own: what it started, e.g.
            # a wrapper's child holding the terminal, goes with it.
            if os.getpgid(pid) == pid:
                os.killpg(pid, signal.SIGKILL)
            else:
                os.kill(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def close(self):
        """Ends the link's program: hangs up its terminal, which makes a
        program such as ssh or telnet end at once, and kills it when it is
        still running after CLOSE_GRACE seconds; returns once it has ended.
        A second call does nothing (unless the first was interrupted before
        the program ended)."""
        if self._ended:
            return
        try:
            self._end()
            self._ended = True
        finally:
            if self.session_log is not None:
                log, self.session_log = self.session_log, None
                log.close()
            self.log.debug("%s: link closed", self.device)

    def _end(self):
        """Hangs up the program's terminal and collects the program."""
        child = self._child
        proc = child.ptyproc
        if not child.closed:
            try:
                proc.fileobj.close()
            except OSError:
                pass
            proc.fd = child.child_fd = -1
            proc.closed = child.closed = True
        deadline = _now() + CLOSE_GRACE
        pause = 0.0005
        while not reap_program(proc, block=False):
            now = _now()
            if now >= deadline:
                try:
                    os.kill(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                reap_program(proc, block=True)
                break
            waits.sleep(min(pause, deadline - now))
            pause = min(pause * 2, CLOSE_POLL)
        # Hands the exit status to the pexpect object.
        child.isalive()

    def __str__(self):
        return "%s via '%s'" % (self.device, self._masked_command())

    def __repr__(self):
        return "<Spawn %s>" % self
