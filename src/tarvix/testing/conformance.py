"""The conformance check of a platform plugin against a device: the steps
every platform either passes or says why it need not.

``run_check(con)`` takes a connection not connected yet (built with
``learn_hostname=True``), connects, learns the hostname, proves paging is
off with the dialect's ``long_output`` (more lines than a page, and no
pager prompt among them), sends the dialect's ``rejected_exec`` and
``rejected_config`` and expects CommandError, applies and removes its
``harmless_config`` (only with ``change``), saves (only with ``save``) and
disconnects.  It returns the steps, each (name, outcome, detail) with the
outcome "pass", "fail" or "skip".
"""
import re
import time

from tarvix.core.errors import CommandError, NotSupportedError, TarvixError

PASS, FAIL, SKIP = "pass", "fail", "skip"
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


def _step(steps, name, action):
    """Runs ``action()`` (which returns (outcome, detail)) as the step
    ``name``; an error it raises fails the step with its first line."""
    began = time.monotonic()
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


class _Check(object):
    def __init__(self, con, change, save):
        self.con, self.change, self.save = con, change, save

    @property
    def dialect(self):
        """The connection's, read once it is connected (os "auto" finds it)."""
        return self.con.dialect

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
            return SKIP, "the dialect states no long output"
        output = self.con.execute(command, check=False)
        lines = len(output.splitlines())
        if re.search(PAGER_PROMPTS, output):
            return FAIL, "a pager prompt in the output of %r" % command
        if lines < LONG_OUTPUT_LINES:
            return FAIL, "%r gave %d lines, fewer than a page" % (command, lines)
        return PASS, "%r: %d lines, no pager prompt" % (command, lines)

    def rejected_exec(self):
        if not self.dialect.rejected_exec:
            return SKIP, "the dialect states no rejected command"
        return _refused(lambda: self.con.execute(self.dialect.rejected_exec), repr(self.dialect.rejected_exec))

    def rejected_config(self):
        if not self.dialect.has_config:
            try:
                self.con.configure(["tarvix-check"])
            except NotSupportedError as error:
                return PASS, "no configuration mode: %s" % str(error).split("; ", 1)[-1]
            return FAIL, "configure() on a platform without configuration mode did not say so"
        if not self.dialect.rejected_config:
            return SKIP, "the dialect states no rejected configuration line"
        line = self.dialect.rejected_config
        return _refused(lambda: self.con.configure([line]), repr(line), line, self.dialect.commit)

    def changed(self):
        if not self.change:
            return SKIP, "not asked (--change)"
        if not self.dialect.has_config or not self.dialect.harmless_config:
            return SKIP, "no configuration on this platform" if not self.dialect.has_config \
                else "the dialect states no harmless line"
        apply, remove = self.dialect.harmless_config
        self.con.configure(apply)
        self.con.configure(remove)
        return PASS, "applied and removed %r" % apply[0]

    def saved(self):
        if not self.save:
            return SKIP, "not asked (--save)"
        if not self.dialect.save:
            return SKIP, "the platform has no save"
        return PASS, _words(self.con.save_config()) or "saved"

    def disconnect(self):
        self.con.disconnect()
        return PASS, ""


STEPS = ("connect", "hostname", "paging", "rejected_exec", "rejected_config", "changed", "saved", "disconnect")


def run_check(con, change=False, save=False):
    """Runs the check's steps on ``con`` (not connected yet); returns them.
    Once connecting failed, the other steps are skipped; the connection is
    always closed at the end."""
    check = _Check(con, change, save)
    steps = []
    try:
        if _step(steps, "connect", check.connect) != PASS:
            return steps + [Step(name, SKIP, "not connected") for name in STEPS[1:]]
        for name in STEPS[1:-1]:
            _step(steps, name, getattr(check, name))
        _step(steps, "disconnect", check.disconnect)
    finally:
        if con.connected:
            con.disconnect()
        con._close_links()
    return steps


def passed(steps):
    """Whether no step failed."""
    return all(step.outcome != FAIL for step in steps)


def table(steps):
    """The steps as a text table, one a line."""
    width = max(len(step.name) for step in steps)
    return "\n".join("%-*s  %-4s  %6.2f s  %s" % (width, step.name, step.outcome, step.seconds, step.detail)
                     for step in steps)
