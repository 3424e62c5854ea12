"""Third-party routers for the end-to-end tests: FakeNOS hosts of its router
platform with the industry-standard CLI, served over SSH on 127.0.0.1.

This file runs under an interpreter where FakeNOS is installed (it need not
be the one the tests run under)::

    python devicebed.py router:r1 refuser:r2 pair:core1

Each argument is KIND:NAME:

- ``router``  a stock router of the platform, with a few more commands: a
  configuration mode ("configure terminal" -> ``NAME(config)#``, "end"), a
  live "show running-config", the redundancy queries of a single route
  processor, "show tech" (20,000 lines, 1.4 MB), "show tech 1.4m" (1.4 MB
  of plain output), "show tech bytes N" for N in BYTES_SIZES, written with
  8 digits (about N bytes of plain output; the commands are of one length,
  so that they cost the same to type), "show slow" (its
  answer comes after 1.5 s) and commands that ask questions before they run
  ("copy running-config startup-config", "delete flash:old.bin");
- ``refuser`` the same router, but it refuses the configuration mode;
- ``eos``, ``junos``, ``vyos``, ``fastiron``  a stock host of FakeNOS's
  platform of that CLI (``STOCK_PLATFORMS``), its own commands only, an
  unknown command answered in the CLI's words (``REFUSALS``); its prompt
  shows the host as that CLI does (``STOCK_PROMPTS``: user@NAME>, ...);
- ``pair``    two hosts NAME-a and NAME-b, the two route processors of one
  router: they share its state (running configuration, which one is active,
  whether the standby's console is enabled).  The standby's console prints
  "Standby console disabled" and takes no command until "standby console
  enable" is configured under "redundancy" / "main-cpu" on the active.

Every host shows the prompt NAME and accepts the username "user" with the
password in $DEVICEBED_PASSWORD ("user" when unset).  FakeNOS's SSH server
echoes each character typed after 10 ms, as a console behind a terminal
server does.

Once the servers listen, one line of JSON goes to standard output: host name
-> port.  Then standard input takes control lines, each answered by one line:

    reset NAME [active=a|b]   forget NAME's configuration (and, for a pair,
                              make that RP active and lock the standby)

At end of input the process ends at once, servers and sessions with it.
"""
import json
import os
import socket
import sys
import threading
import time

try:
    from fakenos import FakeNOS
    from fakenos.core.nos import Nos
    from fakenos.plugins.nos import nos_plugins
    from fakenos.plugins.shell.cmd_shell import CMDShell
except ImportError:
    # Imported by the tests, for what the devices print, where FakeNOS is not installed.
    CMDShell = object

PLATFORM = "cisco_ios"
USERNAME = "user"
EXEC = ["{base_prompt}>", "{base_prompt}#"]
ENABLE = "{base_prompt}#"
CONFIG_REFUSED = ("Configuration mode is locked by process '311' user 'admin' from terminal '2'. "
                  "Please try later.")
# Sizes in bytes of the outputs of "show tech bytes %08d".
BYTES_SIZES = (100, 100000, 1000000, 10000000)
SUBMODES = {"interface": "if", "redundancy": "red", "line": "line", "router": "router"}
# Commands that ask before they run: the questions in turn, then the output.
DIALOGS = {
    "copy running-config startup-config": (["Destination filename [startup-config]? "],
                                           "Building configuration...\n[OK]"),
    "delete flash:old.bin": (["Delete filename [old.bin]? ", "Delete flash:/old.bin? [confirm]"], ""),
}
ROUTERS = {}
# FakeNOS's platform of each CLI a stock host speaks, by tarvix os.
STOCK_PLATFORMS = {"eos": "arista_eos", "junos": "juniper_junos", "vyos": "vyatta_vyos", "fastiron": "ruckus_fastiron"}
# How each shows its host in the prompt (FakeNOS's base prompt), and how it
# answers a command it does not know.
STOCK_PROMPTS = {"eos": "{name}", "junos": "user@{name}", "vyos": "user@{name}:", "fastiron": "SSH@{name}"}
REFUSALS = {"eos": "% Invalid input", "junos": "syntax error, expecting <command>.", "vyos": "Invalid command",
            "fastiron": "Invalid input -> Type ? for a list"}


class Router(object):
    """The state of one router, shared by the consoles of its RPs."""

    def __init__(self, name, dual=False, refuses_config=False):
        self.name = name
        self.dual = dual
        self.refuses_config = refuses_config
        self.reset()

    def reset(self, active="a"):
        self.active = active
        self.standby_console = False
        self.running = []

    def locked(self, rp):
        return self.dual and rp != self.active and not self.standby_console

    def role(self, rp):
        if not self.dual:
            return "13 -ACTIVE", "1  -DISABLED", "simplex"
        if rp == self.active:
            return "13 -ACTIVE", "8  -STANDBY HOT", "sso"
        return "8  -STANDBY HOT", "13 -ACTIVE", "sso"


def tech_lines(count):
    """Lines of a long diagnostic output, 71 bytes each with the line end.
    Among them, lines that look like prompts and like the command itself."""
    lines = []
    for number in range(1, count + 1):
        if number % 5000 == 2500:
            lines.append("{base_prompt}#")
        elif number % 5000 == 1:
            lines.append("------------------ show tech ------------------")
        else:
            lines.append("%05d interface Gi0/%d rx %012d tx %012d errors 0 drops 0" % (number, number % 48, number * 7, number * 11))
    return lines


def tech_bytes(size):
    """About ``size`` bytes of plain output (no line in it looks like a
    prompt), in lines of 75 bytes with the CRLF line end."""
    return "\r\n".join("%07d interface Gi0/%02d rx %012d tx %012d errors 0 drops 0" % (n, n % 48, n * 7, n * 11)
                       for n in range(1, max(1, size // 75) + 1))


def commands_of(router, rp):
    """The commands a host of ``router`` adds to the platform's own."""

    def running(device, base_prompt, current_prompt, command):
        body = ["hostname %s" % base_prompt, "!"] + router.running + ["!", "end"]
        text = "\n".join(body)
        return "Building configuration...\n\nCurrent configuration : %d bytes\n!\n%s" % (len(text), text)

    def my_state(device, base_prompt, current_prompt, command):
        return "       my state = %s" % router.role(rp)[0]

    def states(device, base_prompt, current_prompt, command):
        mine, peer, mode = router.role(rp)
        return ("       my state = %s\n     peer state = %s\n           Mode = %s\n           Unit = %s\n"
                "        Unit ID = %d\n\nRedundancy Mode (Operational) = %s\nRedundancy Mode (Configured)  = %s\n"
                "Redundancy State              = %s\n     Maintenance Mode = Disabled"
                % (mine, peer, "Duplex" if router.dual else "Simplex", "Primary" if rp == "a" else "Secondary",
                   48 if rp == "a" else 49, mode, mode, mode))

    def configure(device, base_prompt, current_prompt, command):
        if router.refuses_config:
            return CONFIG_REFUSED
        return {"output": None, "new_prompt": "{base_prompt}(config)#"}

    def slow(device, base_prompt, current_prompt, command):
        time.sleep(1.5)
        return "slow reply after 1.5 s"

    def tech(size):
        def output(device, base_prompt, current_prompt, command):
            if size is None:
                return "\r\n".join(tech_lines(20000)).replace("{base_prompt}", base_prompt)
            return tech_bytes(size)
        return output

    commands = {
        "configure terminal": {"output": configure, "prompt": ENABLE, "help": "enter configuration mode"},
        "show running-config": {"output": running, "prompt": ENABLE, "help": "current configuration"},
        "sh redundancy stat | inc my state": {"output": my_state, "prompt": EXEC, "help": "redundancy role"},
        "sh redundancy state": {"output": states, "prompt": EXEC, "help": "redundancy states"},
        "show redundancy states": {"alias": "sh redundancy state", "prompt": EXEC},
        "show tech": {"output": tech(None), "prompt": ENABLE, "help": "20,000 lines of diagnostics"},
        "show slow": {"output": slow, "prompt": EXEC, "help": "answers after 1.5 s"},
    }
    commands["show tech 1.4m"] = {"output": tech(1400000), "prompt": ENABLE, "help": "1.4 MB"}
    for size in BYTES_SIZES:
        commands["show tech bytes %08d" % size] = {"output": tech(size), "prompt": ENABLE, "help": "%d bytes" % size}
    for line in DIALOGS:
        commands[line] = {"output": None, "prompt": ENABLE, "new_prompt": DIALOGS[line][0][0],
                          "help": "asks before it runs"}
    return commands


class ConsoleShell(CMDShell):
    """FakeNOS's command shell, with what its command tables cannot say: the
    lines of the configuration mode, the questions of a dialog, and the
    console of a standby RP that stays locked until the active enables it.
    A stock host (of no router) gets FakeNOS's shell as it is."""

    def __init__(self, *args, **kwargs):
        config = kwargs.get("nos_inventory_config") or {}
        self.router = ROUTERS.get(config.get("router"))
        self.rp = config.get("rp", "a")
        self.config_path = []
        self.dialog = None
        self._prompt = ""
        super(ConsoleShell, self).__init__(*args, **kwargs)

    @property
    def prompt(self):
        if self.router is not None and self.router.locked(self.rp):
            return "\r\nStandby console disabled\r\n"
        return self._prompt

    @prompt.setter
    def prompt(self, value):
        self._prompt = value

    def exec_prompt(self):
        return ENABLE.format(base_prompt=self.base_prompt)

    def writeline(self, value):
        # Large outputs go out in pieces of about 64 KB instead of one write
        # per line, so that the server's own cost stays linear in the size.
        text = str(value)
        if len(text) < 65536:
            return super(ConsoleShell, self).writeline(value)
        text = text.replace("\r\n", "\n").replace("\n", self.newline) + self.newline
        for start in range(0, len(text), 65536):
            self.stdout.write(text[start:start + 65536])
        return None

    def onecmd(self, line):
        if self.router is None:
            return super(ConsoleShell, self).onecmd(line)
        if self.router.locked(self.rp):
            return False
        if self.dialog is None and self._prompt in [q[0][0] for q in DIALOGS.values()]:
            command = [c for c, q in DIALOGS.items() if q[0][0] == self._prompt][0]
            self.dialog = (command, 0)
        if self.dialog is not None:
            return self.answer(line.strip())
        if self._prompt.startswith(self.base_prompt + "(config"):
            return self.config_line(line.strip())
        return super(ConsoleShell, self).onecmd(line)

    def answer(self, line):
        command, step = self.dialog
        questions, output = DIALOGS[command]
        if line.lower() in ("n", "no"):
            self.dialog = None
            self._prompt = self.exec_prompt()
            self.writeline("%Aborted")
            return False
        if step + 1 < len(questions):
            self.dialog = (command, step + 1)
            self._prompt = questions[step + 1]
            return False
        self.dialog = None
        self._prompt = self.exec_prompt()
        if output:
            self.writeline(output)
        return False

    def config_line(self, line):
        if not line:
            return False
        words = line.split()
        keyword = words[0].lower()
        if keyword == "end":
            self.config_path = []
            self._prompt = self.exec_prompt()
            return False
        if keyword == "exit":
            if self.config_path:
                self.config_path.pop()
            else:
                self._prompt = self.exec_prompt()
                return False
        else:
            self.router.running.append(" " * len(self.config_path) + line)
            if self.config_path == ["red"] and keyword == "main-cpu":
                self.config_path.append("r-mc")
            elif not self.config_path and keyword in SUBMODES:
                self.config_path.append(SUBMODES[keyword])
            elif self.config_path == ["red", "r-mc"] and line.lower().endswith("standby console enable"):
                if self.router.dual and self.rp == self.router.active:
                    self.router.standby_console = not line.lower().startswith("no ")
        mode = "-" + self.config_path[-1] if self.config_path else ""
        self._prompt = "%s(config%s)#" % (self.base_prompt, mode)
        return False


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def inventory(devices, password):
    hosts = {}
    taken = set()
    for kind, name in devices:
        if kind in STOCK_PLATFORMS:
            port = free_port()
            while port in taken:
                port = free_port()
            taken.add(port)
            hosts[name] = {
                "port": port,
                "shell": {"plugin": "CMDShell", "configuration": {
                    "base_prompt": STOCK_PROMPTS[kind].format(name=name)}},
                "nos": {"plugin": STOCK_PLATFORMS[kind],
                        "configuration": {"commands": {"_default_": {"output": REFUSALS[kind]}}}},
            }
            continue
        router = ROUTERS[name] = Router(name, dual=kind == "pair", refuses_config=kind == "refuser")
        for rp in ("a", "b") if router.dual else ("a",):
            host = "%s-%s" % (name, rp) if router.dual else name
            port = free_port()
            while port in taken:
                # Freed ports come back: one port for two hosts is refused.
                port = free_port()
            taken.add(port)
            hosts[host] = {
                "port": port,
                "shell": {"plugin": "CMDShell", "configuration": {"base_prompt": name}},
                "nos": {"plugin": PLATFORM,
                        "configuration": {"router": name, "rp": rp, "commands": commands_of(router, rp)}},
            }
    return {
        "default": {
            "username": USERNAME, "password": password,
            "server": {"plugin": "ParamikoSshServer", "configuration": {"address": "127.0.0.1", "timeout": 1}},
        },
        "hosts": hosts,
    }


def start(devices, password):
    """FakeNOS with its servers listening; its hosts' ports by name."""
    # One copy of the platform for every host: loading it is the slow part.
    names = [PLATFORM] + sorted(set(STOCK_PLATFORMS[kind] for kind, _ in devices if kind in STOCK_PLATFORMS))
    platforms = [Nos(name=name, filename=nos_plugins[name]) for name in names]
    for attempt in range(3):
        net = FakeNOS(inventory(devices, password), plugins=platforms)
        net.shell_plugins["CMDShell"] = ConsoleShell
        try:
            net.start()
        except OSError:
            # A port picked was taken meanwhile: try again with others.
            if attempt == 2:
                raise
            continue
        return net, dict((name, host.port) for name, host in net.hosts.items())
    raise RuntimeError("unreachable")


def control(line):
    words = line.split()
    if len(words) >= 2 and words[0] == "reset" and words[1] in ROUTERS:
        options = dict(word.split("=", 1) for word in words[2:] if "=" in word)
        ROUTERS[words[1]].reset(active=options.get("active", "a"))
        return "ok"
    return "error: unknown control line %r" % line


def main(argv):
    devices = []
    for argument in argv:
        kind, _, name = argument.partition(":")
        if kind not in ("router", "refuser", "pair") + tuple(STOCK_PLATFORMS) or not name:
            sys.exit("usage: devicebed.py KIND:NAME ... (KIND: router, refuser, pair, %s)"
                     % ", ".join(STOCK_PLATFORMS))
        devices.append((kind, name))
    password = os.environ.get("DEVICEBED_PASSWORD", USERNAME)
    _, ports = start(devices, password)
    sys.stdout.write(json.dumps(ports) + "\n")
    sys.stdout.flush()
    for line in sys.stdin:
        if line.strip():
            sys.stdout.write(control(line) + "\n")
            sys.stdout.flush()
    # No orderly stop: each server would wait for its listening thread.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main(sys.argv[1:])
