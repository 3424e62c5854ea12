"""tarvix plugin for routers with a commit-style CLI: prompts user@host> and
user@host#, configuration staged after "configure" and applied by "commit".

Found through its entry point in the group "tarvix.plugins"; registers the
os "commit"; the bundled simulator speaks the dialect (``--dialect commit``).
"""
from tarvix import __impl_roster__
from tarvix.bases.connection import DualRpConnection, SingleRpConnection
from tarvix.eal.dialect import Dialect

DIALECT = Dialect(
    "commit",
    prompt=r"[^\s@#>()]+@{host}{mode}",
    states=[("enable", ">"), ("config", "#")],
    fixed=[("standby_locked", r"Standby console disabled")],
    transitions={("enable", "config"): "configure", ("config", "enable"): "exit"},
    setup_exec=["set cli screen-length 0"],
    standby_unlock=["set chassis redundancy standby-console enable"],
    error_patterns=[r"^error:"],
    commit=["commit"],
    rollback=["rollback"],
    settle_time=2,
    running_config_command="show configuration",
    config_style="set",
    # The statements that hold a password or a key, and the lists whose
    # terms apply in their order.
    config_secrets=[r"(?:\S+ )*(?:encrypted-password|plain-text-password-value) \"?([^\"\s]+)",
                    r"(?:\S+ )*authentication-key \"?([^\"\s]+)"],
    config_ordered=[r"set policy-options policy-statement (\S+) term \S+"],
    commit_confirmed="commit confirmed {minutes}",
    confirm_accept=["commit"],
    rollback_last=["rollback 1"],
    # What the conformance check (tarvix check) sends.
    long_output="show tech-support",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="set tarvix-no-such-line",
    harmless_config=(["set system location building tarvix-check"],
                     ["delete system location building tarvix-check"]),
    # How os="auto" knows this CLI: the first line of its version report.
    recognise=("show version", r"^Commit-style router"),
)


class CommitSingleRpConnection(SingleRpConnection):
    """A commit-style router with one route processor."""

    dialect = DIALECT


class CommitDualRpConnection(DualRpConnection):
    """A commit-style router with an active and a standby route processor."""

    dialect = DIALECT


__impl_roster__.register_plugin(CommitSingleRpConnection, os="commit", chassis_type="single_rp")
__impl_roster__.register_plugin(CommitDualRpConnection, os="commit", chassis_type="dual_rp")
