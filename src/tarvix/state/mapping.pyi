# Types of tarvix.state.mapping: a platform's getters as data.
from typing import Iterable, List, Mapping, Optional, Pattern, Sequence, Tuple, Union

FORMATS: Tuple[str, ...]

class Field:
    name: str
    text: str
    def __init__(self, name: str, text: str) -> None: ...

class Read:
    command: str
    format: str
    rows: Optional[str]
    key: Tuple[str, ...]
    group: bool
    fields: List[Field]
    def __init__(self, command: str, fields: Mapping[str, str], format: str = "json", rows: Optional[str] = None,
                 key: Union[str, Sequence[str]] = (), group: bool = False, none: Optional[str] = None,
                 row: Optional[str] = None, skip: Iterable[str] = (), find: Iterable[str] = (),
                 maybe: Iterable[str] = ()) -> None: ...

class Getters:
    platform: str
    def __init__(self, platform: str, **getters: Union[Read, Sequence[Read]]) -> None: ...
    @property
    def names(self) -> Tuple[str, ...]: ...
    def reads(self, name: str) -> Optional[List[Read]]: ...
    def commands(self, names: Optional[Iterable[str]] = None) -> List[str]: ...
