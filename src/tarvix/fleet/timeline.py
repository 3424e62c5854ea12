"""The steps of a host's job on one clock: what each did (connect, a
command, the configuration, a copy, a reload, the checks...), when it began
and ended, and how it ended; the report's ``steps``.

Times are seconds since the epoch, the clock a cluster's workers share with
the machine that runs the command, read once per host: from there on they
follow the monotonic clock, so that a clock set meanwhile neither stretches
a step nor puts one before the step it followed."""
import time

# A step's kind by the first of these words its text holds, for the steps
# whose caller gives none.
KIND_WORDS = (("wait", "wait"), ("disconnect", "disconnect"), ("connect", "connect"),
              ("switchover", "reload"), ("reload", "reload"), ("copy", "copy"), ("transfer", "copy"),
              ("upgrade", "copy"), ("file", "copy"), ("check", "checks"), ("state", "checks"),
              ("backup", "configuration"), ("rollback", "configuration"), ("config", "configuration"))


def kind_of(doing):
    """The kind of a step by its words ("step" for none of KIND_WORDS)."""
    words = str(doing).lower()
    for word, kind in KIND_WORDS:
        if word in words:
            return kind
    return "step"


class Steps(object):
    """One host's steps as they happen: each begins when the next is begun
    or when ``end`` is called."""

    def __init__(self):
        self.steps = []
        self._open = False
        self._offset = time.time() - time.monotonic()

    def now(self):
        return round(time.monotonic() + self._offset, 3)

    def begin(self, doing, kind=None):
        """Ends the step in progress, if any, and begins ``doing``."""
        self.end()
        self._open = True
        self.steps.append({"step": doing, "kind": kind or kind_of(doing), "start": self.now(), "end": None,
                           "status": "ok"})

    def end(self, status="ok"):
        """Ends the step in progress (no step: nothing), as ``status``."""
        if self._open:
            self._open = False
            self.steps[-1].update(end=self.now(), status=status)
