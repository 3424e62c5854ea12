# Types of tarvix.eal.spawn: a device link, a program run on a pseudo-terminal.
import logging
from os import PathLike
from typing import IO, Any, Callable, Iterable, Mapping, Match, Optional, Pattern, Sequence, Set, Tuple, Union

WINDOW: int
OVERLAP: int
ANCHOR_REACH: int
READ_SIZE: int
ECHO_SCAN: int
SETTLE: float
NOTICE_AFTER: float
CLOSE_GRACE: float
CLOSE_POLL: float
MASK: str

def mask_command(command: str) -> str: ...
def command_secrets(command: str) -> Set[str]: ...

_Patterns = Union[str, Pattern[str], Sequence[Union[str, Pattern[str]]]]

class ExpectResult:
    index: int
    match: Match[str]
    match_output: str
    echoed: bool
    def __init__(self, index: int, match: Match[str], match_output: str, echoed: bool = False) -> None: ...
    @property
    def matched(self) -> str: ...

class Spawn:
    command: str
    device: str
    timeout: float
    log: logging.Logger
    # Bare lines sent whose prompt has not been read yet.
    bare_lines: int
    # None until known; False once the device was found not to echo.
    echoes: Optional[bool]
    # The link's recorder (tarvix.eal.sessionlog.SessionLog) while a session log is kept.
    session_log: Any
    def __init__(self, command: str, device: str, timeout: float = 30, log: Optional[logging.Logger] = None,
                 env: Optional[Mapping[str, str]] = None, dimensions: Tuple[int, int] = (24, 200),
                 session_log: Union[str, "PathLike[str]", IO[str], IO[bytes], None] = None,
                 secrets: Iterable[str] = ()) -> None: ...
    @property
    def pid(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def isalive(self) -> bool: ...
    def send(self, text: str) -> None: ...
    def sendline(self, text: str = "") -> None: ...
    def send_secret(self, text: str) -> None: ...
    def mask(self, text: str) -> str: ...
    def flush(self, whole_lines: bool = False) -> str: ...
    def expect(self, pattern: _Patterns, timeout: Optional[float] = None, echo: bool = False,
               confirm: Optional[Callable[[int, Match[str], Callable[[], str]], float]] = None,
               idle: Optional[Tuple[float, Callable[[Spawn], Any]]] = None,
               awaiting: Optional[str] = None) -> ExpectResult: ...
    def tail(self, size: int = 120) -> str: ...
    def push_back(self, text: str) -> None: ...
    def unread(self) -> str: ...
    def abort(self) -> None: ...
    def close(self) -> None: ...
