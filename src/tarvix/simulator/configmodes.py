"""The configuration modes of the simulated console: lines applied at once
to the router's configuration store, or staged in a candidate until a
commit (confirmed commits, the commit history and ``rollback N`` on the
dialects that stage)."""
import copy

from tarvix.simulator.configstore import ConfigStore

# The words of a commit that is undone by itself unless confirmed, and
# the position of its minutes.
_CONFIRMED = (("commit", "confirmed"), ("commit", "timer"), ("commit-confirm",))


def _words(line):
    return " ".join(line.lower().split())


def confirmed_minutes(words):
    """The minutes of a confirmed commit's words, None for another line."""
    for form in _CONFIRMED:
        rest = words[len(form):]
        if tuple(words[:len(form)]) == form and len(rest) == 1 and rest[0].isdigit():
            return int(rest[0])
    return None


class ConfigModes(object):
    """What a console does with configuration lines (mixed into Console)."""

    # Whether --running-notice was shown.
    noticed = False

    def config_store(self):
        """The router's configuration, made on the first console's start
        (hierarchical dialects; set-style ones keep a list of statements)."""
        if self.state.config is None:
            self.state.config = ConfigStore([self.cli.hostname_line.format(host=self.hostname)],
                                            negation=self.cli.negation, vocabulary=self.cli.vocabulary)
        return self.state.config

    def running_config(self, which="running"):
        if self.args.forget:
            return [] if self.cli.set_style else [self.cli.hostname_line.format(host=self.hostname), "end"]
        if self.cli.set_style:
            return list(self.running if which == "running" else self.state.startup)
        lines = self.config_store().lines(which) + ["end"]
        if self.args.running_notice and not self.noticed:
            self.noticed = True
            lines[1:1] = [self.args.running_notice]
        return lines

    def apply(self, line, store=None):
        """A configuration line applied to ``store`` (the running
        configuration unless a candidate); whether the mode knew it."""
        store = store or self.config_store()
        path = [entry[1] for entry in self.config_path]
        words = line.lower().split()
        if words[0] == self.cli.negation and any(" ".join(words[1:]).startswith(bare + " ")
                                                 for bare in self.cli.bare_negations):
            # A negation this CLI takes without the old value.
            self.say(self.cli.invalid, line)
            return False
        mode = store.apply(path, [entry[2] for entry in self.config_path], line)
        if mode is None or isinstance(mode, str):
            self.say(self.cli.unknown if mode is None else mode, line)
            return False
        self.config_path = list(zip(store.mode_names(mode[0]), mode[0], mode[1]))
        if store is self.state.config:
            self.state.modified = True
        if mode[0] == ["redundancy", "main-cpu"] and line.lower() in ("standby console enable",
                                                                       "no standby console enable"):
            self.standby_console(not line.lower().startswith("no "))
        return True

    def stage(self, line):
        """A configuration line of a dialect that stages its lines: the
        commit, check, discard, compare and rollback commands, or a line
        kept for the commit (a hierarchical one applied to the candidate)."""
        words = line.lower().split()
        if words[0] in ("commit", "commit-confirm"):
            minutes = confirmed_minutes(words)
            return self.commit(check=words[1:2] == ["check"], confirm_seconds=minutes and minutes * self.args.minute)
        if words == ["confirm"] and self.cli.set_style:
            return self.commit()
        if tuple(words) == self.cli.discard:
            self.staged, self.candidate = [], None
            if self.cli.set_style:
                self.write("load complete\n")
            return
        if self.cli.set_style and tuple(words[:1]) == self.cli.discard and words[1:2] and words[1].isdigit():
            return self.load_version(int(words[1]))
        if tuple(line.replace("|", " | ").lower().split()) == self.cli.compare:
            return self.write("".join("+ %s\n" % staged for staged in self.staged))
        if self.cli.set_style and not (words[0] in ("set", "delete") and len(words) > 1):
            return self.say(self.cli.invalid, line)
        if not self.cli.set_style:
            if self.candidate is None:
                self.candidate = copy.deepcopy(self.config_store())
            if not self.apply(line, self.candidate):
                return
        self.staged.append(line)

    def commit(self, check=False, confirm_seconds=None):
        refused = [staged for staged in self.staged if _words(staged) in self.rejected]
        if refused or "commit" in self.rejected:
            for staged in refused:
                self.say(self.cli.stage_refused, staged)
            self.say(self.cli.commit_failed or self.cli.refused, "commit")
            return
        if check:
            return self.write("configuration check succeeds\n")
        commits = self.state.commits
        if commits.pending is not None and not self.staged and confirm_seconds is None:
            # The commit that confirms a confirmed one.
            commits.pending = None
        elif self.staged or confirm_seconds:
            commits.committed(self.snapshot(), confirm_seconds)
            self.commit_staged()
        if self.cli.save is None:
            # What was committed is what the device boots from.
            self.state.save()
        self.staged, self.candidate = [], None
        if self.cli.commit_done:
            self.write(self.cli.commit_done + "\n")
        if self.config_session is not None:
            self.leave_config()

    def commit_staged(self):
        self.state.modified = self.state.modified or bool(self.staged)
        if self.candidate is not None:
            self.state.config.running = self.candidate.running
            return
        for staged in self.staged:
            if staged.startswith("set ") and staged not in self.running:
                self.running.append(staged)
            elif staged.startswith("delete "):
                # A path deleted goes with every statement under it.
                path = staged[len("delete "):]
                self.running[:] = [entry for entry in self.running
                                   if entry[len("set "):] != path and not entry.startswith("set " + path + " ")]
            if self.cli.unlock and _words(staged) in (self.cli.unlock, "delete" + self.cli.unlock[len("set"):]):
                self.standby_console(staged.startswith("set "))

    def snapshot(self):
        """The running configuration as it is, to come back to."""
        if self.cli.set_style:
            return list(self.running)
        return copy.deepcopy(self.config_store().running)

    def restore(self, before):
        if self.cli.set_style:
            self.running[:] = before
        else:
            self.config_store().running = before

    def load_version(self, number):
        """The candidate becomes the configuration ``number`` commits back."""
        version = self.state.commits.version(number)
        if version is None:
            return self.say(self.cli.refused, "rollback %d" % number)
        self.staged = ["delete " + entry[len("set "):] for entry in self.running] + version
        self.write("load complete\n")

    def expire(self):
        """An unconfirmed commit whose time is up is undone."""
        before = self.state.commits.expired()
        if before is not None:
            self.restore(before)
