"""The dialect the generic router speaks."""
from tarvix.eal.dialect import Dialect

# The ntc-templates platform whose TextFSM templates parse this router's
# output: ntc-templates' name for the industry-standard router CLI that the
# generic router's commands follow.
TEMPLATE_PLATFORM = "cisco_ios"

# hier-config's driver for this CLI family's configuration.
REMEDIATION_PLATFORM = "cisco_ios"

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
)
