"""The state machine of one router console: which prompt the console shows,
and how to move from one prompt to another.

What the prompts look like and which commands move between them is the
console's CLI dialect (``Dialect``), which the plugin states once and the
machine reads.  ``go_to`` also accepts "any" (and "generic"): find the state
the console is in and stay there.  "generic" is also what ``_current_state``
is set to when the state is no longer known.
"""
import re
import time

from tarvix.core.errors import (CommandError, ConnectionError, HostnameMismatchError, LinkClosedError,
                                LinkTimeoutError, LoginError, link_message)
from tarvix.eal.dialect import LINE_START, PROMPT_END, Dialect  # noqa: F401 (Dialect: where plugins found it)
from tarvix.eal.dialogs import Statement
from tarvix.eal.spawn import SETTLE

ANY_STATES = ("any", "generic")
# What a device asks a password with, a login's or enable's.
PASSWORD_PROMPT = r"(?i)password:\s*\Z"

# How long a console may stay silent before it is sent a bare line.
NUDGE_AFTER = 0.5
# How long a password prompt that follows an unanswered bare line is watched
# before it is answered: long enough for the device to read that line.
PASSWORD_WATCH = SETTLE
# How long a console may show prompts of another hostname, and nothing else,
# before the wait ends.
MISMATCH_AFTER = 2.0
# The quiet after which a match that is no answer would be taken: never.
NEVER = float("inf")

# What a terminal server prints for a port another session holds, keeping
# the connection open ("% Connection refused by remote host", "Port 2001 is
# in use", "Line 33 is busy"); a client that ends on its own refusal
# ("ssh: ... Connection refused") ends the link anyway.
BUSY_PORT = r"(?i)connection refused by remote host|\b(?:port|line)\b[^\r\n]{0,24}\b(?:busy|in use)\b"


def _generic():
    from tarvix.plugins.generic.dialect import DIALECT

    return DIALECT


# A hostname written as text, case-insensitive or not, optionally followed by
# its domain: characters other than the regular expressions' special ones and
# line ends, or escaped punctuation.
_TEXT = r"(?:[^\\()\[\]{}.*+?^$|\r\n]|\\[^0-9A-Za-z\r\n])+"
_TEXT_HOST = re.compile(r"%s|\(\?i:%s(?:\(\?:%s\)\?)?\)" % (_TEXT, _TEXT, _TEXT))
# Modes that end in a mark that is not white space and that a hostname
# followed by the mode can be split from in one way only: the mark at the
# end (but for white space), and for the configuration modes the last "(".
_SPLIT_MODES = (">", "#", r"\(config[^()\s]*\)#")
_SHAPES = {}


class _TextHostPrompt(object):
    """Finds the same matches as ``re.compile(pattern)`` does for the prompt
    "{host}{mode}" of a state whose hostname is text, without a pattern of
    its own for every hostname: the prompt's shape (any hostname) is
    compiled once per mode, and the hostname it finds is then checked.

    The mode ends the last line but for white space and splits from the
    hostname one way only, and the hostname holds no line end, so a text
    holds at most one place where the shape matches: the prompt of that
    hostname matches there or nowhere.
    """

    __slots__ = ("pattern", "_shape", "_host")

    def __init__(self, pattern, mode, host):
        self.pattern = pattern
        shape = _SHAPES.get(mode)
        if shape is None:
            shape = _SHAPES[mode] = re.compile(LINE_START + r"(?P<hostname>[^\r\n]*)" + mode + PROMPT_END)
        self._shape = shape
        self._host = re.compile(host)

    def search(self, text, pos=0):
        found = self._shape.search(text, pos)
        if found is not None and self._host.fullmatch(found.group("hostname")) is None:
            return None
        return found


def _prompt_finder(dialect, mode, host, pattern):
    """What finds ``pattern``, the prompt of a state of ``dialect`` with
    ``mode`` for the hostname pattern ``host``: the compiled pattern, or
    where the hostname is text, an object that finds the same matches for
    less work (a fleet's every device has a hostname of its own)."""
    if dialect.prompt == "{host}{mode}" and mode in _SPLIT_MODES and _TEXT_HOST.fullmatch(host):
        return _TextHostPrompt(pattern, mode, host)
    return re.compile(pattern)


class _Prompts(object):
    """A dialect's prompts for one hostname pattern."""

    def __init__(self, dialect, host, learning, learn_pattern):
        shown = learn_pattern if learning else host
        self.key = (host, learning)
        self.strings = [dialect.pattern(name, shown) for name in dialect.state_names]
        modes = dict(dialect.states)
        self.compiled = [_prompt_finder(dialect, modes[name], shown, pattern) if name in modes else re.compile(pattern)
                         for name, pattern in zip(dialect.state_names, self.strings)]
        self._dialect, self._shown = dialect, shown
        self._counter = None
        if learning or host == learn_pattern:
            self.foreign = []
        else:
            self.foreign = [re.compile(dialect.pattern(name, learn_pattern)) for name, _ in dialect.states]

    @property
    def counter(self):
        """Compiled when first needed: most waits never count prompts."""
        if self._counter is None:
            self._counter = re.compile(self._dialect.counter(self._shown))
        return self._counter


def _hostname_of(match):
    """The hostname a prompt matched shows ("" for none, or for a state
    shown by a fixed text)."""
    return match.groupdict().get("hostname") or ""


def _words_then(device, spawn, match, reason):
    """An error message: what the device printed up to ``match``, then
    ``reason``."""
    return link_message(device, spawn.tail(800) + (match.group(0) if match is not None else ""), reason)


class State(object):
    """A named state; its ``pattern`` is built from the hostname in use at
    the time it is read."""

    def __init__(self, name, machine):
        self.name = name
        self._machine = machine

    @property
    def pattern(self):
        return self._machine.pattern_of(self.name)

    def __repr__(self):
        return "State(%r)" % self.name


class _LoginPrompt(Statement):
    """A login prompt whose answer may have to wait: ``hold(spawn, match)``
    gives the seconds the device must stay quiet before it is answered."""

    def __init__(self, pattern, action, name, hold):
        Statement.__init__(self, pattern, action=action, name=name)
        self.hold = hold


def _answered(match):
    """Whether the device ended the line of the password prompt matched:
    it has read a line already (a prompt that hides what is typed still
    ends the line once a line is read)."""
    return "\n" in match.group(0) or "\r" in match.group(0)


class _Login(object):
    """Answers login prompts from the credentials, one credential per
    attempt, and fails once every credential has been refused.  Each
    prompt gets at most one answer, and a password is sent once per
    credential: a password the device refused is never offered again.

    A bare line sent to a silent link may meet a password prompt on its way
    (a console nudged while an ssh client, slow to negotiate, is about to
    ask): the client takes it for an empty password, ends the prompt's line
    and asks again, after dropping whatever was typed meanwhile.  So a
    password prompt that follows a bare line not answered yet is watched
    for PASSWORD_WATCH seconds first: if its line ends, the bare line was
    its answer, and the credential goes to the next prompt; if not, the
    bare line was dropped (as the ssh client drops what was typed before it
    asks) or answered before, and the prompt gets the credential."""

    def __init__(self, device, credentials, names):
        self.device = device
        self.credentials = credentials
        self.names = list(names)
        self.index = -1
        self.username_sent = False
        # The username of the credential in use went out, but its password
        # prompt was answered by a bare line: the credential is not tried.
        self.untried = False

    def _fail(self, spawn, match, reason):
        return LoginError(_words_then(self.device, spawn, match, reason))

    def _advance(self):
        if self.untried:
            self.untried = False
        else:
            self.index += 1

    def _credential(self, spawn, match):
        if self.index >= len(self.names):
            if not self.names:
                raise self._fail(spawn, match, "the device asks for login credentials and none were given")
            raise self._fail(spawn, match, "login rejected with the credentials %s"
                             % ", ".join(repr(n) for n in self.names))
        name = self.names[self.index]
        return name, self.credentials.get(name) or {}

    def username(self, spawn, context, match):
        if self.username_sent and spawn.bare_lines:
            # Asked again before the username sent was read: the answer to a
            # bare line the device read first (sent while it was starting).
            # The username is on its way already.
            spawn.bare_lines -= 1
            return
        self._advance()
        self.username_sent = True
        name, credential = self._credential(spawn, match)
        if not credential.get("username"):
            raise self._fail(spawn, match, "the device asks for a username and credential %r has none" % name)
        spawn.sendline(credential["username"])

    def password_hold(self, spawn, match):
        if spawn.bare_lines and not _answered(match):
            return PASSWORD_WATCH
        return 0

    def password(self, spawn, context, match):
        if spawn.bare_lines and _answered(match):
            # A bare line was read for the password; the device asks again.
            spawn.bare_lines -= 1
            self.untried = self.username_sent
            self.username_sent = False
            return
        if not self.username_sent:
            self._advance()
        self.username_sent = False
        # A bare line still owed an answer was not read by this prompt: it
        # was dropped or answered before.
        spawn.bare_lines = 0
        name, credential = self._credential(spawn, match)
        if credential.get("password") is None:
            raise self._fail(spawn, match, "the device asks for a password and credential %r has none" % name)
        spawn.send_secret(credential["password"])


class RouterStateMachine(object):
    """State machine of one router console.

    ``hostname`` is a callable returning the regular expression of the
    hostname the prompts show; while ``learn_hostname`` is set the prompts
    accept ``learn_pattern`` instead and the name found is kept as
    ``seen_hostname``.  ``credentials`` maps credential names to dictionaries
    with "username" and "password"; the credential "enable" holds the enable
    password.  ``context`` is used when ``go_to`` is given none.
    ``dialect``: the console's CLI dialect (None: the generic plugin's).
    """

    def __init__(self, device, hostname, learn_pattern, credentials=None, context=None, timeout=30, log=None,
                 dialect=None):
        self.dialect = dialect if dialect is not None else _generic()
        self.state_names = self.dialect.state_names
        self._hostless = frozenset(name for name, _ in self.dialect.fixed)
        self._prompts = None
        self.device = device
        self.hostname = hostname
        self.learn_pattern = learn_pattern
        self.credentials = credentials if credentials is not None else {}
        self.context = context if context is not None else {}
        self.timeout = timeout
        self.log = log
        self.learn_hostname = False
        self.seen_hostname = None
        # Whether a prompt of this device showed its hostname (a shell's
        # prompt may show none).
        self.shows_hostname = False
        self._current_state = None
        self._states = dict((name, State(name, self)) for name in self.state_names)

    @property
    def current_state(self):
        return self._current_state

    def get_state(self, name):
        return self._states[name]

    def prompts(self):
        """The dialect's prompts for the hostname in use, compiled once per
        hostname pattern."""
        host, learning = self.hostname(), bool(self.learn_hostname)
        prompts = self._prompts
        if prompts is None or prompts.key != (host, learning):
            prompts = self._prompts = _Prompts(self.dialect, host, learning, self.learn_pattern)
        return prompts

    def pattern_of(self, name):
        return self.prompts().strings[self.state_names.index(name)]

    # -- dialogs ---------------------------------------------------------

    def login_names(self, context):
        names = context.get("cred_list") or context.get("login_creds")
        if names:
            return list(names)
        return [name for name in self.credentials if name != "enable"]

    def connection_statements(self, context):
        """What a console may print before it shows a prompt: a terminal
        server's port that is taken ends the connect at once, in its words."""
        login = _Login(self.device, self.credentials, self.login_names(context))

        def busy(spawn, context, match):
            raise LinkClosedError(_words_then(self.device, spawn, match, "the terminal server's port is busy"))

        return [
            Statement(BUSY_PORT, action=busy, name="busy port"),
            Statement(r"Press RETURN to get started", action="", name="press RETURN banner"),
            Statement(r"(?i)(username|login):\s*\Z", action=login.username, name="username prompt"),
            _LoginPrompt(PASSWORD_PROMPT, login.password, "password prompt", login.password_hold),
        ]

    def enable_statements(self, asked):
        """Answers the enable password prompt once; ``asked`` records it."""

        def enable_password(spawn, context, match):
            if asked:
                raise LoginError(_words_then(self.device, spawn, match, "enable password rejected"))
            asked.append(True)
            credential = self.credentials.get("enable") or {}
            password = credential.get("password")
            if password is None:
                login = [self.credentials[n] for n in self.login_names(context) if n in self.credentials]
                password = login[0].get("password") if login else None
            if password is None:
                raise LoginError(_words_then(self.device, spawn, match,
                                             "the device asks for an enable password and none was given"))
            spawn.send_secret(password)

        return [Statement(PASSWORD_PROMPT, action=enable_password, name="enable password prompt")]

    # -- waiting ---------------------------------------------------------

    def drain(self, spawn, keep_line=False):
        """Drops what the console printed and nobody read, and returns it;
        the prompts in it answer bare lines sent earlier.  With
        ``keep_line``, a last line not ended yet is kept while a bare line's
        answer is still owed: it may be the beginning of that prompt."""
        dropped = spawn.flush(whole_lines=keep_line)
        if spawn.bare_lines and dropped:
            seen = sum(1 for _ in self.prompts().counter.finditer(dropped))
            spawn.bare_lines = max(spawn.bare_lines - seen, 0)
        if keep_line and not spawn.bare_lines:
            dropped += spawn.flush()
        return dropped

    def wait(self, spawn, deadline, statements=(), context=None, nudges=0, command=None, timeout=None):
        """Reads until a state's prompt shows, answering the statements on
        the way, and sets the state.  A console that printed nothing for
        NUDGE_AFTER seconds is sent a bare line, at most ``nudges`` times
        (None: no limit).  Returns the ExpectResult of the prompt.

        The prompt taken answers the last line sent: with ``command`` (the
        line just sent), it follows that line's echo; and as many prompts
        must have shown as bare lines are unanswered (plus one for the
        command), so that a prompt still on its way from an earlier line is
        not taken for the answer.  A device that does not echo, or prints
        fewer prompts, is answered once it stays quiet for SETTLE seconds.
        Afterwards the spawn's ``bare_lines`` counts the prompts still owed
        (those of the nudges sent while a command ran).

        A prompt of another hostname that stays alone at the end for
        MISMATCH_AFTER seconds ends the wait with HostnameMismatchError.
        """
        context = self.context if context is None else context
        names = list(self.state_names)
        statements = list(statements)
        prompts = self.prompts()
        patterns = prompts.compiled + [s.regex for s in statements] + prompts.foreign
        waiting = _Wait(self, spawn, names, statements, prompts, nudges, command)
        if command is not None:
            awaiting = spawn.mask("the prompt after %r" % command)
        else:
            awaiting = "a prompt (%s)" % ", ".join(names)
        while True:
            remaining = deadline - time.monotonic()
            try:
                if remaining <= 0:
                    raise LinkTimeoutError("")
                result = spawn.expect(patterns, timeout=remaining, echo=command is not None, confirm=waiting.confirm,
                                      idle=(NUDGE_AFTER, waiting.nudge) if nudges != 0 else None, awaiting=awaiting)
            except LinkTimeoutError:
                within = " within %s s" % timeout if timeout is not None else " in time"
                if command is not None:
                    message = "no prompt after %r%s" % (command, within)
                else:
                    message = "no prompt of a known state (%s)%s" % (", ".join(names), within)
                raise LinkTimeoutError(spawn.mask(link_message(self.device, spawn.tail(800), message)))
            if result.index < len(names):
                self._current_state = names[result.index]
                spawn.bare_lines = waiting.sent if command is not None else 0
                if "hostname" in result.match.groupdict():
                    self.seen_hostname = result.match.group("hostname")
                    self.shows_hostname = self.shows_hostname or bool(self.seen_hostname)
                return result
            if result.index >= waiting.first_foreign:
                shown = result.match.group("hostname")
                raise HostnameMismatchError(link_message(
                    self.device, spawn.tail(800) + result.match.group(0),
                    "no prompt of a known state for this hostname: the console shows %r; "
                    "connect with learn_hostname=True, or with hostname=%r" % (shown, shown)))
            statement = statements[result.index - len(names)]
            statement.run(spawn, context, result.match)
            if not statement.loop_continue:
                return result

    # -- moving ----------------------------------------------------------

    def go_to(self, to_state, spawn, context=None, prompt_recovery=False, timeout=None, dialog=None):
        """Finds the console's state when it is not known (always for "any")
        and moves it to ``to_state``; returns the state reached."""
        context = self.context if context is None else context
        timeout = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + timeout
        extra = list(dialog) if dialog is not None else []
        if to_state in ANY_STATES or self._current_state not in self.state_names:
            # Once a prompt has been seen ("generic": seen, but no longer
            # trusted), whatever is still unread is stale: drop it and ask
            # the console for a fresh prompt, unless a bare line sent just
            # before has not been answered yet: its prompt (perhaps begun
            # already) is as fresh, and a second line would only make the
            # console print two.  A fresh link is only read, since it may be
            # showing a login prompt.
            if self._current_state is not None:
                self.drain(spawn, keep_line=True)
                if not spawn.bare_lines:
                    spawn.sendline()
            self.wait(spawn, deadline, extra + self.connection_statements(context), context,
                      nudges=None if prompt_recovery else 1, timeout=timeout)
        if to_state in ANY_STATES:
            return self._current_state
        if to_state not in self.state_names:
            raise ValueError("unknown state %r" % (to_state,))
        while self._current_state != to_state:
            here = self._current_state
            if here in self._hostless:
                raise ConnectionError("%s: the console is locked (%s), it cannot reach %s"
                                      % (self.device, here, to_state))
            if to_state in self._hostless:
                raise ConnectionError("%s: a console cannot be moved to %s" % (self.device, to_state))
            command = self.dialect.command(here, to_state)
            self.drain(spawn)
            spawn.sendline(command)
            asked = []
            password = command in self.dialect.password_commands
            statements = extra + (self.enable_statements(asked) if password else [])
            result = self.wait(spawn, deadline, statements, context, command=command, timeout=timeout)
            reply = spawn.mask(result.match_output)
            if self._current_state == here and asked:
                raise LoginError(link_message(self.device, reply, "enable password rejected"))
            if self._current_state == here:
                error = CommandError(spawn.mask(link_message(self.device, reply,
                                                             "%r did not leave the %s state" % (command, here))))
                error.command, error.output = command, reply
                raise error
        return self._current_state

    def __repr__(self):
        return "<RouterStateMachine %s in %s>" % (self.device, self._current_state)


class _Wait(object):
    """One ``wait`` of a state machine: the bare lines it has sent to a
    silent console, and which of the matches it reads is the answer."""

    def __init__(self, machine, spawn, names, statements, prompts, nudges, command):
        self.machine = machine
        self.spawn = spawn
        self.names = names
        self.statements = statements
        self.prompts = prompts
        self.nudges = nudges
        self.command = command
        self.first_foreign = len(names) + len(statements)
        self.pending = spawn.bare_lines
        self.sent = 0

    def nudge(self, spawn):
        if self.nudges is None or self.sent < self.nudges:
            self.sent += 1
            spawn.sendline()

    def confirm(self, index, match, before):
        names, spawn, command = self.names, self.spawn, self.command
        if index >= self.first_foreign:
            return MISMATCH_AFTER
        if index >= len(names):
            hold = getattr(self.statements[index - len(names)], "hold", None)
            return hold(spawn, match) if hold is not None else 0
        # A command's answer is the prompt after those owed to the bare
        # lines sent before it; prompts owed to the nudges sent while it
        # runs come after its answer.
        need = self.pending + 1 if command is not None else spawn.bare_lines
        if need > 1 and sum(1 for _ in self.prompts.counter.finditer(before())) + 1 < need:
            return SETTLE
        if command is not None and self.machine.shows_hostname and not _hostname_of(match):
            # A device whose prompts show its hostname: a line of a prompt's
            # shape without it (a shell's bare "#") is output.
            return NEVER
        return 0
