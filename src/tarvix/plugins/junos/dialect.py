"""The dialect of the junos CLI.

Prompts ``user@host>`` (operational) and ``user@host#`` (configuration,
under an ``[edit]`` line); ``configure exclusive`` enters configuration for
this session alone (another session's is refused until it leaves), where
lines are staged until ``commit`` applies them (``commit check`` validates
them, ``commit confirmed N`` applies them for N minutes unless confirmed)
and ``rollback`` drops them.  A root login lands in a shell
(``root@host:~ # ``), where ``cli`` starts the CLI.
"""
from tarvix.eal.dialect import Dialect
from tarvix.eal.filecommands import SUM, FileCommands

DIALECT = Dialect(
    "junos",
    prompt=r"[^\s@#>()%:]+@{host}{mode}",
    states=[("enable", ">"), ("config", "#"), ("shell", r":[^\s#%>]*\s?[%#]")],
    fixed=[("standby_locked", r"Standby console disabled")],
    # The line above the configuration prompt, part of no output.
    prompt_banner=r"\[edit[^\]]*\]",
    transitions={
        ("shell", "enable"): "cli",
        # The configuration for this session alone: another one's
        # "configure exclusive" is refused until it leaves.
        ("enable", "config"): "configure exclusive",
        ("config", "enable"): "exit configuration-mode",
    },
    setup_exec=["set cli screen-length 0", "set cli screen-width 0"],
    standby_unlock=["set chassis redundancy standby-console enable"],
    error_patterns=[r"^error:", r"^\s*syntax error", r"^\s*unknown command", r"^\s*missing argument"],
    commit=["commit"],
    rollback=["rollback"],
    commit_check=["commit check"],
    commit_confirmed="commit confirmed {minutes}",
    # A commit is what it boots from: the reload asks no save.
    reload="request system reboot",
    reload_confirm=(r"Reboot the system \?\s*\[yes,no\][^\r\n]*\Z", "yes"),
    settle_time=2,
    template_platform="juniper_junos",
    # Configuration as a whole: set statements, one candidate, one commit.
    running_config_command="show configuration | display set",
    config_noise=[r"^## ", r"^\s*$"],
    config_style="set",
    # The statements that hold a password or a key (after "set").
    config_secrets=[
        r"(?:\S+ )*(?:encrypted-password|plain-text-password-value|simple-password) \"?([^\"\s]+)",
        r"(?:\S+ )*authentication-key \"?([^\"\s]+)",
        r"(?:\S+ )*authentication md5 \d+ key \"?([^\"\s]+)",
        r"(?:\S+ )*pre-shared-key (?:ascii-text|hexadecimal) \"?([^\"\s]+)",
        r"(?:\S+ )*(?:radius|tacplus)-server \S+ secret \"?([^\"\s]+)",
        r"snmp community \"?([^\"\s]+)",
    ],
    # The terms of a policy and of a firewall filter apply in their order.
    config_ordered=[r"set policy-options policy-statement (\S+) term \S+",
                    r"set firewall (?:family \S+ )?filter (\S+) term \S+"],
    confirm_accept=["commit"],
    rollback_last=["rollback 1"],
    # A commit writes what it applies: there is no save of its own.
    long_output="show tech-support",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="set tarvix-no-such-line",
    harmless_config=(["set system location building tarvix-check"],
                     ["delete system location building tarvix-check"]),
    recognise=("show version", r"(?i)\bjunos\b"),
    # The file commands of its operational mode; software goes in by request system software add.
    files=FileCommands(
        checksum={"sha256": "file checksum sha-256 {path}", "md5": "file checksum md5 {path}",
                  "sha1": "file checksum sha1 {path}"}, checksum_pattern=SUM,
        delete="file delete {path}", rename="file rename {source} {target}", copy="file copy {source} {target}",
        missing=r"No such file|could not resolve", quote="double", default_dir="/var/tmp/",
        version=("show version", r"Junos: (?P<version>\S+)")),
)
