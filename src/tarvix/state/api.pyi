# Types of tarvix.state.api: the getters of a connection, plain dicts and
# lists with the same keys on every platform (None where the platform does
# not tell).
from typing import ClassVar, Dict, Iterable, List, Optional, TypedDict, Union

from tarvix.state.mapping import Getters

class Facts(TypedDict):
    hostname: Optional[str]
    os: Optional[str]
    version: Optional[str]
    model: Optional[str]
    serial: Optional[str]
    uptime: Optional[int]
    interfaces: List[str]

class Interface(TypedDict):
    up: Optional[bool]
    enabled: Optional[bool]
    description: Optional[str]
    mtu: Optional[int]
    mac: Optional[str]
    addresses: List[str]

class BgpNeighbor(TypedDict):
    remote_as: Optional[int]
    state: Optional[str]
    up: Optional[bool]
    uptime: Optional[int]
    prefixes_received: Optional[int]

class LldpNeighbor(TypedDict):
    system_name: Optional[str]
    port: Optional[str]

class State(TypedDict, total=False):
    facts: Facts
    interfaces: Dict[str, Interface]
    bgp_neighbors: Dict[str, Dict[str, BgpNeighbor]]
    lldp_neighbors: Dict[str, List[LldpNeighbor]]

class StateApi:
    getters: ClassVar[Optional[Getters]]
    def facts(self) -> Facts: ...
    def interfaces(self) -> Dict[str, Interface]: ...
    def bgp_neighbors(self) -> Dict[str, Dict[str, BgpNeighbor]]: ...
    def lldp_neighbors(self) -> Dict[str, List[LldpNeighbor]]: ...
    def state(self, getters: Union[str, Iterable[str], None] = None) -> State: ...
