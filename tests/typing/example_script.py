"""A script as users write them, for the type checkers (never imported by the
tests): single- and dual-RP connections, commands, configuration, replies,
parsed output, errors, the plugin registry, and a platform's own broker and
connection class.  `mypy --strict` and `pyright` (strict) must find nothing
to report here."""
import io
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Match

import tarvix
from tarvix.bases.connection import Connection, DualRpConnection, Settings, SingleRpConnection
from tarvix.bases.routers.link_broker import BaseDualRpLinkBroker, BaseSingleRpLinkBroker
from tarvix.core.errors import CommandError, ConnectionError, TemplateNotFoundError
from tarvix.core.implroster import ImplRoster
from tarvix.eal.dialogs import Dialog, Statement
from tarvix.eal.spawn import Spawn

if TYPE_CHECKING:
    from tarvix.bases.routers.link_broker import DualRpBrokerHost, SingleRpBrokerHost

CREDENTIALS = {"default": {"username": "admin", "password": "secret"}}


def confirm(spawn: Spawn, context: Dict[str, Any], match: Match[str]) -> None:
    spawn.sendline("y")


def single_rp() -> str:
    con = Connection(hostname="r1", start="telnet ts1 2001", credentials=CREDENTIALS, session_log="r1.log")
    con.connect()
    version: str = con.execute("show version", timeout=30, reply=[(r"\[confirm\]", "")])
    con.configure(["interface lo0", "description x"], reply={r"Proceed\?": confirm})
    con.configure("hostname r1\nip domain lookup")
    state = con.state_machine.current_state
    print(con.spawn.pid, state, con.connected)
    con.disconnect()
    return version


def dual_rp() -> List[Dict[str, Any]]:
    with Connection(hostname="r2", start=["ssh r2-a", "ssh r2-b"], chassis_type="dual_rp",
                    learn_hostname=True, init_exec_commands=["terminal length 0"],
                    session_log=io.StringIO()) as con:
        records = con.execute("show interfaces", parse=True)
        clock = con.execute("show clock", target="standby")
        print(con.a.role, con.b.mode, con.active.name, con.standby.spawn.tail(), con.template_platform)
        try:
            con.execute("reload", reply=Dialog([Statement(r"confirm\]", action="", loop_continue=True)]))
        except CommandError as error:
            print(error.command, error.output, error.message)
        except TemplateNotFoundError as error:
            print(error.message)
        except ConnectionError as error:
            print(clock, error.message)
        return records


def either(chassis_type: str, parse: bool) -> None:
    con = Connection(hostname="r3", start=["ssh r3-a", "ssh r3-b"], chassis_type=chassis_type)
    if isinstance(con, DualRpConnection):
        print(con.standby.role)
    elif isinstance(con, SingleRpConnection):
        print(con.spawn.closed)
    print(con.execute("show clock", parse=parse))


def registry(roster: ImplRoster) -> str:
    roster.register_plugin(MyConnection, os="mine", series="s1", chassis_type="single_rp")
    found = roster.get_plugin(os="generic", chassis_type="dual_rp")
    roster.unregister_plugin(os="mine")
    ImplRoster.discover_external_plugins()
    print(found.__name__)
    return roster.print_tree(roster.plugins, output="root")


class MyBroker(BaseSingleRpLinkBroker):
    def disconnect(self) -> None:
        con = self.connection
        con.spawn.close()
        con._is_connected = False
        con.log.info("closed %s" % con.hostname)


class MyDualBroker(BaseDualRpLinkBroker):
    def init_standby(self) -> None:
        con = self.connection
        con.standby.state_machine.go_to("enable", con.standby.spawn, timeout=con.connection_timeout)
        self.execute_init_commands(standby=True)


class MyConnection(SingleRpConnection):
    broker_class = MyBroker
    template_platform = "cisco_ios"
    settings = Settings(EXEC_TIMEOUT=10, ERROR_PATTERNS=[r"^% Invalid"])


def hosts(single: SingleRpConnection, dual: DualRpConnection) -> None:
    # The connection classes offer what the brokers need of them.
    host: "SingleRpBrokerHost" = single
    dual_host: "DualRpBrokerHost" = dual
    MyBroker(host).connect()
    MyDualBroker(dual_host).connect()
    mine = MyConnection(hostname="r4", start="ssh r4")
    mine.connect()


def network_state(single: SingleRpConnection) -> int:
    # The getters' data, typed key by key.
    facts = single.facts()
    names: List[str] = facts["interfaces"]
    up = [name for name, entry in single.interfaces().items() if entry["up"]]
    sessions = single.bgp_neighbors().get("default", {})
    prefixes = sum(session["prefixes_received"] or 0 for session in sessions.values())
    state = single.state(["facts", "lldp_neighbors"])
    return len(names) + len(up) + prefixes + len(state.get("lldp_neighbors", {}))


if __name__ == "__main__":
    print(single_rp(), dual_rp(), registry(tarvix.__impl_roster__), file=sys.stderr)
