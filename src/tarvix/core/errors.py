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
