# Types of tarvix.bases.routers.link_broker (a native module): the link
# brokers of router connections.
#
# The host contract: what a broker reads and writes on its connection is
# written down below as protocols (BrokerHost, SingleRpBrokerHost,
# DualRpBrokerHost and the handle, link and state-machine protocols they
# name).  They exist for type checkers only: import them under
# `if typing.TYPE_CHECKING:`.  A connection class of a platform offers
# these members (SingleRpConnection and DualRpConnection do); the broker
# classes' `connection` is typed by them.
import logging
import re as re
from time import sleep as sleep
from typing import Any, Dict, List, MutableMapping, Optional, Protocol, type_check_only

from tarvix.bases.connection import Settings
from tarvix.core.errors import ConnectionError as ConnectionError
from tarvix.eal.dialogs import Dialog as Dialog

log: logging.Logger
DEFAULT_LEARNED_HOSTNAME: str

@type_check_only
class BrokerLog(Protocol):
    """The connection's log: the broker logs one finished message a call."""

    def info(self, __msg: str) -> object: ...
    def warning(self, __msg: str) -> object: ...
    def debug(self, __msg: str) -> object: ...

@type_check_only
class BrokerMatch(Protocol):
    """What a link's expect returns: the text read before the match."""

    @property
    def match_output(self) -> str: ...

@type_check_only
class BrokerLink(Protocol):
    """A route processor's link (tarvix.eal.spawn.Spawn)."""

    def sendline(self, __text: str = ...) -> object: ...
    def expect(self, __pattern: str, *, timeout: float) -> BrokerMatch: ...
    def close(self) -> object: ...

@type_check_only
class BrokerState(Protocol):
    @property
    def pattern(self) -> str: ...

@type_check_only
class BrokerStateMachine(Protocol):
    """A link's state machine (tarvix.eal.statemachine.RouterStateMachine).
    The broker sets ``learn_hostname`` while the hostname is learnt, and
    ``_current_state`` to "generic" when the console's state is no longer
    known (after unlocking the standby)."""

    learn_hostname: bool
    _current_state: Optional[str]
    @property
    def current_state(self) -> Optional[str]: ...
    def get_state(self, __name: str) -> BrokerState: ...
    # to_state: "any", "enable"; dialog: get_connection_dialog()'s, while connecting.
    def go_to(self, to_state: str, spawn: Any, *, context: Optional[Dict[str, Any]] = ...,
              prompt_recovery: bool = ..., timeout: Optional[float] = ...,
              dialog: Optional[Dialog] = ...) -> Optional[str]: ...

@type_check_only
class BrokerHandle(Protocol):
    """One route processor of a dual-RP connection (RpHandle); the broker
    writes its ``role`` ("active"/"standby") and redundancy ``mode``."""

    role: Optional[str]
    mode: Optional[str]
    @property
    def spawn(self) -> BrokerLink: ...
    @property
    def state_machine(self) -> BrokerStateMachine: ...

@type_check_only
class BrokerHost(Protocol):
    """What every broker reads and writes on its connection.

    Read: ``context`` (the broker takes "prompt_recovery" out of it and puts
    "cred_list" in while connecting), ``log``, ``hostname``, ``mit`` (connect
    without designating the RPs or running the setup commands),
    ``learn_hostname``, ``connection_timeout`` (each step of connecting),
    ``settings`` (HA_INIT_EXEC_COMMANDS and HA_INIT_CONFIG_COMMANDS when the
    connection's own init commands are None; HA_STANDBY_UNLOCK_COMMANDS and
    EXEC_TIMEOUT for a dual RP), ``init_exec_commands`` and
    ``init_config_commands`` (None: the settings' ones).
    Called: ``execute``, ``configure`` and ``_get_learned_hostname`` (the
    hostname a link's prompt showed while it was learnt).
    Written: ``learned_hostname`` and ``_is_connected``."""

    learned_hostname: Optional[str]
    _is_connected: bool
    @property
    def context(self) -> MutableMapping[str, Any]: ...
    @property
    def log(self) -> BrokerLog: ...
    @property
    def hostname(self) -> Optional[str]: ...
    @property
    def mit(self) -> bool: ...
    @property
    def learn_hostname(self) -> bool: ...
    @property
    def connection_timeout(self) -> float: ...
    @property
    def settings(self) -> Settings: ...
    @property
    def init_exec_commands(self) -> Optional[List[str]]: ...
    @property
    def init_config_commands(self) -> Optional[List[str]]: ...
    def execute(self, command: str, *, target: Optional[str] = ..., prompt_recovery: Optional[bool] = ...) -> str: ...
    def configure(self, lines: List[str], *, prompt_recovery: Optional[bool] = ...) -> object: ...
    def _get_learned_hostname(self, spawn: Any) -> str: ...

@type_check_only
class SingleRpBrokerHost(BrokerHost, Protocol):
    """A single-RP connection: its link and the link's state machine."""

    @property
    def spawn(self) -> BrokerLink: ...
    @property
    def state_machine(self) -> BrokerStateMachine: ...

@type_check_only
class DualRpBrokerHost(BrokerHost, Protocol):
    """A dual-RP connection: handles ``a`` and ``b`` and, once their roles
    are written, ``active`` and ``standby``; the broker sets
    ``_handles_designated`` once it has written the roles."""

    _handles_designated: bool
    @property
    def a(self) -> BrokerHandle: ...
    @property
    def b(self) -> BrokerHandle: ...
    @property
    def active(self) -> BrokerHandle: ...
    @property
    def standby(self) -> BrokerHandle: ...

class BaseCommonRpLinkBroker:
    """Link broker with common methods for single and dual RP"""

    connection: BrokerHost
    prompt_recovery: bool
    init_exec_commands: List[str]
    init_config_commands: List[str]

    def __init__(self, connection: BrokerHost) -> None: ...
    def get_connection_dialog(self) -> Dialog: ...
    def set_init_commands(self) -> None: ...
    def execute_init_commands(self, standby: bool = False) -> None: ...

class BaseSingleRpLinkBroker(BaseCommonRpLinkBroker):
    """Link broker for single RP"""

    connection: SingleRpBrokerHost

    def __init__(self, connection: SingleRpBrokerHost) -> None: ...
    # Returns the state the console was found in.
    def connect(self) -> Optional[str]: ...
    def establish_connection(self) -> Optional[str]: ...
    def init_handle(self) -> None: ...
    def disconnect(self) -> None: ...

class BaseDualRpLinkBroker(BaseCommonRpLinkBroker):
    """Link Broker for Dual RP"""

    connection: DualRpBrokerHost

    def __init__(self, connection: DualRpBrokerHost) -> None: ...
    def connect(self) -> None: ...
    def establish_connection(self) -> None: ...
    def designate_handles(self) -> None: ...
    def init_active(self) -> None: ...
    def init_standby(self) -> None: ...
    def assign_ha_mode(self) -> None: ...
    def unlock_standby(self) -> None: ...
    def lock_standby(self) -> None: ...
    def disconnect(self) -> None: ...
