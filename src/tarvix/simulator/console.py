"""The simulated console: a line-oriented loop over stdin and stdout, in
the CLI of its dialect (``tarvix.simulator.clis``)."""
import codecs
import itertools
import os
import re
import sys
import time

from tarvix.simulator import ENABLE_PASSWORD_ENV, PASSWORD_ENV, boot, flash as flashfs, flashcli, showtext
from tarvix.simulator.clis import CLIS
from tarvix.simulator.configfile import ConfigFile
from tarvix.simulator.configmodes import ConfigModes
from tarvix.simulator.configstore import CommitHistory
from tarvix.simulator.netmodel import Network
from tarvix.simulator.terminal import Terminal

MARKER = "standby-console-enabled"
STANDBY_LOCKED = "\nStandby console disabled\n"

# Sizes of the pieces a slow console writes its replies in, in turn: small
# and uneven, so that prompts and lines arrive split.
_PIECES = (1, 3, 2, 7, 5, 16, 4, 31)

# Exec commands: keywords a typed word may abbreviate, and the mode needed.
_SHOW = ("version", "clock", "running-config", "startup-config", "redundancy", "tech-support")
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
        # A set-style dialect's statements; a hierarchical one's
        # configuration is ``config``, a ConfigStore (made by the console).
        self.running = []
        self.startup = []
        self.config = None
        self.commits = CommitHistory()
        # The console that holds the configuration alone (configure exclusive).
        self.config_holder = None
        # Configured since the configuration was last saved.
        self.modified = False
        self.started = time.time()
        self._marker = os.path.join(pair_dir, MARKER) if pair_dir else None
        self._standby_open = False
        self.boots = boot.Boots(pair_dir)
        # Where the configuration is kept across runs (a ConfigFile), if anywhere.
        self.config_file = None
        # Each RP's file system (seat -> Flash), and the image booted.
        self.flashes = {}
        self.booted = None

    def flash(self, seat, size=flashfs.DEFAULT_SIZE):
        if seat not in self.flashes:
            self.flashes[seat] = flashfs.Flash(size)
        return self.flashes[seat]

    def save(self):
        self.startup = list(self.running)
        if self.config is not None:
            self.config.save()
        self.modified = False

    def rebooted(self):
        """The router reloads: its running configuration is the saved one
        again, and it counts its uptime from now."""
        self.running = list(self.startup)
        if self.config is not None:
            self.config.reload()
        self.booted = flashfs.boot_image(self.config.lines() if self.config is not None else self.startup)
        self.modified = False
        self.started = time.time()

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


class Console(Terminal, ConfigModes):
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
        self.cli = CLIS[getattr(args, "dialect", None) or "generic"]
        self.mode = self.cli.modes[0]
        self.config_path = []
        self.staged, self.config_session, self.candidate = [], None, None
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
        # The boot of this RP the console last came back from.
        self.generation = self.state.boots.generation(boot.seat(self))
        if getattr(args, "config_file", None) and self.state.config_file is None:
            self.state.config_file = ConfigFile(args.config_file)
        if self.state.config_file is not None:
            self.state.config_file.load(self)

    @property
    def running(self):
        return self.state.running

    @property
    def started(self):
        return self.state.started

    # -- redundancy ------------------------------------------------------

    def locked(self):
        return boot.role(self) == "standby" and not self.state.standby_open

    def redundancy(self):
        if self.args.unknown_role:
            key = "unknown"
        else:
            key = boot.role(self) or "single"
        mine, peer = _STATES[key]
        if boot.peer_seat(self) and self.state.boots.booting(boot.peer_seat(self)):
            peer = "1  -DISABLED"
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
        boot.take_interrupts(self)
        if self.args.silent:
            while True:
                self.readline()
        while True:
            try:
                if self.locked():
                    self.write(STANDBY_LOCKED)
                    while self.locked():
                        self.readline()
                        boot.check(self)
                        if self.locked():
                            self.write(STANDBY_LOCKED)
                try:
                    self.session()
                finally:
                    self.release()
            except boot.Rebooted:
                pass
            except SessionEnd:
                if self.vty:
                    return
                self.write("\n%s console is now available\n\n" % self.hostname)
            except StandbyLocked:
                pass

    def begin(self):
        """The state a session starts in."""
        start = getattr(self.args, "start_state", None)
        self.mode = start if start in self.cli.modes else self.cli.modes[0]
        self.config_path, self.staged, self.config_session, self.candidate = [], [], None, None

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
            boot.check(self)
            if self.locked():
                raise StandbyLocked()
            if self.reply_delay:
                time.sleep(self.reply_delay)
            self.handle_kept(line)

    def handle_kept(self, line):
        """Handles a line; a configuration kept in a file is read before and
        written after it."""
        kept = self.state.config_file
        if kept is None:
            return self.handle(line)
        kept.load(self)
        try:
            self.handle(line)
        finally:
            kept.keep(self)

    def login(self):
        if self.cli.login == "unix":
            return self.unix_login()
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

    def unix_login(self):
        for _ in range(3):
            username = ""
            while not username.strip():
                self.write("\nlogin: ")
                username = self.readline()
            password = self.ask_secret("Password: ")
            if username == self.args.username and password == self.password:
                return
            self.write("\nLogin incorrect")
        raise EOFError()

    def prompt(self):
        form = self.cli.prompts[self.mode]
        if self.mode == "config" and self.config_session and self.cli.session_prompt:
            form = self.cli.session_prompt
        text = form.format(host=self.hostname, user=self.args.username, session=self.config_session,
                           sub="-" + self.config_path[-1][0] if self.config_path else "",
                           mark="*" if self.staged else "~")
        if self.mode == "config" and self.cli.edit_line:
            return self.cli.edit_line + "\n" + text
        return text

    def say(self, form, line=""):
        """Writes one of the dialect's answers, "{line}" the line typed."""
        self.write(form.format(line=line) + "\n")

    def stages(self):
        """Whether configuration lines wait for a commit here."""
        return self.cli.staged and (self.cli.session_prompt is None or self.config_session is not None)

    def handle(self, line):
        self.expire()
        if not line:
            return
        if _words(line) in self.rejected and not (self.cli.staged and self.mode == "config"):
            self.say(self.cli.refused, line)
            return
        if _words(line) in self.hangs:
            while True:
                self.readline()
        if self.mode == "config":
            return self.configure(line)
        if self.mode == "shell":
            return self.shell(line)
        words = line.split("|", 1)[0].split()
        if not words:
            # Nothing before the pipe.
            self.say(self.cli.invalid, line)
            return
        if self.exec_mode_command(words):
            return
        if self.mode == "enable" and (self.confirm(words) or self.save(words) or boot.command(self, words)):
            return
        if self.mode == "enable" and flashcli.command(self, line):
            return
        shown = showtext.answer(self, _words(line))
        if shown is not None:
            return self.write("".join(text + "\n" for text in shown))
        if self.cli.long is not None and _words(line) == self.cli.long:
            return self.print_filtered(self.tech_support(), line)
        if _is(words[0], self.cli.show) and len(words) > 1:
            lines = self.show(words[1:])
            if lines is not None:
                return self.print_filtered(lines, line)
        self.say(self.cli.invalid, line)

    def shell(self, line):
        """A root login's shell: ``cli`` starts the CLI."""
        if line == "cli":
            self.mode = "enable"
        elif line in ("exit", "logout"):
            raise SessionEnd()
        else:
            self.write("sh: %s: not found\n" % line.split()[0])

    def exec_mode_command(self, words):
        """The commands that change modes or settings; True when ``words``
        was one."""
        if "disable" in self.cli.modes and len(words) == 1:
            if _is(words[0], "enable"):
                self.enable()
                return True
            if _is(words[0], "disable"):
                self.mode = "disable"
                return True
        if words[0].lower() in ("exit", "logout", "quit"):
            raise SessionEnd()
        for paging in self.cli.paging:
            if len(words) > len(paging) - (len(paging) == 1) and all(
                    _is(word, keyword) for word, keyword in zip(words, paging)):
                return True
        if self.mode == "enable" and self.enters(words):
            if self.args.no_config:
                self.say(self.cli.refused, " ".join(words))
            else:
                self.enter_config(words)
            return True
        return False

    def enters(self, words):
        enter = self.cli.enter
        if self.cli.session_prompt and len(words) == 3 and _is(words[0], enter[0]) and _is(words[1], "session"):
            return True
        if self.cli.exclusive and len(words) == len(enter) + 1 and _is(words[-1], self.cli.exclusive):
            words = words[:-1]
        return len(enter) >= len(words) >= self.cli.enter_min and all(
            _is(word, keyword) for word, keyword in zip(words, enter))

    def enter_config(self, words):
        """Staged lines wait for the next commit across configuration
        modes; a configuration session starts with none.  The configuration
        taken exclusively by another console is refused."""
        holder = self.state.config_holder
        if holder is not None and holder is not self:
            self.write("error: configuration database locked by:\n  %s terminal p1 exclusive [edit]\n"
                       % holder.args.username)
            return
        if self.cli.exclusive and _is(words[-1], self.cli.exclusive) and len(words) > len(self.cli.enter):
            self.state.config_holder = self
            self.write("warning: uncommitted changes will be discarded on exit\n")
        self.mode, self.config_path = "config", []
        self.config_session = words[2] if len(words) == 3 else None
        if self.cli.session_prompt:
            self.staged = []
        if self.cli.announce:
            self.write("Entering configuration mode\n")

    def release(self):
        """Gives up the configuration this console took exclusively."""
        if self.state.config_holder is self:
            self.state.config_holder = None

    def leave_config(self):
        self.release()
        self.mode, self.config_path, self.config_session = "enable", [], None
        if self.cli.announce:
            self.write("Exiting configuration mode\n")

    def save(self, words):
        """The dialect's save command; True when ``words`` was it."""
        save = self.cli.save
        if save is None or " ".join(words).lower() != save[0]:
            return False
        if save[1] is not None:
            self.write(save[1] + " ")
            if not self.readline().strip().lower().startswith(save[2]):
                return True
        self.state.save()
        self.write(save[3] + "\n")
        return True

    def show(self, words):
        if len(words) == 3 and words[0].lower() == "ip" and _is(words[1], "interface") and _is(words[2], "brief"):
            return showtext.generic_brief(Network(self))
        if self.cli.set_style and words[-1:] == ["commands"]:
            # "show configuration commands": the set statements, as shown anyway.
            words = words[:-1]
        if len(words) == len(self.cli.running) and all(_is(w, k) for w, k in zip(words, self.cli.running)):
            return self.running_config()
        what = [k for k in _SHOW if _is(words[0], k)]
        if len(what) != 1:
            return None
        what = what[0]
        if what == "version":
            rps = 2 if self.args.role else 1
            return [self.cli.banner.replace("version %s" % flashfs.DEFAULT_VERSION,
                                            "version %s" % flashfs.version_of(self.state.booted)),
                    "%s uptime is %d minutes" % (self.hostname, self.uptime()),
                    "%d route processor(s)" % rps] + showtext.version_lines(self)
        if what == "clock":
            return [time.strftime("%H:%M:%S UTC %a %b %d %Y", time.gmtime())]
        if what in ("running-config", "startup-config"):
            return self.running_config(what.split("-")[0])
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
                self.state.save()
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
        if "|" in line and self.cli.set_style and _words(line.split("|", 1)[1]) == "display set":
            line = line.split("|", 1)[0]
        if "|" in line:
            pipe = line.split("|", 1)[1].split(None, 1)
            if len(pipe) != 2 or not (_is(pipe[0], "include") or _is(pipe[0], "exclude")):
                self.say(self.cli.invalid, line)
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
        if _words(line) in self.cli.end:
            return self.leave_config()
        if keyword in self.cli.leave + ("exit-address-family",) and (
                len(words) == 1 or _words(line) == keyword + " discard"):
            if len(words) == 2:
                self.staged, self.candidate = [], None
            if self.config_path:
                self.config_path.pop()
            else:
                self.leave_config()
            return
        if self.stages():
            return self.stage(line)
        self.apply(line)

    def standby_console(self, enabled):
        if boot.role(self) == "active":
            self.state.standby_open = enabled
