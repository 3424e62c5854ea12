"""The configuration API of a connection: ``running_config``,
``config_diff``, ``replace_config``, ``merge_config``, ``confirm_config``,
``rollback_config`` and ``save_config``, on the dialect's data.

A change is all or nothing: when the device refuses a line, what the change
had applied is undone (a staged candidate is discarded; elsewhere the
configuration before is replaced back) and ``ConfigError`` names the line,
carries the device's words and says whether the undo worked.  A change
cut short (the link dropped, the device stopped answering) is not undone:
``ConfigCutShortError`` tells what was sent and acknowledged and holds the
configuration before, which ``rollback_config(before=...)`` brings back on
a new connection.  Within this process the changes of one device take
turns, and before a change is sent the running configuration is read again:
one that another client changed since fails the change, nothing sent."""
import math
import numbers

from tarvix.bases.config import cutshort, ordered, remediation, tree, turns
from tarvix.core.errors import (CommandError, ConfigConflictError, ConfigError, ConnectionError, NotSupportedError,
                                TarvixError)
from tarvix.eal import secrets


class ConfigChange(object):
    """What a replace or merge did (or, with ``dry_run``, would do):
    ``diff`` (text), ``sent`` (the lines, in order, secrets masked; on a dry
    run those that would be sent), ``changed`` (whether the configuration
    changed, or would), ``dry_run`` and ``before``, the configuration the
    change began from (its text, secrets in clear: for
    ``rollback_config(before=...)``)."""

    def __init__(self, diff, sent, changed, dry_run=False, before=None):
        self.diff, self.sent, self.changed, self.dry_run = diff, sent, changed, dry_run
        self.before = before

    def as_dict(self):
        return {"diff": self.diff, "sent": list(self.sent), "changed": self.changed, "dry_run": self.dry_run}

    def __repr__(self):
        return "<ConfigChange changed=%s lines=%d%s>" % (self.changed, len(self.sent),
                                                         " dry_run" if self.dry_run else "")


def _text(text_or_lines):
    return text_or_lines if isinstance(text_or_lines, str) else "\n".join(text_or_lines)


class ConfigurationApi(object):
    """The configuration as a whole, for a ``Connection``."""

    _config_before = None

    @property
    def _device(self):
        return getattr(self, "name", None) or self.hostname or getattr(self, "learned_hostname", None) or "device"

    def running_config(self, target=None):
        """The running configuration as text, without the headers and
        separators the device shows around it."""
        command = self.dialect.running_config_command
        if not command:
            raise NotSupportedError("%s: the %s platform has no configuration to read" % (self._device, self.os))
        shown = self.execute(command, target=target)
        return "\n".join(tree.clean(shown, self.dialect.config_noise)) + "\n"

    def config_diff(self, intended, target=None):
        """The diff from the running configuration to ``intended`` (text):
        empty when they agree."""
        intended = self._secrets_of(_text(intended))
        return self._diff(self._secrets_of(self.running_config(target)), intended)

    def _secrets_of(self, text):
        """The secrets a configuration text holds (by the dialect's lines
        that hold them) are masked from now on, in the logs and the session
        logs as everywhere; the text."""
        for line in text.splitlines():
            for value in secrets.config_secrets(line, self.dialect.config_secrets):
                for handle in self.handles:
                    if handle.spawn is not None:
                        handle.spawn.add_secret(value)
                secrets.remember(value)
        return text

    def _masked(self, lines):
        return secrets.mask_config(lines, self.dialect.config_secrets)

    def _diff(self, before, after):
        dialect = self.dialect
        text = tree.diff(before, after, dialect.config_noise, lists=ordered.Lists.of(dialect))
        if not text:
            return text
        # Each line after its mark ("+", "-" or " ").
        return "\n".join(line[:1] + self._masked([line[1:]])[0] for line in text.split("\n"))

    def _plan(self, before, intended, merge):
        dialect = self.dialect
        lists = ordered.Lists.of(dialect)
        if merge:
            if dialect.config_style == "set":
                have = set(tree.clean(before, dialect.config_noise))
                return [line for line in tree.clean(intended, dialect.config_noise) if line not in have]
            return remediation.closed_by(remediation.merge(before, intended, dialect.config_noise, lists),
                                         dialect.config_leave)
        if dialect.config_style == "set":
            return remediation.set_style(before, intended, dialect.config_noise, lists=lists)
        return remediation.closed_by(remediation.remediation(
            before, intended, dialect.remediation_platform, dialect.config_noise, dialect.config_fixed,
            dialect.config_unnegatable, lists, dialect.config_negations), dialect.config_leave)

    def replace_config(self, intended, dry_run=False, confirm=None, save=False, target=None, timeout=None,
                       keep_before=None):
        """Brings the running configuration to ``intended`` (text): what it
        lacks is added, what it holds beyond it removed, in one round.
        ``timeout``: seconds each line may take (the commands' default);
        ``keep_before``: a file the configuration before is written to
        before anything is sent (only when something is)."""
        return self._change(self._secrets_of(_text(intended)), False, dry_run, confirm, save, target, timeout,
                            keep_before)

    def merge_config(self, text_or_lines, dry_run=False, confirm=None, save=False, target=None, timeout=None,
                     keep_before=None):
        """Adds and changes the lines given (text or a list); removes nothing.
        ``timeout`` and ``keep_before`` as for ``replace_config``."""
        return self._change(self._secrets_of(_text(text_or_lines)), True, dry_run, confirm, save, target, timeout,
                            keep_before)

    def _change(self, intended, merge, dry_run, confirm, save, target, timeout=None, keep_before=None):
        # Read, worked out and applied as one: no other command of this
        # connection, and no other change of its device in this process,
        # comes between.
        with turns.turn(self), self._lock:
            return self._locked_change(intended, merge, dry_run, confirm, save, target, timeout, keep_before)

    def _locked_change(self, intended, merge, dry_run, confirm, save, target, timeout, keep_before):
        commit = self._confirmed_commit(confirm)
        before = self._secrets_of(self.running_config(target))
        lines = self._plan(before, intended, merge)
        diff = self._diff(before, before + "\n" + intended if merge else intended)
        change = ConfigChange(diff, self._masked(lines), bool(lines), dry_run, before)
        if dry_run or not lines:
            return change
        self._still_as_read(before, target)
        if keep_before:
            cutshort.keep(keep_before, before)
        # Kept from the first line sent: a change cut short is rolled back
        # by replacing, a refused one undone leaves the last change's.
        previous, self._config_before = self._config_before, (before, target, False)
        try:
            self._apply(lines, before, target, commit, timeout)
        except ConfigError as error:
            if error.undone:
                self._config_before = previous
            raise
        self._config_before = (before, target, True)
        if save and (self.dialect.save or not self.dialect.commit):
            # (A commit of a platform without a save persists by itself.)
            self.save_config(target)
        return change

    def _confirmed_commit(self, confirm):
        if confirm is None:
            return None
        if isinstance(confirm, bool) or not isinstance(confirm, numbers.Real) or not 1 <= confirm < math.inf:
            raise ValueError("confirm= is a number of seconds, 1 or more, not %r" % (confirm,))
        template = self.dialect.commit_confirmed
        if not template:
            raise NotSupportedError("%s: the %s platform has no commit that undoes itself unless confirmed; "
                              "confirm= is refused" % (self._device, self.os))
        seconds = int(confirm)
        return [template.format(seconds=seconds, minutes=max(1, (seconds + 59) // 60))]

    def _still_as_read(self, before, target):
        """ConfigConflictError, nothing sent, when the running configuration
        is no longer the one the change was worked out from."""
        differs = self._diff(before, self.running_config(target))
        if differs:
            changed = [line for line in differs.splitlines()[2:] if line[:1] in "+-"]
            raise ConfigConflictError("%s: the running configuration changed since it was read for this change "
                                      "(another client's change?), nothing sent: %d line(s) differ, first %r"
                                      % (self._device, len(changed), changed[0] if changed else ""))

    def _apply(self, lines, before, target, commit=None, timeout=None):
        progress = cutshort.Progress()
        try:
            with self._lock:
                self._configure(lines, target, timeout, None, None, commit=commit, progress=progress)
        except CommandError as error:
            undone = self._undo(before, target)
            refused = error.command or "a line"
            failure = ConfigError(secrets.mask("%s: the device refused %r (%s); %s" % (
                self._device, self._masked([refused])[0], " ".join((error.output or str(error)).split()),
                "the configuration before is back" if undone else "the undo failed: the configuration is changed")))
            failure.command, failure.output, failure.undone = refused, error.output, undone
            raise failure
        except ConnectionError as error:
            staged = list(commit or self.dialect.commit) if self.dialect.commit else []
            raise cutshort.error(self._device, error, progress, lines, before, staged, self.dialect.config_secrets)

    def _undo(self, before, target):
        """Brings back the configuration ``before``; whether it is back."""
        try:
            current = self.running_config(target)
            if self.dialect.commit:
                # The refused candidate was discarded: nothing was applied.
                return not self._diff(current, before)
            back = self._plan(current, before, False)
            if back:
                self.configure(back, target=target)
            return not self._diff(self.running_config(target), before)
        except TarvixError as error:
            self.log.warning("%s: undoing the refused change failed: %s" % (self._device, error))
            return False

    def confirm_config(self, target=None):
        """Confirms a change made with ``confirm=``."""
        if not self.dialect.confirm_accept:
            raise NotSupportedError("%s: the %s platform has no confirmed commit" % (self._device, self.os))
        # The confirming commit, in the configuration mode, with nothing staged.
        with self._lock:
            self._configure([], target, None, None, None, commit=list(self.dialect.confirm_accept))

    def rollback_config(self, target=None, before=None, timeout=None):
        """Undoes the last change made through this connection; a
        ``ConfigChange`` of what was sent.  With ``before`` (a
        configuration's text: the ``before`` of a ConfigChange or of a
        ConfigCutShortError, or a ``keep_before`` file's), brings that
        configuration back instead, on any connection."""
        if before is not None:
            return self.replace_config(before, target=target, timeout=timeout)
        if self._config_before is None:
            raise TarvixError("%s: no change made through this connection to roll back; the configuration before "
                              "a change, as kept (a change's or an error's before, a keep_before file), goes back "
                              "with rollback_config(before=TEXT)" % self._device)
        before, where, whole = self._config_before
        target = where if target is None else target
        if self.dialect.rollback_last and whole:
            self.configure(list(self.dialect.rollback_last), target=target)
            self._config_before = None
            return ConfigChange("", list(self.dialect.rollback_last), True)
        change = self.replace_config(before, target=target, timeout=timeout)
        self._config_before = None
        return change
