"""The os "auto": a connection that finds its device's platform among the
installed plugins, then becomes that platform's connection.

It opens the link, answers the login as every platform does, and reads the
first prompt; the platforms whose prompts look like it are the candidates.
It sends one command (the one most candidates recognise their platform by,
``Dialect.recognise``), and the first candidate whose pattern matches the
answer is chosen: the connection's class, ``os``, dialect and settings
become that plugin's, and connecting goes on on the same link, from the
prompt already read.  A device that no installed platform fits fails the
connect with one line that says what it showed.
"""
import copy
import re
import time

from tarvix import __impl_roster__
from tarvix.bases.connection import DEFAULT_LEARNED_HOSTNAME, Connection, SingleRpConnection, discover_plugins
from tarvix.core.errors import ConnectionError, ConnectionInfraError
from tarvix.eal.dialect import Dialect
from tarvix.eal.statemachine import RouterStateMachine

AUTO = "auto"


def _shape(dialect):
    """A regular expression of any prompt of ``dialect``, whatever its host."""
    modes = "|".join(mode for _, mode in dialect.states)
    host = dialect.learn_pattern or DEFAULT_LEARNED_HOSTNAME
    return "(?:%s)" % dialect.prompt.replace("{host}", host).replace("{mode}", "(?:%s)" % modes)


def candidates():
    """The single-RP connection classes of the installed plugins that can be
    recognised, the most specific first (the generic router's last: its
    prompt and its version report are the broadest)."""
    roster = discover_plugins()
    found = []
    for os_name in sorted(roster.plugins):
        if os_name == AUTO:
            continue
        try:
            cls = roster.get_plugin(os_name, None, None, "single_rp")
        except ConnectionInfraError:
            continue
        dialect = getattr(cls, "dialect", None)
        if issubclass(cls, Connection) and dialect is not None and dialect.recognise:
            found.append(cls)
    return sorted(found, key=lambda cls: (cls.dialect.name == "generic", cls.dialect.name))


def choose(classes, prompt, command, answer):
    """The first class whose dialect's pattern matches the answer to
    ``command`` or the prompt, or None; never one that refused the command
    it is recognised by (a refusal may name it: "% Unknown command: show
    version")."""
    for cls in classes:
        dialect = cls.dialect
        text = re.sub(dialect.output_filter, "", answer) if dialect.output_filter else answer
        text = text.replace("\r\n", "\n").replace("\r", "\n")
        if dialect.recognise[0] == command and any(re.search(pattern, text, re.MULTILINE)
                                                   for pattern in dialect.error_patterns):
            continue
        if re.search(dialect.recognise[1], text, re.MULTILINE) or re.search(dialect.recognise[1], prompt):
            return cls
    return None


def _probe(classes):
    """The command most of the classes recognise their platform by; on a
    tie the later class's (a shell, which tells itself by the refusal of
    any command, is asked its own only when no router's prompt looks like
    what it showed)."""
    commands = [cls.dialect.recognise[0] for cls in classes]
    return max(commands, key=lambda command: (commands.count(command), commands.index(command)))


class AutoSingleRpConnection(SingleRpConnection):
    """A connection that detects its platform while it connects."""

    os = AUTO

    def __init__(self, *args, **options):
        self.classes = candidates()
        self.dialect = Dialect(AUTO, prompt="{host}{mode}", states=[
            ("enable", "|".join(_shape(cls.dialect) for cls in self.classes) or r"[#>$]")])
        SingleRpConnection.__init__(self, *args, **options)

    def _hostname_regex(self):
        return ""

    def _learn_pattern(self):
        return ""

    def _connect(self):
        if self._is_connected:
            return None
        handle = self.handles[0]
        self.context.setdefault("login_creds", [n for n in self.credentials if n != "enable"])
        handle.spawn = spawn = self._open_link(handle)
        try:
            self._become(self._detect(handle.state_machine, spawn))
        except BaseException:
            self._close_links()
            raise
        self._kept_link = spawn
        return Connection._connect(self)

    def _detect(self, machine, spawn):
        deadline = time.monotonic() + self.connection_timeout
        first = machine.wait(spawn, deadline, machine.connection_statements(self.context), self.context, nudges=1,
                             timeout=self.connection_timeout)
        prompt = first.match.group(0).strip()
        shown = [cls for cls in self.classes if re.search(_shape(cls.dialect) + r"\s*\Z", prompt)]
        if not shown:
            raise ConnectionError("%s: no installed platform has a prompt like %r (installed: %s)"
                                  % (machine.device, prompt, ", ".join(c.dialect.name for c in self.classes)))
        command = _probe(shown)
        spawn.sendline(command)
        answer = machine.wait(spawn, time.monotonic() + self.connection_timeout, (), self.context,
                              command=command, timeout=self.connection_timeout)
        # The prompt after the answer is read again by the platform chosen.
        spawn.push_back(answer.match.group(0))
        chosen = choose(shown, prompt, command, answer.match_output)
        if chosen is None:
            words = " | ".join(line.strip() for line in answer.match_output.splitlines() if line.strip())[:120]
            raise ConnectionError("%s: no installed platform fits: prompt %r, %r answered %r (candidates: %s); "
                                  "give the os" % (machine.device, prompt, command, words,
                                                   ", ".join(c.dialect.name for c in shown)))
        self.log.info("%s: detected the platform %s" % (machine.device, chosen.os))
        return chosen

    def _become(self, cls):
        """Turns this connection into one of ``cls``, on the links it has."""
        self.__class__ = cls
        self.os = cls.os
        # Whether the os was found by detection (the run table says so).
        self.detected = True
        self.dialect = cls.dialect
        self.template_platform = cls.template_platform or cls.dialect.template_platform
        self.settings = copy.deepcopy(cls.settings)
        for name, value in self.dialect.settings_values().items():
            if not hasattr(self.settings, name):
                setattr(self.settings, name, value)
        handle = self.handles[0]
        old = handle.state_machine
        handle.state_machine = RouterStateMachine(
            old.device, self._hostname_regex, self._learn_pattern(), credentials=self.credentials,
            context=self.context, timeout=self.connection_timeout, log=self.log, dialect=self.dialect)


__impl_roster__.register_plugin(AutoSingleRpConnection, os=AUTO, chassis_type="single_rp")
