"""What a connection runs on one RP's link: exec commands and configuration
lines in the state they need, the device's refusals told as CommandError,
the dialect's commit and rollback, and the setup commands sent while
connecting, which a device may refuse."""
import re
import time

from tarvix.core.errors import CommandError, ConnectionError, LinkError, LoginError, NotSupportedError, link_message
from tarvix.eal.dialogs import Statement


def reply_statements(reply):
    """Statements from what ``execute(..., reply=...)`` accepts: a Dialog, a
    list of Statements and/or (pattern, answer) pairs, or a dict mapping
    patterns to answers.  An answer is a line to send or a callable
    ``answer(spawn, context, match)``."""
    if reply is None:
        return []
    if isinstance(reply, dict):
        reply = list(reply.items())
    statements = []
    for item in reply:
        if isinstance(item, Statement):
            statements.append(item)
        elif isinstance(item, (tuple, list)) and len(item) == 2:
            statements.append(Statement(item[0], action=item[1], name="reply to %s" % (item[0],)))
        else:
            raise ValueError("a reply is a Statement or a (pattern, answer) pair, not %r" % (item,))
    return statements


class CommandRunner(object):
    """The commands and configuration of a ``Connection``, on its handles."""

    def save_config(self, target=None, timeout=None):
        """Saves the running configuration with the platform's save,
        answering its questions; returns the output.  NotSupportedError on
        a platform that has no save."""
        if not self.dialect.save:
            raise NotSupportedError("%s: the %s platform has no save of its configuration"
                                    % (self._device, self.dialect.name))
        with self._lock:
            handle = self._handle(target)
            statements = reply_statements(self.dialect.save_replies)
            return self._run(handle, self.dialect.save, "enable", self._timeout(timeout), None, statements)

    def _has_config(self, lines):
        """NotSupportedError for configuration on a platform without a
        configuration mode (but for the setup's none while connecting)."""
        if self.dialect.has_config or (self._connecting and not lines):
            return
        raise NotSupportedError("%s: the %s platform has no configuration mode; send its commands with "
                                "execute()" % (self._device, self.dialect.name))

    def _checked(self, handle, command, timeout, prompt_recovery, statements, check):
        """Runs an exec command with the refusal check ``check`` asks for:
        False none, True the exit status too where the platform has one."""
        output = self._run(handle, [command], "enable", timeout, prompt_recovery, statements, refusals=check)
        if not check or not self.dialect.exit_status:
            return output
        said = self._run(handle, [self.dialect.exit_status], "enable", timeout, prompt_recovery, refusals=False)
        status = said.strip().splitlines()[-1].strip() if said.strip() else ""
        if status != "0":
            spawn, device = handle.spawn, handle.state_machine.device
            error = CommandError(spawn.mask(link_message(device, output, "%r exited with status %s"
                                                         % (command, status or "(none shown)"))))
            error.command, error.output = command, spawn.mask(output)
            error.status = int(status) if status.isdigit() else None
            raise error
        return output

    def _configure(self, lines, target, timeout, prompt_recovery, reply, commit=None, progress=None):
        handle = self._handle(target)
        timeout = self._timeout(timeout)
        statements = reply_statements(reply)
        lenient = self._lenient_config(lines)
        try:
            if lenient:
                output = self._configure_leniently(handle, lines, timeout, prompt_recovery, statements)
            else:
                output = self._run(handle, lines, "config", timeout, prompt_recovery, statements, progress=progress)
            output = self._commit(handle, output, timeout, prompt_recovery, statements, commit, progress)
        except CommandError as error:
            if not self.dialect.rollback or handle.state_machine.current_state != "config":
                raise
            # A dialect that stages its configuration: what the device
            # refused is dropped, not left staged for the next commit.
            self._run(handle, self.dialect.rollback, "config", timeout, prompt_recovery)
            self._leave_config(handle)
            if not lenient:
                raise
            self._skip(handle, "setup configuration %r" % lines, error.command or "it", error, "%r" % error.command)
            return ""
        self._leave_config(handle)
        return output

    def _leave_config(self, handle):
        handle.state_machine.go_to("enable", handle.spawn, context=self.context, timeout=self.connection_timeout)

    def _commit(self, handle, output, timeout, prompt_recovery, statements, commit=None, progress=None):
        """Applies the staged configuration with the dialect's commit
        commands, or those of ``commit`` (none: the lines applied at once)."""
        if not self.dialect.commit or handle.state_machine.current_state != "config":
            return output
        applied = self._run(handle, commit or self.dialect.commit, "config", timeout, prompt_recovery, statements,
                            progress=progress)
        return "\n".join(text for text in (output, applied) if text)

    # -- setup commands while connecting ---------------------------------

    def _timeout(self, timeout):
        """While connecting, a command waits ``connection_timeout`` unless
        the caller says otherwise."""
        if timeout is None and self._connecting:
            return self.connection_timeout
        return timeout

    def _lenient_exec(self, command):
        """A setup command the plugin chose by itself, sent while connecting."""
        if not self._connecting or self.init_exec_commands is not None:
            return False
        return command in (getattr(self.settings, "HA_INIT_EXEC_COMMANDS", None) or [])

    def _lenient_config(self, lines):
        if not self._connecting or self._init_config_commands is not None:
            return False
        return bool(lines) and lines == list(getattr(self.settings, "HA_INIT_CONFIG_COMMANDS", None) or [])

    def _configure_leniently(self, handle, lines, timeout, prompt_recovery, statements):
        """Applies the lines one by one, going past each one the device
        rejects; a device without a config mode skips them all."""
        outputs = []
        for line in lines:
            try:
                output = self._run(handle, [line], "config", timeout, prompt_recovery, statements)
            except (LinkError, LoginError):
                raise
            except ConnectionError as error:
                state = handle.state_machine.current_state
                if state == "config":
                    self._skip(handle, "setup command %r" % line, line, error)
                    continue
                if state == "enable":
                    refused = getattr(error, "command", None) or self.dialect.transitions.get(("enable", "config"),
                                                                                              "configure")
                    self._skip(handle, "setup configuration %r" % lines, refused, error, "%r" % refused)
                    break
                raise
            if output:
                outputs.append(output)
        return "\n".join(outputs)

    def _skip(self, handle, what, command, error, refused="it"):
        """Logs a refused setup command with the device's words."""
        said = getattr(error, "output", None) or handle.spawn.tail()
        words = "; ".join(line.strip() for line in said.replace("\r", "").split("\n")
                          if line.strip() and line.strip() != command.strip())
        self.log.warning("%s: %s skipped, the device refused %s: %s"
                         % (handle.state_machine.device, what, refused, words or " ".join(str(error).split())))

    def _run(self, handle, commands, state, timeout, prompt_recovery, statements=(), refusals=True, progress=None):
        """Sends each command in ``state`` and waits for its answer; the
        outputs.  ``progress`` (a cutshort.Progress) follows the lines sent
        and those the device acknowledged."""
        if handle.spawn is None or handle.spawn.closed:
            raise ConnectionError("%s: not connected" % handle.state_machine.device)
        if handle is self._rebooting:
            raise ConnectionError("%s: reloading, not back yet" % handle.state_machine.device)
        machine, spawn = handle.state_machine, handle.spawn
        recovery = self.prompt_recovery if prompt_recovery is None else prompt_recovery
        machine.go_to(state, spawn, context=self.context, prompt_recovery=recovery, timeout=self.connection_timeout)
        timeout = self.settings.EXEC_TIMEOUT if timeout is None else timeout
        outputs = []
        for command in commands:
            machine.drain(spawn)
            spawn.sendline(command)
            if progress is not None:
                progress.sent.append(command)
            result = machine.wait(spawn, time.monotonic() + timeout, statements, context=self.context,
                                  nudges=1 if recovery else 0, command=command, timeout=timeout)
            output = _clean(result.match_output, command, result.echoed, self.dialect.output_filter,
                            self.dialect.prompt_banner)
            for pattern in self.settings.ERROR_PATTERNS if refusals else ():
                if re.search(pattern, output, re.MULTILINE):
                    reply = spawn.mask(output)
                    error = CommandError(spawn.mask(link_message(machine.device, reply, "%r rejected" % command)))
                    error.command, error.output = command, reply
                    raise error
            if progress is not None:
                progress.acknowledged.append(command)
            if output:
                outputs.append(output)
        return "\n".join(outputs)


def _clean(text, command, echoed=False, dropped=None, banner=None):
    """Output without carriage returns, the echoed command (unless the text
    already begins after the echo), what ``dropped`` matches (a terminal's
    escapes), the line shown above the prompt (the dialect's ``banner``)
    and blank edges."""
    if dropped:
        text = re.sub(dropped, "", text)
    lines = text.replace("\r\n", "\n").replace("\r", "").split("\n")
    if banner is not None:
        while lines and not lines[-1].strip():
            lines.pop()
        if lines and re.fullmatch(banner, lines[-1].strip()):
            lines.pop()
    while lines and not lines[0].strip():
        lines.pop(0)
    if not echoed and lines and lines[0].strip() == command.strip():
        lines.pop(0)
    return "\n".join(lines).strip("\n")
