"""Errors raised by the framework.

The errors of device links and commands lead with what the device printed
last (or what the link's program said, e.g. "Connection refused"), then say
what was awaited: ``link_message`` builds that text.
"""
import re

# Control characters other than line ends, shown as nothing in messages.
_CONTROL = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|[\x00-\x08\x0b-\x1f\x7f]")
# What a telnet client itself prints once it has connected: not the
# device's words.
_CLIENT_LINES = re.compile(r"Trying \S+\.\.\.|Connected to \S+\.|Escape character is '[^']*'\.")
WORDS_LINES = 3
WORDS_LENGTH = 200


def device_words(text):
    """The last lines a device printed, as one line: at most WORDS_LINES
    non-blank lines (a telnet client's own left out) joined with " | ", cut to WORDS_LENGTH characters from
    the end; "" when it printed nothing but blanks."""
    lines = []
    for line in reversed(text[-4 * WORDS_LENGTH:].replace("\r\n", "\n").replace("\r", "\n").split("\n")):
        line = _CONTROL.sub("", line).strip()
        if line and not _CLIENT_LINES.fullmatch(line):
            lines.insert(0, line)
            if len(lines) == WORDS_LINES:
                break
    words = " | ".join(lines)
    return words if len(words) <= WORDS_LENGTH else "..." + words[-WORDS_LENGTH:]


def link_message(device, printed, awaited):
    """The message of a link or command error: the device's last words on
    the first line, what was awaited on the second."""
    return "%s: %s\n%s" % (device, device_words(printed) or "(nothing printed)", awaited)


class TarvixError(Exception):
    """The root of every error tarvix raises: catch it to catch them all.
    It is built from one message string.

    The message is the exception's one argument, so that raising one costs
    no more than raising a builtin exception: the registry raises them on
    every failed lookup."""

    @property
    def message(self):
        return self.args[0] if self.args else ""


class ConnectionInfraError(TarvixError):
    """The plugin registry was asked for something it cannot give."""


class ConnectionError(TarvixError):
    """A device connection could not be made or driven."""


class LinkError(ConnectionError):
    """A device link failed while the framework waited for the device: it
    timed out or the link closed.  The message names the device and what was
    awaited."""


class LinkTimeoutError(LinkError):
    """The device did not print what was awaited within the timeout."""


class LinkClosedError(LinkError):
    """The device link closed (end of file) while something was awaited."""


class HostnameMismatchError(LinkTimeoutError):
    """The console shows prompts of another hostname than the one given."""


class LoginError(ConnectionError):
    """The device rejected every credential offered, or asked for one that
    was not given."""


class CommandError(ConnectionError):
    """The device rejected a command or a configuration line.  Its
    ``command`` and ``output`` attributes hold the line and the device's
    reply when they are known (None otherwise); ``status`` the exit status
    of a shell command that failed with one."""

    command = None
    output = None
    status = None


class NotSupportedError(TarvixError, ValueError):
    """The platform has no such operation (e.g. ``configure()`` on a shell,
    which has no configuration mode); the message names the platform and
    what to do instead.  A ValueError too, as such calls raised before."""


class ReloadError(ConnectionError):
    """A reload or switchover was refused, or failed on its way; the
    message says why in one line.  ``begun`` is False when nothing was
    reloaded or switched over (refused before or by the device)."""

    begun = True


class ReloadTimeoutError(ReloadError):
    """A reload or switchover did not end within its timeout: the message
    says how long it waited, what the device said last and in which state
    each RP was left."""


class ConfigError(CommandError):
    """A configuration change the device refused part of: ``command`` is the
    line refused, ``output`` the device's words, ``undone`` whether what the
    change had applied was undone (the configuration before it back)."""

    undone = None


class ConfigCutShortError(ConfigError, LinkError):
    """A configuration change whose link dropped, or whose device stopped
    answering, while its lines were sent: ``sent`` holds the lines sent,
    ``acknowledged`` those the device answered (masked), ``before`` the
    configuration before the change (its text, for
    ``rollback_config(before=...)`` on a new connection); ``command`` is
    the line sent without an answer (None if there was none).  Nothing was
    undone (``undone`` is False).  A LinkError too, as such a change
    raised before."""

    sent = ()
    acknowledged = ()
    before = None
    undone = False


class ConfigConflictError(ConfigError):
    """The running configuration changed between the read a change was
    worked out from and its sending (another client changed it): nothing
    was sent; the message says what differs."""


class RemediationUnavailableError(TarvixError):
    """Working out the lines of a replace needs a library that is not
    installed; the message says how to install it."""


class ParseError(TarvixError):
    """A command's output could not be parsed into records.  A getter's
    (tarvix.state) names the ``platform``, the ``command`` and the first
    ``line`` its data could not read."""

    platform = None
    command = None
    line = None


class CheckFailedError(TarvixError):
    """A device's state failed its checks (tarvix.checks): the message
    says how many failed and the first of them, with what was expected and
    what the state held."""


class ChecksError(TarvixError, ValueError):
    """Checks of the network's state that cannot be checked (tarvix.checks):
    a file that is no YAML, an unknown getter or key, a comparison that
    does not parse.  The message is one line naming the ``file`` and
    ``line`` (where known) and the key's ``path``."""

    file = None
    line = None
    path = None


class TemplateNotFoundError(ParseError):
    """No TextFSM template parses this command's output on this template
    platform; the message names both, and so do the ``command`` and
    ``platform`` attributes."""

    command = None
    platform = None


class FileTransferError(TarvixError):
    """A file could not be copied to or from a device, or not proven there
    intact: the message says why in one line (the device's figure or words,
    both sums of a mismatch).  Nothing half-written is left under the
    file's name."""


class UpgradeError(TarvixError):
    """A step of an upgrade failed: ``step`` names it, the message says
    what the device said; ``report`` holds the steps done so far."""

    step = None
    report = None
