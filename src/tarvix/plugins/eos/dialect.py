"""The dialect of the eos CLI.

Exec prompts ``host>`` and ``host#``; configuration goes through a
configuration session (``configure session NAME`` -> ``host(config-s-NAME)#``)
whose lines apply together at ``commit`` (which leaves the session) or are
dropped by ``abort``.  Rejections start with "% ".
"""
from tarvix.eal.dialect import Dialect

# The configuration session a connection stages its lines in.
SESSION = "tarvix"

DIALECT = Dialect(
    "eos",
    # host>, host#, host(config)#, host(config-s-tarvix)#, host(config-s-tarvix-if-Et1)#
    prompt="{host}{mode}",
    states=[("disable", ">"), ("enable", "#"), ("config", r"\(config[^()\s]*\)#")],
    transitions={
        ("disable", "enable"): "enable",
        ("enable", "disable"): "disable",
        ("enable", "config"): "configure session %s" % SESSION,
        ("config", "enable"): "end",
    },
    password_commands=["enable"],
    setup_exec=["terminal length 0", "terminal width 32767"],
    error_patterns=[r"^% ?Invalid input", r"^% ?Incomplete command", r"^% ?Ambiguous command",
                    r"^% ?Unavailable command", r"^% ?Not supported"],
    commit=["commit"],
    rollback=["abort"],
    save=["write memory"],
    commit_confirmed="commit timer {minutes}",
    reload="reload",
    reload_save_question=r"[Ss]ave\?\s*\[yes/no[^\]]*\]:\s*\Z",
    template_platform="arista_eos",
    # Configuration as a whole: a configuration session, committed once;
    # "commit timer" the confirmed commit, a plain commit confirms it.
    running_config_command="show running-config",
    config_noise=[r"^Building configuration", r"^Current configuration\s*:", r"^!", r"^end$"],
    remediation_platform="arista_eos",
    confirm_accept=["commit"],
    long_output="show tech-support",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="tarvix-no-such-line",
    harmless_config=(["interface Loopback4093", "description tarvix conformance check"],
                     ["no interface Loopback4093"]),
    recognise=("show version", r"(?i)\beos\b"),
)
