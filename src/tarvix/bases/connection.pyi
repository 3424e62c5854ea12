# Types of tarvix.bases.connection: the connection object a script builds.
#
# Connection(...) returns an instance of the plugin class registered for the
# device; with chassis_type "single_rp" / "dual_rp" (or one start command /
# a pair of them) a checker knows it is a SingleRpConnection /
# DualRpConnection, with the members of that kind.
import logging
from os import PathLike
from typing import (IO, Any, Callable, ClassVar, Dict, Iterable, List, Literal, Mapping, Match, Optional, Pattern,
                    Tuple, Type, TypeVar, Union, overload)

from tarvix.bases.reload import Report
from tarvix.bases.config.transaction import ConfigChange
from tarvix.core.implroster import ImplRoster
from tarvix.eal.dialogs import Dialog, Statement
from tarvix.eal.spawn import Spawn
from tarvix.eal.statemachine import Dialect, RouterStateMachine
from tarvix.files.report import FileTransfer
from tarvix.files.upgrade import UpgradeReport
from tarvix.state.api import BgpNeighbor, Facts, Interface, LldpNeighbor, State
from tarvix.state.mapping import Getters

DEFAULT_LEARNED_HOSTNAME: str
SECRET_ENV_VARS: Tuple[str, ...]

# How a prompt the device shows during a command is answered: a line to send
# ("" for a bare Return) or a callable answer(spawn, context, match).
_Answer = Union[str, Callable[[Spawn, Dict[str, Any], Match[str]], Any]]
# What execute/configure take as `reply`.
_Reply = Union[Dialog, Mapping[str, _Answer], Iterable[Union[Statement, Tuple[Union[str, Pattern[str]], _Answer]]]]
# {credential name: {"username": ..., "password": ...}}; "enable" holds the enable password.
_Credentials = Mapping[str, Mapping[str, Optional[str]]]
# Where a session log goes: a path, or a file object open for writing (text or binary).
_SessionLog = Union[str, "PathLike[str]", IO[str], IO[bytes]]
_Record = Dict[str, Any]

_C = TypeVar("_C", bound=Connection)
_S = TypeVar("_S", bound=SingleRpConnection)
_D = TypeVar("_D", bound=DualRpConnection)

class Settings:
    """A platform's settings: plain attributes, copied for each connection."""

    def __init__(self, **values: Any) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...

def discover_plugins(rediscover: bool = False) -> ImplRoster: ...
def plugin_class(os: str = "generic", series: Optional[str] = None, model: Optional[str] = None,
                 chassis_type: str = "single_rp", rediscover: bool = False) -> Type[Any]: ...
def child_env(env: Optional[Mapping[str, str]] = None) -> Dict[str, str]: ...
def reply_statements(reply: Optional[_Reply]) -> List[Statement]: ...

class RpHandle:
    """One route processor: its link (``spawn``, None until connected), the
    link's ``state_machine``, and the ``role`` and redundancy ``mode`` the
    broker finds."""

    name: str
    start: str
    state_machine: RouterStateMachine
    spawn: Spawn
    role: Optional[str]
    mode: Optional[str]
    def __init__(self, name: str, start: str, state_machine: RouterStateMachine) -> None: ...

class Connection:
    """A command-line connection to one device."""

    chassis_type: ClassVar[Optional[str]]
    # The CLI dialect the device speaks (None on the class: the generic plugin's).
    dialect: Optional[Dialect]
    # The link broker class: built with the connection, it connects and disconnects.
    broker_class: ClassVar[Optional[Type[Any]]]
    handle_names: ClassVar[Tuple[str, ...]]
    # The ntc-templates platform execute(..., parse=True) uses (None on the
    # class: the dialect's); None: no parsing.
    template_platform: Optional[str]
    # Whether the links are console lines (a plugin may say so for all its
    # connections); None: decided from console_settle and the start commands.
    console: Optional[bool]

    hostname: Optional[str]
    name: Optional[str]
    # Where the device's SSH server takes its files, for a link that is no SSH session.
    files: Optional[Mapping[str, Any]]
    os: str
    series: Optional[str]
    model: Optional[str]
    credentials: Dict[str, Dict[str, Optional[str]]]
    learn_hostname: bool
    learned_hostname: Optional[str]
    init_exec_commands: Optional[List[str]]
    init_config_commands: Optional[List[str]]
    connection_timeout: float
    mit: bool
    prompt_recovery: bool
    env: Optional[Mapping[str, str]]
    console_settle: bool
    session_log: Optional[_SessionLog]
    # The options of ssh:// links (see tarvix.eal.ssh.link).
    ssh: Dict[str, Any]
    settings: Settings
    log: logging.Logger
    context: Dict[str, Any]
    broker: Any
    handles: List[RpHandle]
    # Written by the link brokers.
    _is_connected: bool
    _handles_designated: bool

    @overload
    def __new__(cls, hostname: Optional[str] = None, start: Optional[str] = None, os: str = "generic",
                series: Optional[str] = None, model: Optional[str] = None, *,
                chassis_type: Literal["single_rp"], rediscover: bool = False,
                credentials: Optional[_Credentials] = None, learn_hostname: bool = False,
                init_exec_commands: Optional[List[str]] = None,
                init_config_commands: Optional[List[str]] = None, connection_timeout: float = 30,
                mit: bool = False, prompt_recovery: bool = False, env: Optional[Mapping[str, str]] = None,
                console_settle: bool = False, console: Optional[bool] = None,
                session_log: Optional[_SessionLog] = None,
                ssh: Optional[Mapping[str, Any]] = None, name: Optional[str] = None,
                files: Optional[Mapping[str, Any]] = None) -> SingleRpConnection: ...
    @overload
    def __new__(cls, hostname: Optional[str] = None, start: Union[List[str], Tuple[str, str], None] = None,
                os: str = "generic", series: Optional[str] = None, model: Optional[str] = None, *,
                chassis_type: Literal["dual_rp"], rediscover: bool = False,
                credentials: Optional[_Credentials] = None, learn_hostname: bool = False,
                init_exec_commands: Optional[List[str]] = None,
                init_config_commands: Optional[List[str]] = None, connection_timeout: float = 30,
                mit: bool = False, prompt_recovery: bool = False, env: Optional[Mapping[str, str]] = None,
                console_settle: bool = False, console: Optional[bool] = None,
                session_log: Optional[_SessionLog] = None,
                ssh: Optional[Mapping[str, Any]] = None, name: Optional[str] = None,
                files: Optional[Mapping[str, Any]] = None) -> DualRpConnection: ...
    # Without a chassis type: one start command is a single-RP device, a pair
    # of them (a tuple) a dual-RP one.
    @overload
    def __new__(cls, hostname: Optional[str] = None, start: Union[str, Tuple[str]] = ..., os: str = "generic",
                series: Optional[str] = None, model: Optional[str] = None, chassis_type: None = None,
                rediscover: bool = False, *, credentials: Optional[_Credentials] = None,
                learn_hostname: bool = False, init_exec_commands: Optional[List[str]] = None,
                init_config_commands: Optional[List[str]] = None, connection_timeout: float = 30,
                mit: bool = False, prompt_recovery: bool = False, env: Optional[Mapping[str, str]] = None,
                console_settle: bool = False, console: Optional[bool] = None,
                session_log: Optional[_SessionLog] = None,
                ssh: Optional[Mapping[str, Any]] = None, name: Optional[str] = None,
                files: Optional[Mapping[str, Any]] = None) -> SingleRpConnection: ...
    @overload
    def __new__(cls, hostname: Optional[str] = None, start: Tuple[str, str] = ..., os: str = "generic",
                series: Optional[str] = None, model: Optional[str] = None, chassis_type: None = None,
                rediscover: bool = False, *, credentials: Optional[_Credentials] = None,
                learn_hostname: bool = False, init_exec_commands: Optional[List[str]] = None,
                init_config_commands: Optional[List[str]] = None, connection_timeout: float = 30,
                mit: bool = False, prompt_recovery: bool = False, env: Optional[Mapping[str, str]] = None,
                console_settle: bool = False, console: Optional[bool] = None,
                session_log: Optional[_SessionLog] = None,
                ssh: Optional[Mapping[str, Any]] = None, name: Optional[str] = None,
                files: Optional[Mapping[str, Any]] = None) -> DualRpConnection: ...
    # Anything else (a list of start commands, a chassis type only known at
    # run time): a Connection, single- or dual-RP.
    # No __init__ is declared here (it takes the same parameters): a checker
    # that finds both in one class reads __init__'s and would lose the kind
    # of connection that __new__'s overloads give.
    @overload
    def __new__(cls: Type[_C], hostname: Optional[str] = None,
                start: Union[str, List[str], Tuple[str, ...], None] = None, os: str = "generic",
                series: Optional[str] = None, model: Optional[str] = None, chassis_type: Optional[str] = None,
                rediscover: bool = False, *, credentials: Optional[_Credentials] = None,
                learn_hostname: bool = False, init_exec_commands: Optional[List[str]] = None,
                init_config_commands: Optional[List[str]] = None, connection_timeout: float = 30,
                mit: bool = False, prompt_recovery: bool = False, env: Optional[Mapping[str, str]] = None,
                console_settle: bool = False, console: Optional[bool] = None,
                session_log: Optional[_SessionLog] = None,
                ssh: Optional[Mapping[str, Any]] = None, name: Optional[str] = None,
                files: Optional[Mapping[str, Any]] = None) -> _C: ...
    @property
    def connected(self) -> bool: ...
    # Whether the plugin's setup configuration is applied while connecting:
    # the links are console lines, not sessions to the device itself.
    @property
    def console_line(self) -> bool: ...
    def _get_learned_hostname(self, spawn: Spawn) -> str: ...
    def connect(self) -> Any: ...
    def disconnect(self) -> None: ...
    def abort(self) -> None: ...
    def reload(self, save: Optional[bool] = None, timeout: float = 600,
               rp: Optional[Literal["standby"]] = None) -> Report: ...
    def switchover(self, timeout: float = 600) -> Report: ...
    # Files to and from the device (see tarvix.files).
    def put_file(self, local: Union[str, "PathLike[str]"], remote: str, protocol: str = "auto", verify: bool = True,
                 overwrite: bool = False, progress: Optional[Callable[[int, int], Any]] = None,
                 timeout: Optional[float] = None, target: Optional[str] = None) -> FileTransfer: ...
    def get_file(self, remote: str, local: Union[str, "PathLike[str]"], protocol: str = "auto", verify: bool = True,
                 overwrite: bool = False, progress: Optional[Callable[[int, int], Any]] = None,
                 timeout: Optional[float] = None, target: Optional[str] = None) -> FileTransfer: ...
    def file_checksum(self, remote: str, algorithm: str = "sha256", target: Optional[str] = None) -> str: ...
    def free_space(self, path: str = "", target: Optional[str] = None) -> Optional[int]: ...
    def upgrade(self, image: Union[str, "PathLike[str]"], expect_version: Optional[str] = None, reload: bool = True,
                timeout: float = 3600, protocol: str = "auto",
                progress: Optional[Callable[[int, int], Any]] = None) -> UpgradeReport: ...
    def finish_upgrade(self, report: UpgradeReport, expect_version: Optional[str] = None,
                       timeout: float = 3600) -> UpgradeReport: ...
    @overload
    def execute(self, command: str, target: Optional[str] = None, timeout: Optional[float] = None,
                prompt_recovery: Optional[bool] = None, reply: Optional[_Reply] = None,
                parse: Literal[False] = False, check: Optional[bool] = None) -> str: ...
    @overload
    def execute(self, command: str, target: Optional[str] = None, timeout: Optional[float] = None,
                prompt_recovery: Optional[bool] = None, reply: Optional[_Reply] = None, *,
                parse: Literal[True], check: Optional[bool] = None) -> List[_Record]: ...
    @overload
    def execute(self, command: str, target: Optional[str] = None, timeout: Optional[float] = None,
                prompt_recovery: Optional[bool] = None, reply: Optional[_Reply] = None,
                parse: bool = False, check: Optional[bool] = None) -> Union[str, List[_Record]]: ...
    def save_config(self, target: Optional[str] = None, timeout: Optional[float] = None) -> str: ...
    def configure(self, lines: Union[str, Iterable[str]], target: Optional[str] = None,
                  timeout: Optional[float] = None, prompt_recovery: Optional[bool] = None,
                  reply: Optional[_Reply] = None) -> str: ...
    def running_config(self, target: Optional[str] = None) -> str: ...
    def config_diff(self, intended: Union[str, Iterable[str]], target: Optional[str] = None) -> str: ...
    def replace_config(self, intended: Union[str, Iterable[str]], dry_run: bool = False,
                       confirm: Optional[float] = None, save: bool = False,
                       target: Optional[str] = None, timeout: Optional[float] = None,
                       keep_before: Optional[str] = None) -> ConfigChange: ...
    def merge_config(self, text_or_lines: Union[str, Iterable[str]], dry_run: bool = False,
                     confirm: Optional[float] = None, save: bool = False,
                     target: Optional[str] = None, timeout: Optional[float] = None,
                     keep_before: Optional[str] = None) -> ConfigChange: ...
    def confirm_config(self, target: Optional[str] = None) -> None: ...
    def rollback_config(self, target: Optional[str] = None, before: Union[str, Iterable[str], None] = None,
                        timeout: Optional[float] = None) -> ConfigChange: ...
    # The network's state (see tarvix.state): the platform's getters' data.
    getters: ClassVar[Optional[Getters]]
    def facts(self) -> Facts: ...
    def interfaces(self) -> Dict[str, Interface]: ...
    def bgp_neighbors(self) -> Dict[str, Dict[str, BgpNeighbor]]: ...
    def lldp_neighbors(self) -> Dict[str, List[LldpNeighbor]]: ...
    def state(self, getters: Union[str, Iterable[str], None] = None) -> State: ...
    def __enter__(self: _C) -> _C: ...
    def __exit__(self, *exc: object) -> None: ...

class SingleRpConnection(Connection):
    """A device with one route processor."""

    def __new__(cls: Type[_S], hostname: Optional[str] = None,
                start: Union[str, List[str], Tuple[str], None] = None, os: str = "generic",
                series: Optional[str] = None, model: Optional[str] = None, chassis_type: Optional[str] = None,
                rediscover: bool = False, *, credentials: Optional[_Credentials] = None,
                learn_hostname: bool = False, init_exec_commands: Optional[List[str]] = None,
                init_config_commands: Optional[List[str]] = None, connection_timeout: float = 30,
                mit: bool = False, prompt_recovery: bool = False, env: Optional[Mapping[str, str]] = None,
                console_settle: bool = False, console: Optional[bool] = None,
                session_log: Optional[_SessionLog] = None,
                ssh: Optional[Mapping[str, Any]] = None, name: Optional[str] = None,
                files: Optional[Mapping[str, Any]] = None) -> _S: ...
    def __init__(self, hostname: Optional[str] = None, start: Union[str, List[str], Tuple[str], None] = None,
                 os: str = "generic", series: Optional[str] = None, model: Optional[str] = None,
                 chassis_type: Optional[str] = None, credentials: Optional[_Credentials] = None,
                 learn_hostname: bool = False, init_exec_commands: Optional[List[str]] = None,
                 init_config_commands: Optional[List[str]] = None, connection_timeout: float = 30,
                 mit: bool = False, prompt_recovery: bool = False, env: Optional[Mapping[str, str]] = None,
                 console_settle: bool = False, rediscover: bool = False,
                 session_log: Optional[_SessionLog] = None, console: Optional[bool] = None,
                 ssh: Optional[Mapping[str, Any]] = None, name: Optional[str] = None,
                 files: Optional[Mapping[str, Any]] = None) -> None: ...
    # The link (None until connected) and its state machine.
    @property
    def spawn(self) -> Spawn: ...
    @property
    def state_machine(self) -> RouterStateMachine: ...

class DualRpConnection(Connection):
    """A device with two route processors: handles ``a`` and ``b``, and
    ``active``/``standby`` once the roles are known."""

    def __new__(cls: Type[_D], hostname: Optional[str] = None,
                start: Union[List[str], Tuple[str, str], None] = None, os: str = "generic",
                series: Optional[str] = None, model: Optional[str] = None, chassis_type: Optional[str] = None,
                rediscover: bool = False, *, credentials: Optional[_Credentials] = None,
                learn_hostname: bool = False, init_exec_commands: Optional[List[str]] = None,
                init_config_commands: Optional[List[str]] = None, connection_timeout: float = 30,
                mit: bool = False, prompt_recovery: bool = False, env: Optional[Mapping[str, str]] = None,
                console_settle: bool = False, console: Optional[bool] = None,
                session_log: Optional[_SessionLog] = None,
                ssh: Optional[Mapping[str, Any]] = None, name: Optional[str] = None,
                files: Optional[Mapping[str, Any]] = None) -> _D: ...
    def __init__(self, hostname: Optional[str] = None, start: Union[List[str], Tuple[str, str], None] = None,
                 os: str = "generic", series: Optional[str] = None, model: Optional[str] = None,
                 chassis_type: Optional[str] = None, credentials: Optional[_Credentials] = None,
                 learn_hostname: bool = False, init_exec_commands: Optional[List[str]] = None,
                 init_config_commands: Optional[List[str]] = None, connection_timeout: float = 30,
                 mit: bool = False, prompt_recovery: bool = False, env: Optional[Mapping[str, str]] = None,
                 console_settle: bool = False, rediscover: bool = False,
                 session_log: Optional[_SessionLog] = None, console: Optional[bool] = None,
                 ssh: Optional[Mapping[str, Any]] = None, name: Optional[str] = None,
                 files: Optional[Mapping[str, Any]] = None) -> None: ...
    @property
    def a(self) -> RpHandle: ...
    @property
    def b(self) -> RpHandle: ...
    # Raise ConnectionError while no RP holds the role.
    @property
    def active(self) -> RpHandle: ...
    @property
    def standby(self) -> RpHandle: ...
