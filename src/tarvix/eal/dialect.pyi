# Types of tarvix.eal.dialect: a router CLI dialect as data.
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple

from tarvix.eal.filecommands import FileCommands

# The start of a line: where a prompt may begin.
LINE_START: str
PROMPT_END: str

class Dialect:
    name: str
    # The grammar of every prompt: a regular expression with {host} and {mode}.
    prompt: str
    # (state, mode) pairs of the states whose prompts follow the grammar.
    states: Tuple[Tuple[str, str], ...]
    # (state, pattern) pairs of the states shown by a fixed text.
    fixed: Tuple[Tuple[str, str], ...]
    state_names: Tuple[str, ...]
    transitions: Dict[Tuple[str, str], str]
    password_commands: Tuple[str, ...]
    setup_exec: List[str]
    setup_config: List[str]
    standby_unlock: List[str]
    error_patterns: List[str]
    commit: List[str]
    rollback: List[str]
    settle_time: float
    template_platform: Optional[str]
    save: List[str]
    save_replies: List[Tuple[str, str]]
    commit_check: List[str]
    commit_confirmed: Optional[str]
    prompt_banner: Optional[str]
    exit_status: Optional[str]
    output_filter: Optional[str]
    learn_pattern: Optional[str]
    # What the conformance check sends, and how detection knows the platform.
    long_output: Optional[str]
    rejected_exec: Optional[str]
    rejected_config: Optional[str]
    harmless_config: Optional[Tuple[List[str], List[str]]]
    recognise: Optional[Tuple[str, str]]
    # Reload and switchover (None: the platform has no such operation).
    reload: Optional[str]
    reload_standby: Optional[str]
    switchover: Optional[str]
    reload_save_question: Optional[str]
    reload_save_answers: Tuple[str, ...]
    # (pattern, answer): the last confirmation of a reload or switchover.
    reload_confirm: Tuple[str, str]
    cancel: str
    switchover_refusals: List[str]
    ha_query: Optional[str]
    standby_ready: Optional[str]
    running_config_command: Optional[str]
    config_noise: List[str]
    config_fixed: List[str]
    config_unnegatable: List[str]
    config_style: str
    remediation_platform: Optional[str]
    confirm_accept: List[str]
    rollback_last: List[str]
    config_leave: str
    # Patterns of the lines that hold secrets (each group one), of ordered
    # lists' entries, of the numbers a device gives them; negations sent
    # otherwise: (pattern, replacement).
    config_secrets: List[str]
    config_ordered: List[str]
    config_numbered: List[str]
    config_negations: List[Tuple[str, str]]
    # The CLI's file commands (None: it has none).
    files: Optional[FileCommands]
    def __init__(self, name: str, prompt: str, states: Iterable[Tuple[str, str]],
                 fixed: Iterable[Tuple[str, str]] = (), transitions: Optional[Mapping[Tuple[str, str], str]] = None,
                 password_commands: Iterable[str] = (), setup_exec: Iterable[str] = (),
                 setup_config: Iterable[str] = (), standby_unlock: Iterable[str] = (),
                 error_patterns: Iterable[str] = (), commit: Iterable[str] = (), rollback: Iterable[str] = (),
                 settle_time: float = 0, template_platform: Optional[str] = None, save: Iterable[str] = (),
                 save_replies: Iterable[Tuple[str, str]] = (), commit_check: Iterable[str] = (),
                 commit_confirmed: Optional[str] = None, prompt_banner: Optional[str] = None,
                 exit_status: Optional[str] = None, output_filter: Optional[str] = None,
                 learn_pattern: Optional[str] = None, long_output: Optional[str] = None,
                 rejected_exec: Optional[str] = None, rejected_config: Optional[str] = None,
                 harmless_config: Optional[Tuple[Iterable[str], Iterable[str]]] = None,
                 recognise: Optional[Tuple[str, str]] = None,
                 reload: Optional[str] = None, reload_standby: Optional[str] = None, switchover: Optional[str] = None,
                 reload_save_question: Optional[str] = None, reload_save_answers: Iterable[str] = ("yes", "no"),
                 reload_confirm: Tuple[str, str] = ..., cancel: str = ..., switchover_refusals: Iterable[str] = (),
                 ha_query: Optional[str] = None, standby_ready: Optional[str] = None,
                 running_config_command: Optional[str] = None, config_noise: Iterable[str] = (),
                 config_fixed: Iterable[str] = (), config_unnegatable: Iterable[str] = (),
                 config_style: str = "hierarchy", remediation_platform: Optional[str] = None,
                 confirm_accept: Iterable[str] = (), rollback_last: Iterable[str] = (),
                 config_leave: str = "exit", config_secrets: Iterable[str] = (),
                 config_ordered: Iterable[str] = (), config_numbered: Iterable[str] = (),
                 config_negations: Iterable[Tuple[str, str]] = (),
                 files: Optional[FileCommands] = None) -> None: ...
    @property
    def has_config(self) -> bool: ...
    def settings_values(self) -> Dict[str, Any]: ...
    def pattern(self, state: str, host: str) -> str: ...
    def counter(self, host: str) -> str: ...
    def command(self, here: str, there: str) -> str: ...
