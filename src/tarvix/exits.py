"""The exit statuses of the ``tarvix`` commands, chosen here alone, and the
usage error that leads to one.

Every failure a command reports ends with one line ``error: ...`` on
standard error (``fail``): status 2 for a mistake in the options, the input
or the inventory (``UsageError``), 1 for a device or connection failure,
3 for a run whose rollback of a change that failed its checks failed,
128 + the signal's number for an interrupt (130 for Ctrl-C), 141 when the
reader of the output went away (as a shell reports SIGPIPE).
"""
import sys

from tarvix.core.errors import TarvixError

FAILED, USAGE, INTERRUPTED, OUTPUT_CLOSED = 1, 2, 130, 141
# A change that failed its checks could not be rolled back (tarvix run
# --rollback-on-fail) on at least one device.
ROLLBACK_FAILED = 3
# A command ended by a signal exits with this plus the signal's number.
SIGNALLED = 128


class UsageError(TarvixError):
    """A mistake in the options, the input or the inventory given: one line
    to the user."""


def signalled(number):
    """The exit status of a command that a signal ended."""
    return SIGNALLED + number


def fail(message, status=FAILED):
    """Tells a failure in one line on standard error; returns ``status``."""
    print("error: %s" % (message,), file=sys.stderr)
    return status
