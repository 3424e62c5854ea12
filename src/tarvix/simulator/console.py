"""The simulated console: a line-oriented loop over stdin and stdout."""
import codecs
import itertools
import os
import re
import sys
import time

from tarvix.simulator import ENABLE_PASSWORD_ENV, PASSWORD_ENV
from tarvix.simulator.configstore import ConfigStore

MARKER = "standby-console-enabled"
INVALID = "% Invalid input detected."
REJECTED = "% Invalid input detected at '^' marker."
INCOMPLETE = "% Incomplete command."
STANDBY_LOCKED = "\nStandby console disabled\n"

# Sizes of the pieces a slow console writes its replies in, in turn: small
# and uneven, so that prompts and lines arrive split.
_PIECES = (1, 3, 2, 7, 5, 16, 4, 31)

# Exec commands: keywords a typed word may abbreviate, and the mode needed.
_SHOW = ("version", "clock", "running-config", "startup-config", "redundancy", "tech-support")
# The interfaces "show ip interface brief" lists: name, address, how the
# address was set, status, line protocol.
_INTERFACES = (
    ("GigabitEthernet0/0", "192.0.2.1", "NVRAM", "up", "up"),
    ("GigabitEthernet0/1", "198.51.100.1", "manual", "up", "down"),
    ("GigabitEthernet0/2", "unassigned", "unset", "administratively down", "down"),
    ("Loopback0", "203.0.113.1", "NVRAM", "up", "up"),
)
_STATES = {
    "active": ("13 -ACTIVE", "8  -STANDBY HOT"),
    "standby": ("8  -STANDBY HOT", "13 -ACTIVE"),
    "single": ("13 -ACTIVE", "1  -DISABLED"),
    "unknown": ("1  -DISABLED", "1  -DISABLED"),
}


def _is(word, keyword):
    """A typed word abbreviates a keyword."""
    return bool(word) and keyword.startswith(word.lower())


def _words(line):
    return " ".join(line.lower().split())


class SessionEnd(Exception):
    """The user left the exec session ("exit"): the console starts over."""


class StandbyLocked(Exception):
    """The standby console was locked again from the active RP."""


class RouterState(object):
    """What the RPs of one router share: the running configuration, the time
    it booted and whether the standby's console is open.  The two consoles of
    a pair in one process hold the same object; two processes share only the
    standby's lock, through a marker file in a directory both know."""

    def __init__(self, pair_dir=None):
        self.running = []
        # The configuration of the generic dialect's consoles (the running
        # list above is the commit dialect's statements).
        self.config = None
        self.started = time.time()
        self._marker = os.path.join(pair_dir, MARKER) if pair_dir else None
        self._standby_open = False

    @property
    def standby_open(self):
        if self._marker is not None:
            return os.path.exists(self._marker)
        return self._standby_open

    @standby_open.setter
    def standby_open(self, value):
        self._standby_open = bool(value)
        if self._marker is None:
            return
        if value:
            with open(self._marker, "w") as handle:
                handle.write("enabled\n")
        elif os.path.exists(self._marker):
            os.remove(self._marker)


class Console(object):
    """One RP's console.  By default it reads standard input and writes
    standard output.  Given a ``terminal`` instead (an object whose
    ``read()`` waits for the bytes typed next and returns them, b"" at the
    end, and whose ``write(text)`` shows text), the console echoes what is
    typed itself, as a device does on a line it serves; with ``vty`` "exit"
    ends the session instead of starting the console over.  ``password`` and
    ``enable_password`` default to the environment's (see the package);
    ``state`` is the router's, shared with the other RP of a pair."""

    def __init__(self, args, stdin=None, stdout=None, terminal=None, password=None, enable_password=None,
                 state=None, vty=False):
        self.args = args
        self.stdin = stdin or sys.stdin
        self.stdout = terminal or stdout or sys.stdout
        self.terminal = terminal
        self.vty = vty
        self.hostname = args.hostname
        self.password = os.environ.get(PASSWORD_ENV, "") if password is None else password
        self.enable_password = os.environ.get(ENABLE_PASSWORD_ENV) if enable_password is None else enable_password
        self.state = state or RouterState(getattr(args, "pair_dir", None))
        self.mode = "disable"
        self.config_path = []
        if self.state.config is None:
            self.state.config = ConfigStore(["hostname %s" % self.hostname])
        self.rejected = set(_words(line) for line in getattr(args, "reject", None) or [])
        self.hangs = set(_words(line) for line in getattr(args, "hang", None) or [])
        # A slow console: this program echoes what is typed itself, one
        # character after another, and writes its replies in pieces.
        self.echo_delay = getattr(args, "echo_delay", 0) or 0
        self.pause = self.echo_delay or 0.002
        self.reply_delay = getattr(args, "reply_delay", 0) or 0
        self.pieces = itertools.cycle(_PIECES) if getattr(args, "chunked", False) else None
        # Where typed bytes come from when this console echoes them itself.
        self._read_raw = terminal.read if terminal is not None else None
        self._decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self._typed = ""
        self._after_cr = False

    @property
    def running(self):
        return self.state.running

    @property
    def started(self):
        return self.state.started

    # -- terminal --------------------------------------------------------

    def slow_echo(self):
        """Takes the echo over from the terminal (when there is one), as a
        device does: a line is echoed when the console reads it, after the
        answer to the line before, never ahead of it."""
        if self._read_raw is not None:
            return
        fd = self.stdin.fileno() if hasattr(self.stdin, "fileno") else None
        if fd is None or not os.isatty(fd):
            return
        import termios

        attributes = termios.tcgetattr(fd)
        attributes[3] &= ~(termios.ECHO | termios.ICANON)
        attributes[6][termios.VMIN], attributes[6][termios.VTIME] = 1, 0
        termios.tcsetattr(fd, termios.TCSANOW, attributes)
        self._read_raw = lambda: os.read(fd, 1)

    def write(self, text):
        if self.pieces is None:
            self.stdout.write(text)
            self.stdout.flush()
            return
        while text:
            size = next(self.pieces)
            self.stdout.write(text[:size])
            self.stdout.flush()
            text = text[size:]
            if text:
                time.sleep(self.pause)

    def readline(self, secret=False):
        """One input line without its line end; EOFError at end of input."""
        if self._read_raw is not None:
            return self._read_echoing(secret)
        line = self.stdin.readline()
        if not line:
            raise EOFError()
        return line.rstrip("\r\n")

    def _read_echoing(self, secret):
        """One line, echoed as it is read (but for a secret); what was typed
        after its end waits for the next read."""
        line = []
        while True:
            if not self._typed:
                data = self._read_raw()
                if not data:
                    raise EOFError()
                self._typed = self._decoder.decode(data)
            shown = []
            for index, char in enumerate(self._typed):
                after_cr, self._after_cr = self._after_cr, char == "\r"
                if char == "\n" and after_cr:
                    continue
                if char in "\r\n":
                    self._typed = self._typed[index + 1:]
                    if not secret:
                        shown.append("\n")
                    self.echo("".join(shown))
                    return "".join(line)
                line.append(char)
                if not secret:
                    shown.append(char)
            self._typed = ""
            self.echo("".join(shown))

    def echo(self, text):
        """Echoes typed text: a character at a time after the echo delay on a
        slow console, else all at once."""
        if not text:
            return
        for char in (text if self.echo_delay else (text,)):
            if self.echo_delay:
                time.sleep(self.echo_delay)
            self.stdout.write(char)
            self.stdout.flush()

    def ask_secret(self, prompt):
        """Turns echo off before the prompt shows, so nothing typed after it
        is echoed."""
        if self._read_raw is not None:
            self.write(prompt)
            line = self.readline(secret=True)
            self.write("\n")
            return line
        fd = self.stdin.fileno() if hasattr(self.stdin, "fileno") else None
        if fd is not None and os.isatty(fd):
            import termios

            saved = termios.tcgetattr(fd)
            quiet = termios.tcgetattr(fd)
            quiet[3] &= ~termios.ECHO
            termios.tcsetattr(fd, termios.TCSANOW, quiet)
            try:
                self.write(prompt)
                line = self.stdin.readline()
            finally:
                termios.tcsetattr(fd, termios.TCSANOW, saved)
            self.write("\n")
        else:
            self.write(prompt)
            line = self.stdin.readline()
        if not line:
            raise EOFError()
        return line.rstrip("\r\n")

    # -- redundancy ------------------------------------------------------

    def locked(self):
        return self.args.role == "standby" and not self.state.standby_open

    def redundancy(self):
        if self.args.unknown_role:
            key = "unknown"
        else:
            key = self.args.role or "single"
        mine, peer = _STATES[key]
        mode = "sso" if self.args.role else "simplex"
        return ["Redundant system information",
                "  Available system uptime = %d minutes" % self.uptime(),
                "  my state = %s" % mine,
                "  peer state = %s" % peer,
                "  Redundancy Mode = %s" % mode,
                "  Redundancy State = %s" % mode]

    # -- the console -----------------------------------------------------

    def uptime(self):
        return int((time.time() - self.started) // 60)

    def run(self):
        self.slow_echo()
        if self.args.silent:
            while True:
                self.readline()
        while True:
            if self.locked():
                self.write(STANDBY_LOCKED)
                while self.locked():
                    self.readline()
                    if self.locked():
                        self.write(STANDBY_LOCKED)
            try:
                self.session()
            except SessionEnd:
                if self.vty:
                    return
                self.write("\n%s console is now available\n\n" % self.hostname)
            except StandbyLocked:
                pass

    def begin(self):
        """The state a session starts in."""
        self.mode, self.config_path = self.args.start_state, []

    def session(self):
        self.begin()
        if self.args.banner:
            self.write("\nPress RETURN to get started.\n")
            self.readline()
        if self.args.login:
            self.login()
        while True:
            self.write("\n" + self.prompt())
            line = self.readline().strip()
            if self.locked():
                raise StandbyLocked()
            if self.reply_delay:
                time.sleep(self.reply_delay)
            self.handle(line)

    def login(self):
        for _ in range(3):
            self.write("\nUser Access Verification\n\nUsername: ")
            username = self.readline()
            # An empty line asks again, as a device does.
            while not username.strip():
                self.write("Username: ")
                username = self.readline()
            password = self.ask_secret("Password: ")
            if username == self.args.username and password == self.password:
                return
            self.write("% Login invalid\n")
        self.write("% Too many failed logins\n")
        raise EOFError()

    def prompt(self):
        if self.mode == "config":
            return "%s(config%s)#" % (self.hostname, "-" + self.config_path[-1][0] if self.config_path else "")
        return self.hostname + ("#" if self.mode == "enable" else ">")

    def handle(self, line):
        if not line:
            return
        if _words(line) in self.rejected:
            self.write(REJECTED + "\n")
            return
        if _words(line) in self.hangs:
            while True:
                self.readline()
        if self.mode == "config":
            return self.configure(line)
        words = line.split("|", 1)[0].split()
        if not words:
            # Nothing before the pipe.
            self.write(INVALID + "\n")
            return
        if _is(words[0], "enable") and len(words) == 1:
            return self.enable()
        if _is(words[0], "disable") and len(words) == 1:
            self.mode = "disable"
            return
        if words[0].lower() in ("exit", "logout", "quit"):
            raise SessionEnd()
        if _is(words[0], "terminal") and len(words) == 3:
            return
        if _is(words[0], "configure") and self.mode == "enable" and all(_is(w, "terminal") for w in words[1:2]):
            if self.args.no_config:
                self.write(REJECTED + "\n")
                return
            self.mode, self.config_path = "config", []
            return
        if self.mode == "enable" and self.confirm(words):
            return
        if _is(words[0], "show") and len(words) > 1:
            lines = self.show(words[1:])
            if lines is not None:
                return self.print_filtered(lines, line)
        self.write(INVALID + "\n")

    def show(self, words):
        if len(words) == 3 and words[0].lower() == "ip" and _is(words[1], "interface") and _is(words[2], "brief"):
            return ["%-22s %-15s OK? Method %-21s Protocol" % ("Interface", "IP-Address", "Status")] + [
                "%-22s %-15s YES %-6s %-21s %s" % row for row in _INTERFACES]
        what = [k for k in _SHOW if _is(words[0], k)]
        if len(what) != 1:
            return None
        what = what[0]
        if what == "version":
            rps = 2 if self.args.role else 1
            return ["Generic router simulator, software version 1.0",
                    "%s uptime is %d minutes" % (self.hostname, self.uptime()),
                    "%d route processor(s)" % rps]
        if what == "clock":
            return [time.strftime("%H:%M:%S UTC %a %b %d %Y", time.gmtime())]
        if what in ("running-config", "startup-config"):
            return self.state.config.lines(what.split("-")[0]) + ["end"]
        if what == "tech-support":
            return self.tech_support()
        return self.redundancy()

    def tech_support(self):
        """A long report: --tech-lines lines of about 70 characters."""
        return ["%06d Ethernet%d/%d is up, line protocol is up, %9d packets input"
                % (n, n // 48, n % 48, n * 7919 % 100000007) for n in range(self.args.tech_lines)]

    def confirm(self, words):
        """Commands that ask before they act; True when ``words`` was one."""
        if len(words) == 3 and _is(words[0], "copy") and _is(words[1], "running-config") \
                and _is(words[2], "startup-config"):
            self.write("Destination filename [startup-config]? ")
            answer = self.readline().strip()
            if answer in ("", "startup-config"):
                self.state.config.save()
                self.write("Building configuration...\n[OK]\n")
            else:
                self.write("%% Error opening %s (Permission denied)\n" % answer)
            return True
        if len(words) == 2 and _is(words[0], "clear") and _is(words[1], "counters"):
            self.write('Clear "show interface" counters on all interfaces [confirm]')
            answer = self.readline().strip().lower()
            if answer not in ("", "y", "yes"):
                self.write("% Not cleared\n")
            return True
        return False

    def print_filtered(self, lines, line):
        if "|" in line:
            pipe = line.split("|", 1)[1].split(None, 1)
            if len(pipe) != 2 or not (_is(pipe[0], "include") or _is(pipe[0], "exclude")):
                self.write(INVALID + "\n")
                return
            keep = _is(pipe[0], "include")
            lines = [text for text in lines if bool(re.search(pipe[1], text)) == keep]
        self.write("".join(text + "\n" for text in lines))

    def enable(self):
        if self.mode != "disable":
            return
        if self.enable_password is not None:
            if self.ask_secret("Password: ") != self.enable_password:
                self.write("% Access denied\n")
                return
        self.mode = "enable"

    def configure(self, line):
        words = line.split()
        keyword = words[0].lower()
        if keyword == "end":
            self.mode, self.config_path = "enable", []
            return
        if keyword in ("exit", "exit-address-family"):
            if self.config_path:
                self.config_path.pop()
            else:
                self.mode = "enable"
            return
        store = self.state.config
        path = [entry[1] for entry in self.config_path]
        mode = store.apply(path, [entry[2] for entry in self.config_path], line)
        if mode is None:
            self.write(REJECTED + "\n")
            return
        self.config_path = list(zip(store.mode_names(mode[0]), mode[0], mode[1]))
        if mode[0] == ["redundancy", "main-cpu"] and line.lower() in ("standby console enable",
                                                                       "no standby console enable"):
            self.standby_console(not line.lower().startswith("no "))

    def standby_console(self, enabled):
        if self.args.role == "active":
            self.state.standby_open = enabled
