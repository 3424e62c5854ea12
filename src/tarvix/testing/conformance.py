"""The conformance check of a platform plugin against a device: the steps
every platform either passes or says why it need not.

``run_check(con)`` takes a connection not connected yet (built with
``learn_hostname=True``), connects, learns the hostname, proves paging is
off with the dialect's ``long_output`` (more lines than a page, and no
pager prompt among them), sends the dialect's ``rejected_exec`` and
``rejected_config`` and expects CommandError, applies and removes its
``harmless_config`` and reads the configuration back after each (only
with ``change``), saves (only with ``save``) and disconnects.  It returns
the steps, each (name, outcome, detail) with the outcome "pass", "fail",
"skip" (not asked, or the platform has no such thing) or "unproven" (the
platform has it, but its dialect does not state what the step sends, so
the check could not run it).  Each step's commands wait at most what is
left of ``timeout`` seconds from the step's start.
"""
import re
import time

from tarvix.bases.config import tree
from tarvix.core.errors import CommandError, LinkTimeoutError, NotSupportedError, TarvixError

PASS, FAIL, SKIP, UNPROVEN = "pass", "fail", "skip", "unproven"
# The fewest lines that prove a long output went through unpaged.
LONG_OUTPUT_LINES = 60
# What a pager shows when it waits for a key.
PAGER_PROMPTS = r"(?im)--\s*more\s*--|^\s*\(END\)\s*$|^:\s*$|press any key|<--- more --->"


class Step(object):
    """One step of the check: ``name``, ``outcome``, ``detail`` (the
    device's words or why), ``seconds``."""

    def __init__(self, name, outcome, detail="", seconds=0.0):
        self.name, self.outcome, self.detail, self.seconds = name, outcome, detail, seconds

    def as_dict(self):
        return {"step": self.name, "outcome": self.outcome, "detail": self.detail, "seconds": round(self.seconds, 3)}

    def __repr__(self):
        return "Step(%r, %r, %r)" % (self.name, self.outcome, self.detail)


def _words(text):
    lines = [line.strip() for line in (text or "").splitlines() if line.strip()]
    return " | ".join(lines[:2])[:120]


def _step(steps, name, action, check=None):
    """Runs ``action()`` (which returns (outcome, detail)) as the step
    ``name``; an error it raises fails the step with its first line."""
    began = time.monotonic()
    if check is not None:
        check.began = began
    try:
        outcome, detail = action()
    except (TarvixError, ValueError, OSError) as error:
        outcome, detail = FAIL, "%s: %s" % (type(error).__name__, _words(str(error)))
    steps.append(Step(name, outcome, detail, time.monotonic() - began))
    return outcome


def _refused(call, what, line=None, commit=()):
    """Passes when ``call()`` raises CommandError (for ``line`` itself or
    the ``commit`` that applies it, when given: not for the way into
    configuration), with the device's words."""
    try:
        output = call()
    except CommandError as error:
        if line is not None and error.command != line and error.command not in commit:
            return FAIL, "refused %r instead: %s" % (error.command, _words(error.output or str(error)))
        return PASS, _words(error.output or str(error))
    return FAIL, "%s was taken: no CommandError (the device said %r)" % (what, _words(output))


def _plain(line):
    # A configuration line as compared: quotes (vyos shows values quoted)
    # and runs of white space aside.
    return " ".join(line.replace("'", "").replace('"', "").split())


def _kept(lines, shown):
    """The lines of ``lines`` that the configuration ``shown`` holds."""
    held = set(_plain(line) for line in shown)
    return [line for line in lines if _plain(line) in held]


class _Check(object):
    def __init__(self, con, change, save, timeout=None):
        self.con, self.change, self.save, self.timeout = con, change, save, timeout
        self.began = time.monotonic()

    @property
    def dialect(self):
        """The connection's, read once it is connected (os "auto" finds it)."""
        return self.con.dialect

    def left(self):
        """The seconds a command of the step may wait: what is left of the
        step's time (None: the connection's own timeouts)."""
        if self.timeout is None:
            return None
        left = round(self.timeout - (time.monotonic() - self.began), 1)
        if left <= 0:
            raise LinkTimeoutError("not done within --timeout %s s" % self.timeout)
        return left

    def connect(self):
        self.con.connect()
        return PASS, "os %s" % self.con.os

    def hostname(self):
        name = self.con.learned_hostname
        machine = self.con.handles[0].state_machine
        name = machine.seen_hostname or (name if name and name == re.escape(name) else None)
        if not name:
            return FAIL, "no hostname in the prompt"
        return PASS, name

    def paging(self):
        command = self.dialect.long_output
        if not command:
            return UNPROVEN, "the dialect states no long output"
        output = self.con.execute(command, check=False, timeout=self.left())
        lines = len(output.splitlines())
        if re.search(PAGER_PROMPTS, output):
            return FAIL, "a pager prompt in the output of %r" % command
        if lines < LONG_OUTPUT_LINES:
            return FAIL, "%r gave %d lines, fewer than a page" % (command, lines)
        return PASS, "%r: %d lines, no pager prompt" % (command, lines)

    def rejected_exec(self):
        if not self.dialect.rejected_exec:
            if not self.dialect.error_patterns and not self.dialect.exit_status:
                return SKIP, "the platform tells no refusal"
            return UNPROVEN, "the dialect states no rejected command"
        command = self.dialect.rejected_exec
        return _refused(lambda: self.con.execute(command, timeout=self.left()), repr(command))

    def rejected_config(self):
        if not self.dialect.has_config:
            try:
                self.con.configure(["tarvix-check"])
            except NotSupportedError as error:
                return PASS, "no configuration mode: %s" % str(error).split("; ", 1)[-1]
            return FAIL, "configure() on a platform without configuration mode did not say so"
        if not self.dialect.rejected_config:
            return UNPROVEN, "the dialect states no rejected configuration line"
        line = self.dialect.rejected_config
        return _refused(lambda: self.con.configure([line], timeout=self.left()), repr(line), line,
                        self.dialect.commit)

    def _running(self):
        shown = self.con.execute(self.dialect.running_config_command, timeout=self.left())
        return tree.clean(shown, self.dialect.config_noise)

    def changed(self):
        if not self.change:
            return SKIP, "not asked (--change)"
        if not self.dialect.has_config:
            return SKIP, "no configuration on this platform"
        if not self.dialect.harmless_config or not self.dialect.running_config_command:
            return UNPROVEN, "the dialect states no %s" % ("harmless line" if not self.dialect.harmless_config
                                                             else "command that shows the configuration")
        apply, remove = self.dialect.harmless_config
        self.con.configure(apply, timeout=self.left())
        missing = [line for line in apply if line not in _kept(apply, self._running())]
        self.con.configure(remove, timeout=self.left())
        if missing:
            return FAIL, "applied, but %r is not in the running configuration" % missing[0]
        left = _kept(apply, self._running())
        if left:
            return FAIL, "removed, but %r is still in the running configuration" % left[0]
        return PASS, "applied %r, read back, removed" % apply[0]

    def saved(self):
        if not self.save:
            return SKIP, "not asked (--save)"
        if not self.dialect.save:
            return SKIP, "the platform has no save"
        return PASS, _words(self.con.save_config(timeout=self.left())) or "saved"

    def disconnect(self):
        self.con.disconnect()
        return PASS, ""


STEPS = ("connect", "hostname", "paging", "rejected_exec", "rejected_config", "changed", "saved", "disconnect")


def run_check(con, change=False, save=False, timeout=None):
    """Runs the check's steps on ``con`` (not connected yet); returns them.
    Once connecting failed, the other steps are skipped; the connection is
    always closed at the end.  ``timeout``: the seconds each step's
    commands may take together (None: each waits as the connection's do)."""
    check = _Check(con, change, save, timeout)
    steps = []
    try:
        if _step(steps, "connect", check.connect) != PASS:
            return steps + [Step(name, SKIP, "not connected") for name in STEPS[1:]]
        for name in STEPS[1:-1]:
            _step(steps, name, getattr(check, name), check)
        _step(steps, "disconnect", check.disconnect)
    finally:
        if con.connected:
            con.disconnect()
        con._close_links()
    return steps


def passed(steps):
    """Whether every step passed or was skipped: none failed, and none the
    platform has went unproven."""
    return all(step.outcome in (PASS, SKIP) for step in steps)


def table(steps):
    """The steps as a text table, one a line, then a line naming the steps
    skipped and one naming those unproven (where there are any)."""
    width, said = max(len(step.name) for step in steps), max(len(step.outcome) for step in steps)
    lines = ["%-*s  %-*s  %6.2f s  %s" % (width, step.name, said, step.outcome, step.seconds, step.detail)
             for step in steps]
    for outcome, said in ((SKIP, "skipped"), (UNPROVEN, "unproven")):
        names = [step.name for step in steps if step.outcome == outcome]
        if names:
            lines.append("%s: %s" % (said, ", ".join(names)))
    return "\n".join(lines)
