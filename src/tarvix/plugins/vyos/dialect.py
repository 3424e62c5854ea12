"""The dialect of the vyos CLI.

Operational prompt ``user@host:~$ ``, configuration prompt ``user@host# ``
under an ``[edit]`` line; ``configure`` enters configuration, lines are
staged until ``commit`` (``commit-confirm N`` applies them for N minutes
unless confirmed), ``compare`` shows them, ``discard`` drops them and
``exit`` leaves (``exit discard`` drops them on the way); ``save`` writes
the configuration booted from.
"""
from tarvix.eal.dialect import Dialect
from tarvix.eal.filecommands import FileCommands

DIALECT = Dialect(
    "vyos",
    prompt=r"[^\s@#$()]+@{host}{mode}",
    states=[("enable", r":[^\s#$]*\$"), ("config", "#")],
    # The line above the configuration prompt, part of no output.
    prompt_banner=r"\[edit[^\]]*\]",
    transitions={
        ("enable", "config"): "configure",
        ("config", "enable"): "exit",
    },
    setup_exec=["set terminal length 0", "set terminal width 512"],
    error_patterns=[r"^\s*Invalid command", r"^\s*Set failed", r"^\s*Delete failed", r"^\s*Commit failed",
                    r"^\s*Configuration path: .* is not valid"],
    commit=["commit"],
    rollback=["discard"],
    save=["save"],
    commit_confirmed="commit-confirm {minutes}",
    # An unsaved commit is lost without a question.
    reload="reboot",
    reload_confirm=(r"reboot this system\?\s*\[y/N\]\s*\Z", "y"),
    template_platform="vyos",
    # Configuration as a whole: set statements, one candidate, one commit;
    # a change is rolled back by replacing the configuration before back.
    running_config_command="show configuration commands",
    config_noise=[r"^\s*$"],
    config_style="set",
    # The statements that hold a password or a key (after "set"); every
    # list's rules are numbered, which gives their order.
    config_secrets=[
        r"system login user \S+ authentication (?:plaintext-password|encrypted-password) '?([^'\s]+)",
        r"service snmp community '?([^'\s]+)",
        r"protocols bgp (?:\d+ )?neighbor \S+ password '?([^'\s]+)",
        r"system login (?:radius|tacacs) server \S+ key '?([^'\s]+)",
        r"(?:\S+ )*(?:pre-shared-secret|md5-key|plaintext-password) '?([^'\s]+)",
    ],
    confirm_accept=["confirm"],
    long_output="show tech-support",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="set tarvix-no-such-line",
    harmless_config=(["set system location tarvix-check"], ["delete system location tarvix-check"]),
    recognise=("show version", r"(?i)\bvyos\b"),
    # Its operational mode has no file commands; images go in by add system image.
    files=FileCommands(default_dir="", version=("show version", r"Version:\s+VyOS (?P<version>\S+)")),
)
