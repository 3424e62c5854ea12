"""The connection object that scripts build for a device.

``Connection(...)`` asks the plugin registry for the connection class that
fits the device's os, series, model and chassis type and returns an instance
of that class::

    from tarvix.bases.connection import Connection

    con = Connection(hostname="r1", start=["telnet ts1 2001", "telnet ts1 2002"],
                     os="generic", credentials={"default": {"username": "admin", "password": pw}})
    con.connect()
    print(con.execute("show version"))
    con.configure(["interface lo0", "description test"])
    con.disconnect()

A plugin class derives from ``SingleRpConnection`` or ``DualRpConnection``
and names the CLI dialect its device speaks (``dialect``, a
``tarvix.eal.dialect.Dialect``: prompts, mode commands, setup
commands...); it may name its link broker (``broker_class``; by default
those of ``tarvix.bases.routers.brokers``) and further ``settings``.

The plugin packages are walked once per process, by the first
``Connection(...)`` (or ``plugin_class``); ``discover_plugins(rediscover=True)``
or ``Connection(..., rediscover=True)`` walks them again, e.g. after a plugin
distribution was installed.
"""
import copy
import logging
import numbers
import re
import threading
import time

import pexpect

from tarvix.bases import parsing
from tarvix.bases import reload as device_reload
from tarvix.bases.commands import CommandRunner, reply_statements
from tarvix.bases.config.transaction import ConfigurationApi
from tarvix.bases.discovery import Settings, discover_plugins, plugin_class  # noqa: F401 (offered here too)
from tarvix.bases.platforms import PLATFORM_OS
from tarvix.bases.starts import say_system_ssh, session_start, ssh_login
from tarvix.core.errors import CommandError, ConnectionError
from tarvix.eal import waits
from tarvix.eal.ssh import link as sshlink, route as sshroute
from tarvix.eal.secrets import SECRET_ENV_VARS, child_env  # noqa: F401 (SECRET_ENV_VARS: also offered here)
from tarvix.eal.sessionlog import is_path, rp_path
from tarvix.eal.spawn import Spawn
from tarvix.eal.statemachine import RouterStateMachine
from tarvix.files.api import FilesApi
from tarvix.state.api import StateApi

# The hostname pattern a connection falls back to when it cannot learn the
# device's hostname: any run of the characters a prompt's hostname is made of.
DEFAULT_LEARNED_HOSTNAME = r"[^\s#>()]+"

# SECRET_ENV_VARS: the environment variables through which passwords reach
# tarvix itself; they are never handed on to the programs that open the links.

class RpHandle(object):
    """One route processor of a device: its console link (``spawn``), the
    link's ``state_machine``, and the ``role`` ("active"/"standby") and
    redundancy ``mode`` the broker finds."""

    def __init__(self, name, start, state_machine):
        self.name = name
        self.start = start
        self.state_machine = state_machine
        self.spawn = None
        self.role = None
        self.mode = None

    def __repr__(self):
        return "<RpHandle %s role=%s mode=%s>" % (self.name, self.role, self.mode)


class Connection(CommandRunner, ConfigurationApi, StateApi, FilesApi):
    """A command-line connection to one device.

    Built on this class itself, it returns an instance of the registered
    plugin class for ``os``/``series``/``model``/``chassis_type``; the chassis
    type defaults to "dual_rp" when two start commands are given.

    ``start``: the command line(s) that open the console link(s), one per
    route processor; or ``ssh://[user@]host[:port]``, an SSH session opened
    in this process (libssh2, no program started; see tarvix.eal.ssh.link),
    its options in ``ssh`` (``host_key_checking``: "accept-new", the
    default, "yes" or "off"; ``known_hosts``, ``key_file``, ``agent``,
    ``keepalive``, ``connect_timeout``).  The credentials' passwords answer
    the SSH authentication (the username of the URL, else of the first
    credential), and the login dialog still answers a device that asks
    again.  Where ssh2-python is not installed such a start runs the system
    ssh client with the same options, and says so once in the log.  ``credentials``: credential name -> {"username",
    "password"}; "enable" holds the enable password, "terminal_server" the login a terminal server's port asks
    for before the device's own.  ``connection_timeout``
    bounds each step of connecting, in seconds, the commands sent while
    connecting included.

    ``init_exec_commands`` / ``init_config_commands``: the setup commands run
    while connecting (None: the plugin's own choice, from its settings; a
    list, possibly empty: exactly these).  A setup command of the plugin's
    own choice that the device rejects is logged as a warning and connecting
    goes on; a rejected command that the caller gave fails the connect.

    ``console``: whether the links are console lines (True) or sessions to
    the device itself (False: ssh, or telnet to the device's own port); None
    (the default, unless the plugin class sets ``console``) decides from
    ``console_settle`` and the start commands, see ``console_line``.  The
    plugin's own setup configuration (e.g. "no logging console") is applied
    on a console line only: log messages never show on a session to the
    device, so there it would only cost a round of configuration mode.
    Setup exec commands run on either.

    ``console_settle``: the link is a console line reached through a terminal
    server, which needs a moment after the link closes before it can be
    reached again: disconnecting then waits for it.  ``env``: the
    environment of the link programs (the process's own by default), always
    without $TARVIX_PASSWORD and $TARVIX_ENABLE_PASSWORD.

    ``session_log``: a path or a writable file object (binary or text) that
    records every character sent and read on the link(s), passwords masked.
    A path is opened for appending at connect and closed at disconnect; for
    a dual-RP device each RP gets a file of its own, the RP's name inserted
    before the suffix ("r1.log" -> "r1.a.log", "r1.b.log").  A file object
    is written and flushed, never closed.

    ``files``: where the device's SSH server takes its files for a link
    that is no SSH session ({"host", "port", "username"}; see put_file).

    ``template_platform`` names the platform whose TextFSM templates parse
    the output of ``execute(..., parse=True)``; None: no parsing.

    ``name``: what logs and errors call the device (its hostname, else the
    one its prompt shows once learnt, by default), e.g. its inventory name
    where ``hostname`` is an address.

    One connection serves one caller at a time: connect, execute, configure
    and disconnect hold the connection's lock, so threads sharing it take
    turns (a thread waits for the command of another to finish).  ``abort``
    takes no lock, so that it ends a command in progress at once.
    """

    chassis_type = None
    # Whether this plugin's links are console lines: None decides from the
    # start commands (see console_line).
    console = None
    # The CLI dialect the device speaks; None: the generic plugin's.
    dialect = None
    # None: the brokers of tarvix.bases.routers.brokers.
    broker_class = None
    # What the plugin adds to (or changes of) the settings its dialect gives.
    settings = Settings(EXEC_TIMEOUT=60)
    handle_names = ()
    # None: the dialect's.
    template_platform = None

    def __new__(cls, hostname=None, start=None, os="generic", series=None, model=None, chassis_type=None,
                rediscover=False, **options):
        if cls is Connection:
            cls = plugin_class(_os_plugin(os), series, model, chassis_type or _default_chassis(start), rediscover)
            if not issubclass(cls, Connection):
                return cls(hostname=hostname, start=start, os=os, series=series, model=model, **options)
        return object.__new__(cls)

    def __init__(self, hostname=None, start=None, os="generic", series=None, model=None, chassis_type=None,
                 credentials=None, learn_hostname=False, init_exec_commands=None, init_config_commands=None,
                 connection_timeout=30, mit=False, prompt_recovery=False, env=None, console_settle=False,
                 rediscover=False, session_log=None, console=None, ssh=None, name=None, files=None):
        starts = self._checked_starts(start, hostname, learn_hostname, connection_timeout)
        self.name = name
        self.ssh = sshlink.check_options(ssh, hostname)
        self.files = _files_address(files)
        self.hostname = hostname
        self.os, self.series, self.model = _os_plugin(os), series, model
        self.credentials = dict(credentials or {})
        self.learn_hostname = learn_hostname
        self.learned_hostname = None
        self.init_exec_commands = init_exec_commands
        self.init_config_commands = init_config_commands
        self.connection_timeout = connection_timeout
        self.mit = mit
        self.prompt_recovery = prompt_recovery
        self.env = env
        self.console_settle = console_settle
        if console is not None:
            self.console = bool(console)
        if session_log is not None and not is_path(session_log) and not hasattr(session_log, "write"):
            raise ValueError("session_log is a path or a writable file object, not %r" % (session_log,))
        self.session_log = session_log
        if self.dialect is None:
            from tarvix.plugins.generic.dialect import DIALECT

            self.dialect = DIALECT
        if self.template_platform is None:
            self.template_platform = self.dialect.template_platform
        # The class's settings (a Settings subclass keeps its class), and the
        # dialect's values for what they leave out.
        self.settings = copy.deepcopy(type(self).settings)
        for name, value in self.dialect.settings_values().items():
            if not hasattr(self.settings, name):
                setattr(self.settings, name, value)
        self.log = logging.getLogger("tarvix.connection")
        self.context = {}
        # Re-entrant: the broker runs the setup commands through execute and
        # configure while connect holds it.
        self._lock = threading.RLock()
        self._is_connected = False
        self._handles_designated = False
        self._connecting = False
        self._aborted = False
        # The RP a reload of the standby alone has taken off (its commands are refused).
        self._rebooting = None
        self.broker = None
        self.handles = []
        for name, command in zip(self.handle_names, starts):
            label = self.name or hostname or "device"
            device = "%s/%s" % (label, name) if len(starts) > 1 else label
            machine = RouterStateMachine(device, self._hostname_regex, self._learn_pattern(),
                                         credentials=self.credentials, context=self.context,
                                         timeout=connection_timeout, log=self.log, dialect=self.dialect)
            self.handles.append(RpHandle(name, command, machine))

    def _checked_starts(self, start, hostname, learn_hostname, connection_timeout):
        """The start commands, one for each RP; ValueError for what cannot
        make a connection."""
        starts = [start] if isinstance(start, str) else list(start or [])
        if len(starts) != len(self.handle_names):
            raise ValueError("%s needs %d start command(s), got %d"
                             % (type(self).__name__, len(self.handle_names), len(starts)))
        if not hostname and not learn_hostname:
            raise ValueError("a hostname is needed unless learn_hostname is set")
        if isinstance(connection_timeout, bool) or not isinstance(connection_timeout, numbers.Real) \
                or not connection_timeout > 0:
            raise ValueError("connection_timeout must be a number of seconds above 0, not %r" % (connection_timeout,))
        for start in starts:
            if sshlink.is_url(start):
                sshlink.parse_url(start)
        return starts

    # -- members the brokers use -----------------------------------------

    def _learn_pattern(self):
        """The hostname pattern of a prompt whose hostname is being learnt."""
        return self.dialect.learn_pattern or DEFAULT_LEARNED_HOSTNAME

    def _hostname_regex(self):
        if self.learned_hostname:
            if self.learned_hostname == DEFAULT_LEARNED_HOSTNAME:
                return self._learn_pattern()
            return re.escape(self.learned_hostname)
        if self.learn_hostname or not self.hostname:
            return self._learn_pattern()
        return _hostname_pattern(self.hostname)

    def _get_learned_hostname(self, spawn):
        """The hostname the prompt on this link showed while it was learnt;
        a device given no name is told by it from then on."""
        for handle in self.handles:
            if handle.spawn is spawn and handle.state_machine.seen_hostname:
                name = handle.state_machine.seen_hostname
                for each in self.handles if not (self.name or self.hostname) else ():
                    each.state_machine.device = "%s/%s" % (name, each.name) if len(self.handles) > 1 else name
                    if each.spawn is not None:
                        each.spawn.device = each.state_machine.device
                return name
        return DEFAULT_LEARNED_HOSTNAME

    @property
    def connected(self):
        return self._is_connected

    @property
    def init_config_commands(self):
        """The configuration lines the broker applies while connecting: the
        caller's; else None (the plugin's own) on a console line, and none
        over a session to the device itself."""
        if self._init_config_commands is None and not self.console_line:
            return []
        return self._init_config_commands

    @init_config_commands.setter
    def init_config_commands(self, lines):
        self._init_config_commands = lines

    @property
    def console_line(self):
        """Whether the links are console lines: as ``console`` says when it
        is set; else with ``console_settle``, or when a start command is not
        a session to the device itself (the system ssh client; telnet to the
        device's own port).  Serial programs, a terminal server's port, the
        bundled simulator (which plays a console) are console lines."""
        if self.console is not None:
            return bool(self.console)
        if self.console_settle:
            return True
        return not all(session_start(handle.start) for handle in self.handles)

    def _handle(self, target):
        raise NotImplementedError

    # -- the script's calls ----------------------------------------------

    def connect(self):
        """Opens the console link(s) and lets the broker bring the device
        to a known state; on failure the links are closed again."""
        with self._lock:
            return self._connect()

    def _connect(self):
        if self._is_connected:
            return None
        # A terminal server asks for its own login before the device does.
        names = sorted((n for n in self.credentials if n != "enable"), key=lambda n: n != "terminal_server")
        self.context["prompt_recovery"] = self.prompt_recovery
        self.context.setdefault("login_creds", names)
        try:
            for handle in self.handles:
                handle.spawn = self._open_link(handle)
                handle.state_machine._current_state = None
                handle.role = handle.mode = None
            self._handles_designated = False
            self.broker = (self.broker_class or _dialect_broker(self))(self)
            self._connecting = True
            try:
                return self.broker.connect()
            finally:
                self._connecting = False
        except BaseException:
            self._close_links()
            raise

    def _session_log(self, handle):
        """Where this RP's link is recorded: the connection's session log,
        a file per RP when it is a path and there are several RPs."""
        if len(self.handles) > 1 and is_path(self.session_log):
            return rp_path(self.session_log, handle.name)
        return self.session_log

    def _open_link(self, handle, timeout=None):
        """Opens the RP's link; ``timeout``: the seconds an in-process SSH
        link may take to connect, if fewer than the connection's timeout
        (and the ssh options' connect_timeout)."""
        link = self._new_link(handle, timeout)
        if getattr(link, "session_log", None) is not None:  # masks the lines that hold a secret
            link.session_log.secret_lines = self.dialect.config_secrets
        return link

    def _new_link(self, handle, timeout):
        kept = self.__dict__.pop("_kept_link", None)
        if kept is not None:  # the link platform detection opened
            return kept
        device = handle.state_machine.device
        # The credentials' passwords, and those the ssh options hold, are
        # masked in whatever the process logs or reports from now on, the
        # link's start command included.
        passwords = [c.get("password") for c in self.credentials.values() if isinstance(c, dict)]
        passwords = [p for p in passwords if isinstance(p, str)] + sshlink.option_secrets(self.ssh)
        start = handle.start
        if sshlink.is_url(start):
            username, ssh_passwords = ssh_login(start, self.credentials, self.context.get("login_creds"))
            if sshlink.AVAILABLE:
                # Known to the handle while it connects, so that abort reaches it.
                ssh = self.ssh
                if timeout is not None and timeout < (ssh.get("connect_timeout") or self.connection_timeout):
                    ssh = dict(ssh, connect_timeout=timeout)
                try:
                    return sshlink.SshSpawn(start, device, timeout=self.connection_timeout, log=self.log,
                                            session_log=self._session_log(handle), secrets=passwords,
                                            ssh=ssh, username=username, passwords=ssh_passwords,
                                            started=lambda link: setattr(handle, "spawn", link))
                except BaseException:
                    handle.spawn = None
                    raise
            say_system_ssh(self.log)
            user, host, _ = sshlink.parse_url(start)
            kept_back = waits.call(sshroute.passwords_kept_back, host, user, self.ssh,
                                   time.monotonic() + self.connection_timeout)
            start = sshlink.system_command(start, self.ssh, username, no_passwords=bool(kept_back))
        # Only a program gets an environment (an in-process link has none
        # to give).
        env = child_env(self.env)
        try:
            return Spawn(start, device, timeout=self.connection_timeout, log=self.log, env=env,
                         session_log=self._session_log(handle), secrets=passwords)
        except (pexpect.ExceptionPexpect, OSError) as error:
            # The message names the program only: the rest of the start
            # command may hold a password.
            raise ConnectionError("%s: cannot start the link: %s" % (device, error))

    def disconnect(self):
        """Closes the link(s) through the broker."""
        with self._lock:
            if self.broker is None:
                return None
            try:
                return self.broker.disconnect()
            finally:
                self._close_links()

    def abort(self):
        """Ends the device links from any thread, at once: their programs are
        killed, so that a command or a connect in progress on another thread
        fails with LinkClosedError instead of waiting for its timeout.  The
        caller that owns the connection still disconnects it (or lets its
        failure close it)."""
        self._aborted = True
        for handle in self.handles:
            spawn = handle.spawn
            if spawn is not None:
                spawn.abort()

    def _close_links(self):
        for handle in self.handles:
            if handle.spawn is not None:
                handle.spawn.close()
        self._is_connected = False

    def reload(self, save=None, timeout=600, rp=None):
        """Reloads the device and follows it back to the state it had
        (``save``: whether to save a changed configuration when asked;
        ``rp="standby"``: only the standby RP); see tarvix.bases.reload."""
        return device_reload.reload(self, save=save, timeout=timeout, rp=rp)

    def switchover(self, timeout=600):
        """Hands a dual-RP router's active role to its standby and follows
        both RPs back; see tarvix.bases.reload."""
        return device_reload.switchover(self, timeout=timeout)

    def execute(self, command, target=None, timeout=None, prompt_recovery=None, reply=None, parse=False, check=None):
        r"""Runs one exec command in the enable state and returns its output
        (without the echoed command and the prompt).

        ``reply`` answers what the device asks on the way: a list of
        (pattern, answer) pairs, e.g. ``[(r"\[confirm\]", "")]``, a dict,
        or a ``tarvix.eal.dialogs.Dialog``.

        ``parse``: returns the output as a list of records (dicts keyed by
        the template's lower-case field names) through the TextFSM template
        for ``template_platform`` and the command; TemplateNotFoundError,
        before anything is sent, when there is none.

        ``check``: None (the default) raises CommandError when the output
        shows that the device refused the command (the dialect's refusals);
        True also when the command's exit status is not 0, on a platform
        that has exit statuses (a shell), else the same as None; False
        returns the output whatever it says.

        A command is one line: ValueError for one holding a line break."""
        _one_line(command)
        with self._lock:
            return self._execute(command, target, timeout, prompt_recovery, reply, parse, check)

    def _execute(self, command, target, timeout, prompt_recovery, reply, parse, check=None):
        if parse:
            template = parsing.find_template(self.template_platform, command)
            return parsing.parse(template, self.execute(command, target, timeout, prompt_recovery, reply,
                                                        check=check))
        if check is not None and not self._lenient_exec(command):
            return self._checked(self._handle(target), command, self._timeout(timeout), prompt_recovery,
                                 reply_statements(reply), check)
        handle = self._handle(target)
        timeout = self._timeout(timeout)
        statements = reply_statements(reply)
        if self._lenient_exec(command):
            try:
                return self._run(handle, [command], "enable", timeout, prompt_recovery, statements)
            except CommandError as error:
                self._skip(handle, "setup command %r" % command, command, error)
                return ""
        return self._run(handle, [command], "enable", timeout, prompt_recovery, statements)

    def configure(self, lines, target=None, timeout=None, prompt_recovery=None, reply=None):
        """Applies configuration lines (a list, or one string of lines) in
        the config state and returns to the enable state; returns the output.
        ``reply`` as for ``execute``; ValueError for a line of a list that
        holds a line break."""
        if isinstance(lines, str):
            lines = lines.splitlines()
        lines = list(lines)
        for line in lines:
            _one_line(line)
        self._has_config(lines)
        self._secrets_of("\n".join(lines))
        with self._lock:
            return self._configure(lines, target, timeout, prompt_recovery, reply)

    def __enter__(self):
        self.connect()
        return self

    def __exit__(self, *exc):
        with self._lock:
            if self.broker is not None and self._is_connected:
                self.disconnect()
            else:
                self._close_links()

    def __repr__(self):
        return "<%s %s connected=%s>" % (type(self).__name__, self.hostname, self._is_connected)


def _os_plugin(os):
    """The os plugin of a platform's name: the peers' names for the built-in
    plugins' CLIs are taken as those plugins' own."""
    return PLATFORM_OS.get(os, os) if isinstance(os, str) and os else os


def _hostname_pattern(hostname):
    """The prompt's hostname as users write it: in any letter case, and for
    a fully qualified name either the whole name or its first label."""
    first, dot, rest = hostname.partition(".")
    if dot and first and rest and not re.match(r"^[\d.]+$", hostname):
        return "(?i:%s(?:%s)?)" % (re.escape(first), re.escape(dot + rest))
    return "(?i:%s)" % re.escape(hostname)


def _files_address(files):
    if files is not None and (not isinstance(files, dict) or not files.get("host")):
        raise ValueError("files is {\"host\": ..., \"port\": ..., \"username\": ...}, not %r" % (files,))
    return files


def _one_line(command):
    if isinstance(command, str) and ("\n" in command or "\r" in command):
        raise ValueError("a command is one line, without line breaks: %r" % (command,))


def _dialect_broker(con):
    from tarvix.bases.routers import brokers

    return brokers.DualRpLinkBroker if len(con.handle_names) == 2 else brokers.SingleRpLinkBroker


def _default_chassis(start):
    if isinstance(start, (list, tuple)) and len(start) == 2:
        return "dual_rp"
    return "single_rp"


class SingleRpConnection(Connection):
    """A device with one route processor: ``spawn`` and ``state_machine``."""

    chassis_type = "single_rp"
    handle_names = ("a",)

    @property
    def spawn(self):
        return self.handles[0].spawn

    @property
    def state_machine(self):
        return self.handles[0].state_machine

    def _handle(self, target):
        if target not in (None, "a", "active"):
            raise ValueError("unknown target %r for a single-RP device" % (target,))
        return self.handles[0]


class DualRpConnection(Connection):
    """A device with two route processors: handles ``a`` and ``b``, and
    ``active``/``standby`` resolved from their roles."""

    chassis_type = "dual_rp"
    handle_names = ("a", "b")

    @property
    def a(self):
        return self.handles[0]

    @property
    def b(self):
        return self.handles[1]

    def _role(self, role):
        for handle in self.handles:
            if handle.role == role:
                return handle
        raise ConnectionError("%s: no route processor is designated %s" % (self._device, role))

    @property
    def active(self):
        return self._role("active")

    @property
    def standby(self):
        return self._role("standby")

    def _handle(self, target):
        """None means the active RP once designated, else handle ``a``."""
        if target is None:
            return self.active if self._handles_designated else self.a
        if target in ("active", "standby"):
            return self._role(target)
        if target in ("a", "b"):
            return getattr(self, target)
        raise ValueError("unknown target %r for a dual-RP device" % (target,))
