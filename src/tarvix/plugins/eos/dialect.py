"""The dialect of the eos CLI.

Exec prompts ``host>`` and ``host#``; configuration goes through a
configuration session (``configure session NAME`` -> ``host(config-s-NAME)#``)
whose lines apply together at ``commit`` (which leaves the session) or are
dropped by ``abort``.  Rejections start with "% ".
"""
from tarvix.eal.dialect import Dialect
from tarvix.eal.filecommands import router

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
    # The lines that hold a password or a key, after an encryption type.
    config_secrets=[
        r"username \S+ (?:.* )?secret(?: 0| 5| 7| sha512)? (\S+)",
        r"enable (?:secret|password)(?: 0| 5| 7| sha512)? (\S+)",
        r"neighbor \S+ password(?: 0| 7)? (\S+)",
        r"snmp-server community (\S+)",
        r"snmp-server user \S+ \S+ (?:remote \S+ )?v3 (?:localized \S+ )?auth \S+ (\S+)(?: priv \S+(?: \d+)? (\S+))?",
        r"(?:tacacs|radius)-server (?:host \S+ (?:\S+ )*)?key(?: 0| 7)? (\S+)",
        r"ip ospf authentication-key(?: 0| 7)? (\S+)",
        r"ip ospf message-digest-key \d+ md5(?: 0| 7)? (\S+)",
    ],
    # The entries of an access list's block, numbered by the device as it
    # shows them (" 10 permit ..."), and prefix lists.
    config_ordered=[r"(?:permit|deny|remark)\b", r"(?:ip|ipv6) prefix-list (\S+) (?:permit|deny)\b"],
    config_numbered=[r"(\d+ )(?:permit|deny|remark)\b", r"(?:ip|ipv6) prefix-list \S+( seq \d+) "],
    confirm_accept=["commit"],
    long_output="show tech-support",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="tarvix-no-such-line",
    harmless_config=(["interface Loopback4093", "description tarvix conformance check"],
                     ["no interface Loopback4093"]),
    recognise=("show version", r"(?i)\beos\b"),
    # dir, verify (/sha512, /md5), delete, rename, copy and boot system on flash:.
    files=router(checksum=("sha512", "md5")),
)
