"""The dialect of the fastiron CLI.

Prompts ``SSH@host>``, ``SSH@host#`` and ``SSH@host(config)#`` (``telnet@``
on a telnet line, no prefix on a console); ``skip-page-display`` turns the
pager off; a rejected command is answered "Invalid input -> ...".
"""
from tarvix.eal.dialect import Dialect
from tarvix.eal.filecommands import FileCommands

DIALECT = Dialect(
    "fastiron",
    prompt=r"(?:SSH@|telnet@)?{host}{mode}",
    states=[("disable", ">"), ("enable", "#"), ("config", r"\(config[^()\s]*\)#")],
    transitions={
        ("disable", "enable"): "enable",
        ("enable", "disable"): "exit",
        ("enable", "config"): "configure terminal",
        ("config", "enable"): "end",
    },
    password_commands=["enable"],
    setup_exec=["skip-page-display"],
    error_patterns=[r"Invalid input ->", r"^\s*Error[:\s-]", r"^\s*Incomplete command", r"^\s*Ambiguous input"],
    save=["write memory"],
    running_config_command="show running-config",
    config_noise=[r"^Current configuration\s*:", r"^!", r"^end$"],
    # The software's stamp ("ver 08.0.30..."), no line of a replace.
    config_fixed=[r"^ver\s"],
    # The lines that hold a password or a key, after an encryption type.
    config_secrets=[
        r"username \S+ (?:privilege \d+ )?password(?: \d)? (\S+)",
        r"enable (?:super-user-password|port-config-password|read-only-password)(?: \d)? (\S+)",
        r"snmp-server community(?: \d)? (\S+)",
        r"(?:tacacs|radius)-server key(?: \d)? (\S+)",
        r"neighbor \S+ password(?: \d)? (\S+)",
        r"ip ospf authentication-key(?: \d)? (\S+)",
        r"ip ospf md5-authentication key-id \d+ key(?: \d)? (\S+)",
    ],
    config_ordered=[r"access-list (\d+) ", r"ip prefix-list (\S+) (?:permit|deny)\b", r"(?:permit|deny|remark)\b"],
    config_numbered=[r"ip prefix-list \S+( seq \d+) "],
    reload="reload",
    reload_confirm=(r"Are you sure\?\s*\(enter 'y' or 'n'\):\s*\Z", "y"),
    template_platform="ruckus_fastiron",
    long_output="show tech-support",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="tarvix-no-such-line",
    harmless_config=(["ip prefix-list tarvix-check seq 5 permit 192.0.2.0/24"],
                     ["no ip prefix-list tarvix-check"]),
    recognise=("show version", r"(?i)\bfastiron\b"),
    # No sum, listing or boot variable of its own in the CLI: files only move.
    files=FileCommands(quote="double", default_dir="", version=("show version", r"SW: Version (?P<version>\S+)")),
)
