"""Errors raised by the framework."""


class _MessageError(Exception):
    """An error built from one message string."""

    def __init__(self, message):
        super(_MessageError, self).__init__(message)
        self.message = message

    def __str__(self):
        return str(self.message)


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
