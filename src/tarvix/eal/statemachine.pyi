# Types of tarvix.eal.statemachine: the state machine of one router console.
import logging
from typing import Any, Callable, Dict, Iterable, List, Mapping, Match, Optional, Pattern, Tuple, Union

from tarvix.eal.dialect import Dialect as Dialect
from tarvix.eal.dialogs import Dialog, Statement
from tarvix.eal.spawn import ExpectResult, Spawn

ANY_STATES: Tuple[str, ...]
PASSWORD_PROMPT: str
NUDGE_AFTER: float
PASSWORD_WATCH: float
MISMATCH_AFTER: float
NEVER: float
BUSY_PORT: str

class _TextHostPrompt:
    pattern: str
    def __init__(self, pattern: str, mode: str, host: str) -> None: ...
    def search(self, text: str, pos: int = 0) -> Optional[Match[str]]: ...

class _Prompts:
    key: Tuple[str, bool]
    strings: List[str]
    # Compiled patterns, or finders of the same matches.
    compiled: List[Union[Pattern[str], _TextHostPrompt]]
    foreign: List[Pattern[str]]
    def __init__(self, dialect: Dialect, host: str, learning: bool, learn_pattern: str) -> None: ...
    @property
    def counter(self) -> Pattern[str]: ...

class State:
    name: str
    def __init__(self, name: str, machine: RouterStateMachine) -> None: ...
    @property
    def pattern(self) -> str: ...

class RouterStateMachine:
    dialect: Dialect
    # The dialect's states ("disable", "enable", "config", "standby_locked" for the generic one).
    state_names: Tuple[str, ...]
    device: str
    # Returns the regular expression of the hostname the prompts show.
    hostname: Callable[[], str]
    learn_pattern: str
    credentials: Dict[str, Dict[str, Any]]
    context: Dict[str, Any]
    timeout: float
    log: Optional[logging.Logger]
    learn_hostname: bool
    seen_hostname: Optional[str]
    # Whether a prompt of the device showed its hostname.
    shows_hostname: bool
    # Written by the link brokers: "generic" when the state is no longer known.
    _current_state: Optional[str]
    def __init__(self, device: str, hostname: Callable[[], str], learn_pattern: str,
                 credentials: Optional[Dict[str, Dict[str, Any]]] = None,
                 context: Optional[Dict[str, Any]] = None, timeout: float = 30,
                 log: Optional[logging.Logger] = None, dialect: Optional[Dialect] = None) -> None: ...
    @property
    def current_state(self) -> Optional[str]: ...
    def get_state(self, name: str) -> State: ...
    def prompts(self) -> _Prompts: ...
    def pattern_of(self, name: str) -> str: ...
    def login_names(self, context: Mapping[str, Any]) -> List[str]: ...
    def connection_statements(self, context: Mapping[str, Any]) -> List[Statement]: ...
    def enable_statements(self, asked: List[bool]) -> List[Statement]: ...
    def drain(self, spawn: Spawn, keep_line: bool = False) -> str: ...
    def wait(self, spawn: Spawn, deadline: float, statements: Iterable[Statement] = (),
             context: Optional[Dict[str, Any]] = None, nudges: Optional[int] = 0,
             command: Optional[str] = None, timeout: Optional[float] = None) -> ExpectResult: ...
    def go_to(self, to_state: str, spawn: Spawn, context: Optional[Dict[str, Any]] = None,
              prompt_recovery: bool = False, timeout: Optional[float] = None,
              dialog: Optional[Iterable[Statement]] = None) -> Optional[str]: ...
