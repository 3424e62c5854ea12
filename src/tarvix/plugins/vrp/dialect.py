"""The dialect of the vrp CLI.

The user view shows ``<host>``; ``system-view`` enters the system view,
``[~host]`` (``[*host]`` once a line is staged, ``[~host-Interface1]`` in a
sub-view); staged lines apply at ``commit`` and ``return`` goes back to the
user view.  ``save`` asks before it writes.  Rejections start with
"Error: ".
"""
from tarvix.eal.dialect import Dialect
from tarvix.eal.filecommands import FileCommands

DIALECT = Dialect(
    "vrp",
    # <host>, [host], [~host], [*host], [~host-GigabitEthernet0/0/1]
    prompt=r"[<\[][~*]?{host}{mode}",
    states=[("enable", ">"), ("config", r"(?:-[^\]\s]+)?\]")],
    transitions={
        ("enable", "config"): "system-view",
        ("config", "enable"): "return",
    },
    setup_exec=["screen-length 0 temporary"],
    error_patterns=[r"^\s*Error:"],
    commit=["commit"],
    rollback=["clear configuration candidate"],
    save=["save"],
    save_replies=[(r"Continue\?\s*\[Y/N\]:?", "Y")],
    reload="reboot",
    reload_save_question=r"will be saved[^\r\n]*\[Y/N\]:?\s*\Z",
    reload_save_answers=("Y", "N"),
    reload_confirm=(r"will reboot[^\r\n]*\[Y/N\]:?\s*\Z", "Y"),
    template_platform="huawei_vrp",
    # Configuration as a whole: blocks negated with "undo", one candidate
    # and one commit; no confirmed commit, a rollback replaces back.
    running_config_command="display current-configuration",
    config_noise=[r"^\s*#", r"^\s*!", r"^(?:return|end)$"],
    remediation_platform="huawei_vrp",
    config_leave="quit",
    # The lines that hold a password or a key ("undo" before them too).
    config_secrets=[
        r"local-user \S+ password (?:irreversible-cipher|cipher|simple) (\S+)",
        r"peer \S+ password (?:cipher|simple) (\S+)",
        r"snmp-agent community (?:read|write) (?:cipher )?(\S+)",
        r"snmp-agent usm-user v3 \S+ (?:\S+ )*?(?:authentication|privacy)-mode \S+ (?:cipher )?(\S+)",
        r"(?:ospf )?authentication-mode (?:md5|hmac-md5|hmac-sha256) \d+ (?:cipher|plain) (\S+)",
        r"(?:ospf )?authentication-mode simple (?:cipher |plain )?(\S+)",
        r"set authentication password (?:cipher|simple) (\S+)",
        r"super password (?:level \d+ )?(?:cipher|simple) (\S+)",
        r"pre-shared-key (?:cipher|simple) (\S+)",
    ],
    # An access list's rules: those without a number are numbered by the
    # device, in order (" rule 5 permit ...").
    config_ordered=[r"rule (?:permit|deny)\b"],
    config_numbered=[r"rule( \d+) (?:permit|deny)\b"],
    long_output="display tech-support",
    rejected_exec="display tarvix-no-such-thing",
    rejected_config="tarvix-no-such-line",
    harmless_config=(["interface LoopBack4093", "description tarvix conformance check"],
                     ["undo interface LoopBack4093"]),
    # Its own version report, or its user view's prompt when another
    # platform's command was asked.
    recognise=("display version", r"(?i)\bvrp\b|\A<[^<>\s]+>\Z"),
    # dir, delete, rename and copy, each asking [Y/N]; no sum of its own.
    files=FileCommands(
        free_space="dir {dir}", free_pattern=r"\(\s*(?P<free>[\d,]+) KB free", free_unit=1024,
        delete="delete /unreserved {path}", rename="rename {source} {target}", copy="copy {source} {target}",
        replies=[(r"\[Y/N\]:?\s*\Z", "y")], missing=r"(?i)does not exist|no such file", quote="double",
        default_dir="flash:/", transfer_path="{name}", version=("display version", r"Version (?P<version>[\d.]+)")),
)
