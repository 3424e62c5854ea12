"""The dialect the generic router speaks."""
from tarvix.eal.dialect import Dialect
from tarvix.eal.filecommands import router

# The ntc-templates platform whose TextFSM templates parse this router's
# output: ntc-templates' name for the industry-standard router CLI that the
# generic router's commands follow.
TEMPLATE_PLATFORM = "cisco_ios"

# hier-config's driver for this CLI family's configuration.
REMEDIATION_PLATFORM = "cisco_ios"

# The lines that hold a password or a key (each group one), after an
# encryption type's digit where the line may have one.
CONFIG_SECRETS = [
    r"username \S+ (?:.* )?(?:secret|password)(?: \d)? (\S.*)",
    r"enable (?:secret|password)(?: level \d+)?(?: \d)? (\S.*)",
    # A line's password (line vty, line console).
    r"password(?! encryption )(?: \d)? (\S.*)",
    r"neighbor \S+ password(?: \d)? (\S.*)",
    r"snmp-server community (\S+)",
    r"snmp-server user \S+ \S+ (?:remote \S+ (?:udp-port \d+ )?)?v3 (?:encrypted )?auth \S+ (\S+)"
    r"(?: priv (?:3des|des|aes(?: \d+)?) (\S+))?",
    r"crypto isakmp key(?: \d)? (\S+)",
    r"(?:tacacs|radius)-server key(?: \d)? (\S.*)",
    r"ntp authentication-key \d+ md5 (\S+)",
    r"(?:\S+ )*key-string(?: \d)? (\S.*)",
    r"(?:\S+ )*pre-shared-key(?: local| remote)?(?: \d)? (\S.*)",
    r"(?:\S+ )*authentication-key(?: \d)? (\S.*)",
    r"(?:\S+ )*message-digest-key \d+ md5(?: \d)? (\S.*)",
    r"(?:\S+ )*authentication (?:text|md5 key-string)(?: \d)? (\S.*)",
    r"ppp (?:chap|pap) (?:password|sent-username \S+ password)(?: \d)? (\S+)",
]

# The lists whose order matters: numbered access lists and prefix lists at
# the top, the entries of a named access list's block; the prefix list
# entries the device numbers itself (" seq 5").
CONFIG_ORDERED = [
    r"access-list (\d+) ",
    r"(?:ip|ipv6) prefix-list (\S+) (?:permit|deny)\b",
    r"ip as-path access-list (\d+) ",
    r"ip (?:community|extcommunity)-list (?:standard |expanded )?(\S+) (?:permit|deny)\b",
    r"(?:permit|deny|remark)\b",
]
CONFIG_NUMBERED = [r"(?:ip|ipv6) prefix-list \S+( seq \d+) "]

DIALECT = Dialect(
    "generic",
    # host>, host#, host(config)#, host(config-if)#
    prompt="{host}{mode}",
    states=[("disable", ">"), ("enable", "#"), ("config", r"\(config[^()\s]*\)#")],
    # The console of a standby route processor, which takes no command.
    fixed=[("standby_locked", r"Standby console disabled")],
    transitions={
        ("disable", "enable"): "enable",
        ("enable", "disable"): "disable",
        ("enable", "config"): "configure terminal",
        ("config", "enable"): "end",
    },
    password_commands=["enable"],
    # Sent on every RP once it is reached: no paging, lines as wide as the CLI allows.
    setup_exec=["terminal length 0", "terminal width 511"],
    # Applied once on the active RP: keep log messages off the console.
    setup_config=["no logging console"],
    standby_unlock=["redundancy", "main-cpu", "standby console enable"],
    # The last two are how other CLIs of the same family say the first two.
    error_patterns=[r"^% ?Invalid input", r"^% ?Incomplete command", r"^% ?Ambiguous command",
                    r"^% ?Unknown command", r"^% ?Command incomplete"],
    settle_time=2,
    reload="reload",
    reload_standby="redundancy reload peer",
    switchover="redundancy force-switchover",
    reload_save_question=r"[Ss]ave\?\s*\[yes/no\]:\s*\Z",
    switchover_refusals=[r"[Ss]tandby\b.*\bnot ready"],
    ha_query="show redundancy",
    standby_ready=r"peer state = .*STANDBY HOT",
    template_platform=TEMPLATE_PLATFORM,
    running_config_command="show running-config",
    config_noise=[r"^Building configuration", r"^Current configuration\s*:", r"^!", r"^end$"],
    remediation_platform=REMEDIATION_PLATFORM,
    config_secrets=CONFIG_SECRETS,
    config_ordered=CONFIG_ORDERED,
    config_numbered=CONFIG_NUMBERED,
    # The save asks where to; the default destination is the one meant.
    save=["copy running-config startup-config"],
    save_replies=[(r"Destination filename \[[^\]\r\n]*\]\?\s*\Z", "")],
    long_output="show tech-support",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="tarvix-no-such-line",
    harmless_config=(["interface Loopback4093", "description tarvix conformance check"],
                     ["no interface Loopback4093"]),
    # The family's catch-all: a version report.
    recognise=("show version", r"(?i)\bversion\b"),
    # dir, verify, delete, rename, copy and boot system on flash: (stby-flash: the standby's).
    files=router(standby_dir="stby-flash:"),
)
