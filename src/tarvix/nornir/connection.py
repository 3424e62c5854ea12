"""The Nornir connection plugin "tarvix".

The inventory gives ``hostname``, ``port``, ``username``, ``password`` and
``platform``; ``connection_options["tarvix"]["extras"]`` may add any keyword
of ``Connection``, among them:

- ``start``: the command line that opens the link (a list of two for a
  dual-RP device).  By default an SSH session in this process to
  ``hostname`` and ``port`` as ``username`` (``ssh://``, see
  tarvix.eal.ssh.link) where ssh2-python is installed, else the system ssh
  client (see ``ssh_command``); a start given here (a jump host, a terminal
  server, the system ssh with its configuration) is used as it is.
- ``host_key_checking``: with the default start, whether the host's key is
  checked (True, the default: learnt on first contact, held to afterwards)
  or neither checked nor kept (False: a lab whose devices come and go with
  new keys).
- ``ssh``: more options of the in-process SSH session (``key_file``,
  ``agent``, ``keepalive``, ``known_hosts``, ``config``, ``jump``, ``kex``...).
  The hostname may be an alias of the user's ssh configuration, which is
  read as the system ssh reads it unless ``ssh`` says ``config: false``
  (``tarvix run --no-ssh-config``); the inventory's port and username win
  over it.
- ``os``: the os plugin, overriding the one taken from ``platform``.
- ``series``, ``model``, ``chassis_type``, ``learn_hostname``,
  ``init_exec_commands``, ``init_config_commands``, ``connection_timeout``,
  ``session_log``, ...
- ``credentials``: further credentials (e.g. "enable"); the inventory's
  username and password are the "default" one.
- ``password_command``: where the inventory gives no password, a command
  (a secret manager's: ``pass show lab/r1``) whose first line of output is
  the password (see tarvix.credentials).

The os comes from ``platform`` (or ``os``): none means "generic"; the
platform names the peers' Nornir plugins give the CLIs of the built-in
plugins are taken as those plugins (``tarvix.bases.platforms``); any other
platform is taken as the name of a tarvix os plugin.

The learnt prompt hostname is used unless ``learn_hostname`` is False in the
extras: the inventory's ``hostname`` is an address, seldom the name the
device's prompt shows.

Over the default ssh start command the link is a session to the device, not
a console line, so the os plugin's setup configuration is left out, as for
any ``Connection`` (see its ``console`` keyword).

A host has one tarvix connection however many threads ask for it at once
when they ask through ``host_connection`` (the tasks of this package do);
Nornir's own ``Host.get_connection`` does not guard against two threads
opening a host's connection together.  The connection itself serves one
command at a time.
"""
import logging
import threading
import time
import weakref

from tarvix.bases.connection import Connection
from tarvix.credentials import command_password
from tarvix.eal.ssh import link as sshlink
from tarvix.nornir.platforms import PLATFORM_OS, platform_os  # noqa: F401 (where callers found them)

CONNECTION_NAME = "tarvix"


def ssh_command(hostname, port=None, username=None, host_key_checking=True):
    """The system ssh client's command line to ``hostname``.  With
    ``host_key_checking`` a host's key is learnt on first contact and held to
    afterwards (the user's known hosts, as ssh keeps them: a changed key
    fails the connect); without it keys are neither checked nor recorded."""
    return sshlink.system_command(ssh_url(hostname, port, username),
                                  {"host_key_checking": bool(host_key_checking)})


def ssh_url(hostname, port=None, username=None):
    """The ``ssh://`` start of an in-process SSH session to ``hostname``."""
    host = "[%s]" % hostname if ":" in hostname else hostname
    return "ssh://%s%s%s" % ("%s@" % username if username else "", host, ":%d" % int(port) if port else "")


# The hosts whose connection is being got, by id: [lock, threads using it].
# An entry lives only while some thread holds the host, so an id is never
# taken for another host's.
_host_locks = {}
_host_locks_guard = threading.Lock()


def host_connection(host, configuration):
    """The tarvix ``Connection`` of a Nornir ``host``, opened on first use:
    threads that ask for it at once wait for the one opening it and share
    its connection, instead of each opening one (which Nornir keeps only
    the last of, leaving the others running)."""
    key = id(host)
    with _host_locks_guard:
        entry = _host_locks.setdefault(key, [threading.Lock(), 0])
        entry[1] += 1
    try:
        with entry[0]:
            if CONNECTION_NAME not in host.connections:
                # Its logs and errors name the host as the inventory does.
                extras = dict(host.get_connection_parameters(CONNECTION_NAME).extras or {})
                extras.setdefault("name", host.name)
                host.open_connection(CONNECTION_NAME, configuration, extras=extras)
            return host.get_connection(CONNECTION_NAME, configuration)
    finally:
        with _host_locks_guard:
            entry[1] -= 1
            if not entry[1]:
                del _host_locks[key]


class TarvixConnection(object):
    """Opens a tarvix ``Connection`` for a Nornir host: ``connection`` is the
    connected ``Connection`` once ``open`` returns."""

    def __init__(self):
        self.connection = None
        # When the connect began and ended, seconds since the epoch.
        self.connect_span = None

    def open(self, hostname, username, password, port, platform, extras=None, configuration=None):
        con = connection_from_parameters(hostname, username, password, port, platform, extras)
        # Known while it connects too, so that abort_all reaches it.
        self.connection = con
        with _live_lock:
            _live.add(self)
        began, clock = time.time(), time.monotonic()
        try:
            con.connect()
        except BaseException:
            self._forget()
            raise
        self.connect_span = (round(began, 3), round(began + time.monotonic() - clock, 3))

    def _forget(self):
        con, self.connection = self.connection, None
        with _live_lock:
            _live.discard(self)
        return con

    def close(self):
        con = self._forget()
        if con is not None:
            con.disconnect()


def connection_from_parameters(hostname, username, password, port, platform, extras=None):
    """The ``Connection`` (not connected) of a host's connection parameters,
    as the plugin opens it (see the module)."""
    options = dict(extras or {})
    start = options.pop("start", None)
    host_key_checking = options.pop("host_key_checking", True)
    log = logging.getLogger("tarvix.connection")
    if start is None:
        if not hostname:
            raise ValueError("the host has no hostname to ssh to and its extras give no start command")
        if sshlink.AVAILABLE:
            start = ssh_url(hostname, port, username)
            ssh = dict(options.pop("ssh", None) or {})
            ssh.setdefault("host_key_checking", host_key_checking)
            options["ssh"] = ssh
            log.debug("%s: in-process SSH (libssh2)", hostname)
        else:
            start = ssh_command(hostname, port, username, host_key_checking)
            log.debug("%s: the system ssh client, %s", hostname, sshlink.UNAVAILABLE)
    else:
        log.debug("%s: the start command of the extras", hostname)
    credentials = dict(options.pop("credentials", None) or {})
    command = options.pop("password_command", None)
    if command and password is None:
        password = command_password(command, hostname or "device")
    if username or password is not None:
        credentials["default"] = {"username": username, "password": password}
    os_name = platform_os(options.pop("os", None) or platform)
    options.setdefault("learn_hostname", True)
    return Connection(hostname=hostname, start=start, os=os_name, credentials=credentials, **options)


# The plugin's connections that are connecting or open in this process.
_live = weakref.WeakSet()
_live_lock = threading.Lock()


def abort_all():
    """Kills the links of every connection the plugin is opening or has
    open in this process (``Connection.abort``), from any thread: whatever
    waits on them, a connect included, fails at once.  Their owners still
    close them."""
    with _live_lock:
        plugins = list(_live)
    for plugin in plugins:
        con = plugin.connection
        if con is not None:
            con.abort()
