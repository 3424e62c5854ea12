"""Device links: a program (telnet, ssh, a console server client, the bundled
simulator...) run on a pseudo-terminal, whose output is read and matched."""
import logging
import re
import shlex

import pexpect

from tarvix.core.errors import LinkClosedError, LinkTimeoutError


class ExpectResult(object):
    """What one successful ``expect`` read.

    ``match_output`` is the text read up to the match, ``match`` the regular
    expression match itself, ``index`` the position of the matching pattern
    in the list given.
    """

    def __init__(self, index, match, match_output):
        self.index = index
        self.match = match
        self.match_output = match_output

    @property
    def matched(self):
        return self.match.group(0)

    def __repr__(self):
        return "ExpectResult(index=%d, match_output=%r)" % (self.index, self.match_output)


def _compile(pattern):
    return re.compile(pattern) if isinstance(pattern, str) else pattern


def _describe(patterns):
    return " or ".join(repr(p.pattern) for p in patterns)


class Spawn(object):
    """A running device link.

    ``command`` is one command line, split like a shell would split it.
    ``device`` names the device (and route processor) in messages.  The
    program starts when the object is built; ``close`` ends it.
    """

    def __init__(self, command, device, timeout=30, log=None, env=None, dimensions=(24, 200)):
        self.command = command
        self.device = device
        self.timeout = timeout
        self.log = log or logging.getLogger("tarvix")
        self._secrets = set()
        argv = shlex.split(command)
        if not argv:
            raise ValueError("empty start command for %s" % device)
        self._child = pexpect.spawn(argv[0], argv[1:], timeout=timeout, env=env, encoding="utf-8",
                                    codec_errors="replace", dimensions=dimensions)
        # Lines are only sent once the device has printed what is awaited,
        # so pexpect's fixed pause before each send is not needed.
        self._child.delaybeforesend = None
        self.log.debug("%s: started %r (pid %d)", device, command, self._child.pid)

    @property
    def pid(self):
        return self._child.pid

    @property
    def closed(self):
        return self._child.closed

    def isalive(self):
        return self._child.isalive()

    def send(self, text):
        self._child.send(text)

    def sendline(self, text=""):
        self.log.debug("%s: sending %r", self.device, text)
        self._child.sendline(text)

    def send_secret(self, text):
        """Sends a line that must never be logged (a password)."""
        self.log.debug("%s: sending a hidden line", self.device)
        if text:
            self._secrets.add(text)
        self._child.sendline(text)

    def flush(self):
        """Drops whatever the device printed and nobody has read yet."""
        try:
            while True:
                self._child.read_nonblocking(size=65536, timeout=0)
        except (pexpect.TIMEOUT, pexpect.EOF):
            pass
        self._child.buffer = ""

    def expect(self, pattern, timeout=None):
        """Waits until the device prints something that matches ``pattern``
        (a regular expression, compiled or not, or a list of them).

        Returns an ExpectResult; raises LinkTimeoutError when nothing matches
        within ``timeout`` seconds (the spawn's own timeout when None) and
        LinkClosedError when the link ends first.
        """
        patterns = [_compile(p) for p in (pattern if isinstance(pattern, (list, tuple)) else [pattern])]
        timeout = self.timeout if timeout is None else timeout
        try:
            index = self._child.expect_list(patterns, timeout=timeout)
        except pexpect.TIMEOUT:
            raise LinkTimeoutError("%s: timed out after %s s waiting for %s; last output: %r"
                                   % (self.device, timeout, _describe(patterns), self.tail()))
        except pexpect.EOF:
            raise LinkClosedError("%s: link closed while waiting for %s; last output: %r"
                                  % (self.device, _describe(patterns), self.tail()))
        return ExpectResult(index, self._child.match, self._child.before)

    def tail(self):
        """The last part of what the device printed before the last match or
        failure, with any hidden line sent on this link masked."""
        before = self._child.before
        text = before[-120:] if isinstance(before, str) else ""
        for secret in self._secrets:
            text = text.replace(secret, "****")
        return text

    def unread(self):
        """What the device printed that no expect has consumed yet."""
        return self._child.buffer

    def close(self):
        """Ends the link's program; a second call does nothing."""
        if not self._child.closed:
            try:
                self._child.close(force=True)
            finally:
                self.log.debug("%s: link closed", self.device)

    def __str__(self):
        return "%s via '%s'" % (self.device, self.command)

    def __repr__(self):
        return "<Spawn %s>" % self
