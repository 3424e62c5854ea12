"""Simulated routers served over SSH: many in one process, on 127.0.0.1.

Each router listens on a port of its own; a dual-RP router listens on two,
one per RP, whose consoles share the router's state (running configuration,
uptime, and the standby's lock: the standby's console stays locked until
"standby console enable" is configured on the active).  A session logs in
with the router's username and password (SSH password or
keyboard-interactive authentication) and is served by the same ``Console``
as the console program, on a thread of its own that sleeps on its input
while the session is idle.

A router is a dict, as in the JSON file ``tarvix simulate --serve`` reads
(``{"routers": [...]}``):

- ``hostname``: the name its prompt shows, unique among the routers;
- ``port``: its port, 0 or missing for any free one; a dual-RP router gives
  ``ports`` (two of them; ``[0, 0]`` for any) or ``"dual_rp": true``;
- ``active``: which RP of a dual-RP router is active, "a" (the first port,
  the default) or "b";
- ``username`` (default "admin"), ``password`` (default "admin"),
  ``enable_password`` (default: none asked);
- ``dialect``: the CLI dialect its consoles speak, "generic" (the default)
  or "commit" (see ``python -m tarvix.simulator --help``);
- ``options``: further arguments of the console program, its knobs, e.g.
  ``["--reply-delay", "0.2", "--hang", "show clock"]`` (see ``python -m
  tarvix.simulator --help``).  With ``--login`` the SSH login takes any
  user without a password, as a terminal server's port does, and the
  console asks for the username and password itself.

In a test::

    from tarvix.simulator import server

    with server.serving([{"hostname": "r1"}, {"hostname": "r2", "dual_rp": True}]) as running:
        running.ports      # {"r1": [41234], "r2": [41235, 41236]}: the ports it got
        running.most_sessions  # the most sessions it has had open at once
        ...                # e.g. ssh -p 41234 admin@127.0.0.1, password "admin"

The host keys are made when the server starts and live only in its memory,
unless it is given a folder to keep them in (``keys_folder``; ``tarvix
simulate --serve`` keeps them in the lab's folder): there they are made on
the first start and read on every later one, so that a lab served again
shows the keys its clients learnt.
Needs asyncssh (the ``serve`` extra; ``pip install asyncssh``, Python 3.7 or later).
"""
import asyncio
import collections
import contextlib
import json
import logging
import os
import threading
import warnings

from tarvix.simulator import ROUTERS_FILE
from tarvix.simulator.console import RouterState
from tarvix.simulator.flash import flash_size
from tarvix.simulator.options import build_parser, console_class

NEEDS_ASYNCSSH = "the SSH simulator needs asyncssh: pip install asyncssh (Python 3.7 or later)"
HOST = "127.0.0.1"
# A session's thread runs the console and nothing deeper.
SESSION_STACK = 256 * 1024

log = logging.getLogger(__name__)

try:
    # Quiet about the old key types it still offers, which cryptography
    # warns of when they are imported.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import asyncssh

        from tarvix.simulator import fileserve
except ImportError:  # pragma: no cover - depends on the installation
    asyncssh = None

# The host keys a server shows: their algorithms, and the files a folder
# keeps them in.
HOST_KEYS = (("ssh-ed25519", "ssh_host_ed25519_key"), ("ecdsa-sha2-nistp256", "ssh_host_ecdsa_key"))

_ROUTER_KEYS = {"hostname", "port", "ports", "dual_rp", "active", "username", "password", "enable_password",
                "dialect", "options"}


def available():
    return asyncssh is not None


def load(path):
    """The routers of a JSON file (or of ``routers.json`` in a directory)."""
    if os.path.isdir(path):
        path = os.path.join(path, ROUTERS_FILE)
    with open(path) as handle:
        document = json.load(handle)
    routers = document.get("routers") if isinstance(document, dict) else None
    if not isinstance(routers, list):
        raise ValueError("no list of routers under \"routers\"")
    if not routers:
        raise ValueError("the list of routers under \"routers\" is empty")
    return routers


class _Router(object):
    """A router's settings, checked, and its state."""

    def __init__(self, settings, number=1):
        # (Its settings are not shown: they may hold a password.)
        if not isinstance(settings, dict):
            raise ValueError("router %d of the list: a mapping of its settings belongs there" % number)
        if not isinstance(settings.get("hostname"), str) or not settings["hostname"].strip():
            raise ValueError("router %d of the list: a hostname (text) is needed" % number)
        unknown = sorted(set(settings) - _ROUTER_KEYS)
        if unknown:
            raise ValueError("router %s: unknown setting(s) %s" % (settings["hostname"], ", ".join(unknown)))
        self.hostname = settings["hostname"]
        self.ports = _ports(self.hostname, settings)
        self.username = _text(self.hostname, settings, "username", "admin")
        self.password = _text(self.hostname, settings, "password", "admin")
        self.enable_password = _text(self.hostname, settings, "enable_password", None)
        active = settings.get("active", "a")
        if active not in ("a", "b"):
            raise ValueError("router %s: active is \"a\" or \"b\"" % self.hostname)
        options = settings.get("options")
        if options is None:
            options = []
        if not isinstance(options, list) or not all(isinstance(option, str) for option in options):
            raise ValueError("router %s: options: a list of the console's arguments (text) belongs there, not %s"
                             % (self.hostname, json.dumps(options)))
        dialect = _text(self.hostname, settings, "dialect", None)
        self.args = []
        for number in range(len(self.ports)):
            argv = ["--hostname", self.hostname, "--username", self.username] + options
            if dialect:
                argv += ["--dialect", dialect]
            args = _console_args(self.hostname, argv)
            args.pair_dir = None
            args.role = None if len(self.ports) == 1 else ("active" if "ab"[number] == active else "standby")
            self.args.append(args)
        self.state = RouterState()

    def seat(self, rp):
        """The seat of RP number ``rp`` (see tarvix.simulator.boot)."""
        return self.args[rp].role or "single"


def host_keys(folder=None):
    """The server's host keys: new ones, or with ``folder`` those kept there,
    each made (readable by its owner only) where it is missing."""
    keys = []
    for algorithm, name in HOST_KEYS:
        if folder is None:
            keys.append(asyncssh.generate_private_key(algorithm))
            continue
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            _keep(path, asyncssh.generate_private_key(algorithm).export_private_key())
        try:
            keys.append(asyncssh.read_private_key(path))
        except ValueError as error:
            raise ValueError("%s: not a host key the server can read (%s); remove it to make a new one"
                             % (path, error))
    return keys


def _keep(path, data):
    """Writes a key file where there is none; a server that made one at the
    same moment keeps its own, and both read that one."""
    temporary = "%s.%d.new" % (path, os.getpid())
    handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        with os.fdopen(handle, "wb") as out:
            out.write(data)
        os.link(temporary, path)
    except FileExistsError:
        pass
    finally:
        os.unlink(temporary)


def _text(hostname, settings, key, default):
    value = settings.get(key, default)
    if value is not default and not isinstance(value, str):
        # The value itself is not shown: it may be a password.
        raise ValueError("router %s: %s: text (in quotes) belongs there" % (hostname, key))
    return value


def _port(hostname, value):
    """A port of a router's settings; 0 (or null) for any free one."""
    if value is None:
        return 0
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 65536:
        raise ValueError("router %s: port %s is no port number (1 to 65535, or 0 for any free one)"
                         % (hostname, json.dumps(value)))
    return value


def _ports(hostname, settings):
    """The ports of a router's settings: one, or two for a dual-RP one."""
    if "ports" in settings:
        ports = settings["ports"]
        if not isinstance(ports, list) or len(ports) not in (1, 2):
            raise ValueError("router %s: ports: a list of one port, or two for a dual-RP router, belongs there, "
                             "not %s" % (hostname, json.dumps(ports)))
    else:
        dual = settings.get("dual_rp", False)
        if not isinstance(dual, bool):
            raise ValueError("router %s: dual_rp: true or false belongs there, not %s" % (hostname, json.dumps(dual)))
        ports = [0, 0] if dual else [settings.get("port")]
    return [_port(hostname, port) for port in ports]


def _console_args(hostname, argv):
    """The console's arguments parsed, or one line saying what is wrong."""
    parser = build_parser()

    def refuse(message):
        raise ValueError("router %s: options: %s" % (hostname, message))

    parser.error = refuse
    try:
        return parser.parse_args(argv)
    except SystemExit:  # --help: it printed the help
        raise ValueError("router %s: options: the console's help is no router's knob" % hostname)


class _Input(object):
    """Bytes typed into a session, handed from the event loop to the
    session's thread."""

    def __init__(self):
        self._chunks = collections.deque()
        self._closed = False
        self._ready = threading.Condition(threading.Lock())

    def feed(self, data):
        with self._ready:
            self._chunks.append(data)
            self._ready.notify()

    def close(self):
        with self._ready:
            self._closed = True
            self._ready.notify()

    def read(self):
        with self._ready:
            while not self._chunks and not self._closed:
                self._ready.wait()
            return self._chunks.popleft() if self._chunks else b""


class _SessionConsole(object):
    """A shell session's console: what the event loop writes to the client
    for it, and the session thread's side, which reads what the client typed
    and writes through the event loop."""

    # -- run on the event loop --

    def _send(self, data):
        if self._ended:
            return
        try:
            self._chan.write(data)
        except OSError:
            # The client hung up while the router was still writing: the
            # session ends, and its console with it.
            self._ended = True
            self._input.close()

    def _exit(self):
        if not self._ended:
            self._ended = True
            self._chan.exit(0)

    # -- the session thread's side --

    def read(self):
        return self._input.read()

    def write(self, text):
        if self._ended:
            # The client is gone: the console ends here, not after
            # writing the rest of a long output to nobody.
            raise EOFError()
        data = text.replace("\n", "\r\n").encode("utf-8")
        try:
            self._loop.call_soon_threadsafe(self._send, data)
        except RuntimeError:
            # The server has stopped.
            raise EOFError()

    def flush(self):
        pass

    def _run(self):
        router = self._router
        args = router.args[self._rp]
        console = console_class(args)(args, terminal=self, password=router.password,
                                      enable_password=router.enable_password, state=router.state, vty=True)
        try:
            console.run()
        except EOFError:
            pass
        except Exception:
            log.exception("simulated router %s: the console failed", router.hostname)
        if self._ended:
            return
        try:
            self._loop.call_soon_threadsafe(self._exit)
        except RuntimeError:
            pass


def _session_class():
    class Session(_SessionConsole, asyncssh.SSHServerSession):
        """One shell session: its console runs on a thread of its own."""

        def __init__(self, server, router, rp):
            self._server, self._router, self._rp = server, router, rp
            self._loop = asyncio.get_event_loop()
            self._chan = None
            self._input = _Input()
            self._ended = False

        # -- the event loop's side --

        def connection_made(self, chan):
            self._chan = chan

        def pty_requested(self, term_type, term_size, term_modes):
            return True

        def shell_requested(self):
            return True

        def session_started(self):
            self._server._start_thread(self._run)

        def data_received(self, data, datatype):
            self._input.feed(data)

        def eof_received(self):
            self._input.close()
            return False

        def connection_lost(self, exc):
            self._ended = True
            self._input.close()

    return Session


def _server_class():
    class Auth(asyncssh.SSHServer):
        def __init__(self, server, router, rp):
            self._server, self._router, self._rp = server, router, rp
            self._conn = None

        def connection_made(self, conn):
            self._conn = conn
            self._server._connections.add(conn)
            seat = self._router.seat(self._rp)
            self._server._seated.setdefault((self._router.hostname, seat), set()).add(conn)
            if self._router.state.boots.booting(seat):
                # A router that is booting refuses every session.
                asyncio.get_event_loop().call_soon(conn.abort)

        def connection_lost(self, exc):
            self._server._connections.discard(self._conn)
            seat = self._router.seat(self._rp)
            self._server._seated.get((self._router.hostname, seat), set()).discard(self._conn)

        def begin_auth(self, username):
            # A router with the console's own login takes any SSH user, as
            # a terminal server's port does, and asks in the session.
            return not self._router.args[self._rp].login

        def password_auth_supported(self):
            return True

        def validate_password(self, username, password):
            return username == self._router.username and password == self._router.password

        def session_requested(self):
            shell = self._server._session(self._server, self._router, self._rp)
            args = self._router.args[self._rp]
            return fileserve.Either(shell, self._router.state.flash(self._router.seat(self._rp),
                                                                    flash_size(args)), args)

    return Auth


class Server(object):
    """Simulated routers on ``host``, from their dicts (see the module).
    ``start()`` and ``close()`` are coroutines of the event loop serving
    them; ``ports`` maps each hostname to its ports once started."""

    def __init__(self, routers, host=HOST, keys_folder=None):
        if asyncssh is None:
            raise RuntimeError(NEEDS_ASYNCSSH)
        self.routers = [_Router(settings, number) for number, settings in enumerate(routers, 1)]
        names, ports = set(), set()
        for router in self.routers:
            if router.hostname in names:
                raise ValueError("two routers have the hostname %s" % router.hostname)
            names.add(router.hostname)
            for port in router.ports:
                if port in ports:
                    raise ValueError("router %s: port %d is given twice" % (router.hostname, port))
                ports.add(port or None)
        self.host = host
        self.keys_folder = keys_folder
        self.ports = {}
        self._listeners = []
        self._connections = set()
        # (hostname, seat) -> the connections to that RP.
        self._seated = {}
        self._threads = set()
        self._threads_lock = threading.Lock()
        self.most_sessions = 0
        self._session = _session_class()
        self._auth = _server_class()

    async def start(self):
        _raise_file_limit(3 * sum(len(router.ports) for router in self.routers) + 64)
        keys = host_keys(self.keys_folder)
        loop = asyncio.get_event_loop()
        for router in self.routers:
            router.state.boots.listeners.append(_dropper(self, loop, router))
        base = asyncssh.SSHServerConnectionOptions(server_host_keys=keys, line_editor=False, encoding=None,
                                                   allow_pty=True)
        try:
            for router in self.routers:
                ports = []
                for rp, port in enumerate(router.ports):
                    factory = _bind(self._auth, self, router, rp)
                    options = asyncssh.SSHServerConnectionOptions(options=base, server_factory=factory)
                    listener = await asyncssh.listen(self.host, port, options=options, reuse_address=True)
                    self._listeners.append(listener)
                    ports.append(listener.get_port())
                self.ports[router.hostname] = ports
        except BaseException:
            await self.close()
            raise
        return self.ports

    async def close(self):
        """Stops listening, ends every session and waits (briefly) for their
        threads."""
        for listener in self._listeners:
            listener.close()
        for conn in list(self._connections):
            conn.close()
        for conn in list(self._connections):
            await conn.wait_closed()
        # (A listener is closed once its connections are.)
        for listener in self._listeners:
            await listener.wait_closed()
        self._listeners = []
        with self._threads_lock:
            threads = list(self._threads)
        for thread in threads:
            await asyncio.get_event_loop().run_in_executor(None, thread.join, 5)

    def _start_thread(self, target):
        def run():
            try:
                target()
            finally:
                with self._threads_lock:
                    self._threads.discard(thread)

        old = threading.stack_size(SESSION_STACK)
        try:
            thread = threading.Thread(target=run, name="simulated-session")
            thread.daemon = True
            with self._threads_lock:
                self._threads.add(thread)
                self.most_sessions = max(self.most_sessions, len(self._threads))
            thread.start()
        finally:
            threading.stack_size(old)


def _dropper(server, loop, router):
    """What ends the sessions of a router's RPs as they begin to boot."""

    def drop(seats):
        for seat in seats:
            for conn in list(server._seated.get((router.hostname, seat), ())):
                loop.call_soon_threadsafe(conn.abort)

    return drop


def _bind(cls, *args):
    return lambda: cls(*args)


def _raise_file_limit(wanted):
    """Lets the process open ``wanted`` files if its hard limit allows."""
    try:
        import resource
    except ImportError:  # pragma: no cover - not on POSIX
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        target = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))


@contextlib.contextmanager
def serving(routers, host=HOST, keys_folder=None):
    """Serves ``routers`` (their dicts; see the module) from a thread of its
    own while the block runs and yields the ``Server``, whose ``ports``
    maps each hostname to the ports it got; stops it, every session
    ended, when the block is left.  ``keys_folder``: where its host keys
    are kept (default: new ones)."""
    loop = asyncio.new_event_loop()
    server = Server(routers, host, keys_folder)
    thread = threading.Thread(target=loop.run_forever, name="simulated-routers")
    thread.daemon = True
    thread.start()
    try:
        asyncio.run_coroutine_threadsafe(server.start(), loop).result(120)
        yield server
    finally:
        try:
            asyncio.run_coroutine_threadsafe(server.close(), loop).result(30)
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join(30)
            loop.close()


def serve(routers, host=HOST, ready=None, keys_folder=None):
    """Serves ``routers`` until SIGINT or SIGTERM; ``ready(server)`` is called
    once every port listens.  Returns when every session is ended.
    ``keys_folder``: where its host keys are kept (default: new ones)."""
    import signal

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = Server(routers, host, keys_folder)
    stop = asyncio.Event()

    # Plain handlers rather than the loop's: those hear of a signal through
    # the loop's wake-up pipe, which a thousand sessions ending at once can
    # fill, and a signal that finds it full is lost.
    def stopping(number, frame):
        loop.call_soon_threadsafe(stop.set)

    saved = dict((number, signal.signal(number, stopping)) for number in (signal.SIGINT, signal.SIGTERM))
    # A client that hangs up while its router still writes is no news here.
    logging.getLogger("asyncio").setLevel(logging.ERROR)
    try:
        loop.run_until_complete(server.start())
        if ready is not None:
            ready(server)
        loop.run_until_complete(stop.wait())
    finally:
        try:
            loop.run_until_complete(server.close())
        finally:
            for number, handler in saved.items():
                signal.signal(number, handler)
            asyncio.set_event_loop(None)
            loop.close()
