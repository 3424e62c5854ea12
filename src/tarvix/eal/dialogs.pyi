# Types of tarvix.eal.dialogs: what a device may print and how to answer it.
from typing import Any, Callable, Dict, Iterable, Iterator, List, Match, Optional, Pattern, Union

from tarvix.eal.spawn import Spawn

# A statement's action: a line to send, or a callable answering the device
# as action(spawn, context, match).
_Action = Union[str, Callable[[Spawn, Dict[str, Any], Match[str]], Any]]

class Statement:
    pattern: Union[str, Pattern[str]]
    regex: Pattern[str]
    action: Optional[_Action]
    loop_continue: bool
    name: str
    def __init__(self, pattern: Union[str, Pattern[str]], action: Optional[_Action] = None,
                 loop_continue: bool = True, name: Optional[str] = None) -> None: ...
    def run(self, spawn: Spawn, context: Dict[str, Any], match: Match[str]) -> Any: ...

class Dialog:
    statements: List[Statement]
    def __init__(self, statements: Optional[Iterable[Statement]] = None) -> None: ...
    def append(self, statement: Statement) -> Dialog: ...
    def __add__(self, other: Iterable[Statement]) -> Dialog: ...
    def __iter__(self) -> Iterator[Statement]: ...
    def __len__(self) -> int: ...
