"""The simulated console of the commit dialect (the example plugin's):
user@host> prompts, configuration staged until ``commit``."""
from tarvix.simulator.configstore import CommitHistory
from tarvix.simulator.console import Console, SessionEnd, _is, _words


class CommitConsole(Console):
    """One RP's console in the commit-style dialect: prompts user@host> and,
    in configuration mode, user@host#; "configure" enters it, lines are
    staged and applied by "commit" (or dropped by "rollback"), "exit"
    leaves it, staged lines kept.  A line of --reject is refused by the
    commit that would apply it (or, outside configuration mode, at once)."""

    def begin(self):
        self.mode, self.staged = "enable", []
        if getattr(self.state, "commits", None) is None:
            self.state.commits = CommitHistory()

    def login(self):
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
        return "%s@%s%s" % (self.args.username, self.hostname, "#" if self.mode == "config" else ">")

    def error(self, text):
        self.write("error: %s\n" % text)

    def handle(self, line):
        self.expire()
        if not line:
            return
        if _words(line) in self.hangs:
            while True:
                self.readline()
        if self.mode == "config":
            return self.configure(line)
        if _words(line) in self.rejected:
            return self.error("command refused: %s" % line)
        words = line.split("|", 1)[0].split()
        if not words:
            return self.error("unknown command: %s" % line)
        if words[0].lower() in ("exit", "quit"):
            raise SessionEnd()
        if _is(words[0], "configure") and len(words) == 1:
            if self.args.no_config:
                return self.error("configuration mode is not available")
            self.mode = "config"
            self.write("Entering configuration mode\n")
            return
        if len(words) >= 3 and words[0] == "set" and words[1] == "cli":
            return
        if _is(words[0], "show") and len(words) > 1:
            if _is(words[1], "configuration") and len(words) == 2:
                lines = self.running
            else:
                lines = self.show(words[1:])
            if lines is not None:
                return self.print_filtered(lines, line)
        self.error("unknown command: %s" % line)

    def show(self, words):
        lines = Console.show(self, words)
        if lines and lines[0].startswith("Generic router simulator"):
            lines[0] = "Commit-style router simulator, software version 1.0"
        return lines

    def configure(self, line):
        words = line.split()
        keyword = words[0].lower()
        if keyword in ("set", "delete") and len(words) > 1:
            self.staged.append(line)
        elif keyword == "commit" and len(words) == 1:
            self.commit()
        elif keyword == "commit" and len(words) == 3 and words[1] == "confirmed" and words[2].isdigit():
            self.commit(int(words[2]) * self.args.minute)
        elif keyword == "rollback" and len(words) == 1:
            self.staged = []
            self.write("load complete\n")
        elif keyword == "rollback" and len(words) == 2 and words[1].isdigit():
            self.load_version(int(words[1]))
        elif keyword == "show" and line.replace(" ", "") == "show|compare":
            self.write("".join("+ %s\n" % staged for staged in self.staged))
        elif keyword in ("exit", "quit") and len(words) == 1:
            self.mode = "enable"
            self.write("Exiting configuration mode\n")
        else:
            self.error("unknown command: %s" % line)

    def load_version(self, number):
        """The candidate becomes the configuration ``number`` commits back."""
        version = self.state.commits.version(number)
        if version is None:
            return self.error("rollback %d: no such configuration" % number)
        self.staged = ["delete " + entry[len("set "):] for entry in self.running] + version
        self.write("load complete\n")

    def expire(self):
        """An unconfirmed commit whose time is up is undone."""
        before = self.state.commits.expired()
        if before is not None:
            self.running[:] = before

    def commit(self, confirm_seconds=None):
        refused = [staged for staged in self.staged if _words(staged) in self.rejected]
        if refused or "commit" in self.rejected:
            for staged in refused:
                self.error("'%s' is not valid here" % staged)
            self.error("configuration check-out failed")
            return
        if self.state.commits.pending is not None and not self.staged and confirm_seconds is None:
            # The commit that confirms a confirmed one.
            self.state.commits.pending = None
            self.write("commit complete\n")
            return
        self.state.commits.committed(self.running, confirm_seconds)
        for staged in self.staged:
            if staged.startswith("set ") and staged not in self.running:
                self.running.append(staged)
            elif staged[len("delete "):] in [entry[len("set "):] for entry in self.running]:
                self.running.remove("set " + staged[len("delete "):])
            if _words(staged) in ("set chassis redundancy standby-console enable",
                                  "delete chassis redundancy standby-console enable"):
                self.standby_console(staged.startswith("set "))
        self.staged = []
        self.write("commit complete\n")
