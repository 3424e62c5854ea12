# Types of tarvix.core.errors: the errors the framework raises.
from typing import Any, Optional, Sequence

WORDS_LINES: int
WORDS_LENGTH: int

def device_words(text: str) -> str: ...
def link_message(device: str, printed: str, awaited: str) -> str: ...

# The root of every error tarvix raises.
class TarvixError(Exception):
    @property
    def message(self) -> str: ...

class ConnectionInfraError(TarvixError): ...
class ConnectionError(TarvixError): ...
class LinkError(ConnectionError): ...
class LinkTimeoutError(LinkError): ...
class LinkClosedError(LinkError): ...
class HostnameMismatchError(LinkTimeoutError): ...
class LoginError(ConnectionError): ...

class ReloadError(ConnectionError):
    begun: bool
class ReloadTimeoutError(ReloadError): ...

class CommandError(ConnectionError):
    # The rejected line and the device's reply, when known.
    command: Optional[str]
    output: Optional[str]
    # A shell command's exit status, when execute(..., check=True) found it not 0.
    status: Optional[int]

# What the platform has not (a configuration mode, a save).
class NotSupportedError(TarvixError, ValueError): ...

# A configuration change the device refused part of; undone: whether the
# configuration before it is back.
class ConfigError(CommandError):
    undone: Optional[bool]

# A change whose link dropped, or whose device stopped answering, midway:
# the lines sent and acknowledged (masked), the configuration before it.
class ConfigCutShortError(ConfigError, LinkError):
    sent: Sequence[str]
    acknowledged: Sequence[str]
    before: Optional[str]

# The running configuration changed between a change's read and its sending.
class ConfigConflictError(ConfigError): ...

# A replace needs a library that is not installed (the message says which).
class RemediationUnavailableError(TarvixError): ...

# A command's output could not be parsed into records.
class ParseError(TarvixError):
    platform: Optional[str]
    command: Optional[str]
    line: Optional[str]

# A device's state failed its checks.
class CheckFailedError(TarvixError): ...

# Checks of the network's state that cannot be checked: file, line and path of the key.
class ChecksError(TarvixError, ValueError):
    file: Optional[str]
    line: Optional[int]
    path: Optional[str]

# No TextFSM template for the command on the connection's template platform.
class TemplateNotFoundError(ParseError):
    command: Optional[str]
    platform: Optional[str]

# A file not copied, or not proven intact on the device (one line: why).
class FileTransferError(TarvixError): ...

# A step of an upgrade failed: which one, and the steps' report so far.
class UpgradeError(TarvixError):
    step: Optional[str]
    report: Optional[Any]
