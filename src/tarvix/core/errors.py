"""Errors raised by the framework."""


class _MessageError(Exception):
    """An error built from one message string.

    The message is the exception's one argument, so that raising one costs
    no more than raising a builtin exception: the registry raises them on
    every failed lookup."""

    @property
    def message(self):
        return self.args[0] if self.args else ""


class ConnectionInfraError(_MessageError):
    """The plugin registry was asked for something it cannot give."""


class ConnectionError(_MessageError):
    """A device connection could not be made or driven."""


class LinkError(ConnectionError):
    """A device link failed while the framework waited for the device: it
    timed out or the link closed.  The message names the device and what was
    awaited."""


class LinkTimeoutError(LinkError):
    """The device did not print what was awaited within the timeout."""


class LinkClosedError(LinkError):
    """The device link closed (end of file) while something was awaited."""


class LoginError(ConnectionError):
    """The device rejected every credential offered, or asked for one that
    was not given."""


class CommandError(ConnectionError):
    """The device rejected a command or a configuration line."""
