"""The way to one SSH device: the host, port, user, keys and algorithms of
the device and of every jump host before it, or the program whose standard
input and output are the connection (ProxyCommand).

What the options of the link (``ssh={...}``) say wins; what they leave out
comes from the user's ssh configuration as the system ssh resolves it
(``ssh -G``, see tarvix.eal.ssh.config), then from the link's defaults.
Options of this module:

- ``config``: True (the default: the user's and the system's files, as
  the system ssh reads them), False (none) or the path of a file read in
  their place.
- ``jump``: the jump hosts, first to last: "[user@]host[:port]" each, in a
  list or separated by commas (as ProxyJump), or {"host", "port", "user",
  "key_file", "passphrase", "password"} for a hop's own credentials (a
  password written into "user:password@host" is refused);
  [] or "none": none, whatever the configuration says.
- ``proxy_command``: a program (run by the shell, %h, %p, %r and %n
  replaced as ssh does, a name the shell would read refused as ssh refuses
  it) whose standard input and output are the connection; it wins over
  the configuration's ProxyJump.
- ``identities_only``: only the key files given (or configured) are tried,
  not the agent's keys.
- ``kex``, ``hostkeys``, ``ciphers``, ``macs``: see tarvix.eal.ssh.algos.

Their values are checked with the link's other options (tarvix.eal.ssh.options).
"""
import getpass
import hashlib
import os
import re
import socket

from tarvix.core.errors import LinkClosedError, LinkTimeoutError
from tarvix.eal.secrets import command_secrets, mask_command, remember
from tarvix.eal.ssh import algos as sshalgos, config as sshconfig
from tarvix.eal.ssh.knownhosts import configured as configured_host_keys
from tarvix.eal.ssh.options import hop_specs

DEFAULT_PORT = 22
# What the system ssh refuses in a host's or a user's name (they are put
# raw into a ProxyCommand, a shell's command line): what a shell reads, a
# blank or a control character in a host's name, a leading "-".
_BAD_HOST = re.compile(r"""^-|['`"$\\;&<>|(){}\s\x00-\x1f\x7f]""")
_BAD_USER = re.compile(r"""^-|['`";&<>|(){}\x00-\x1f\x7f]|\s-|\\$""")
# The entries of the configuration that keep passwords from being sent.
_NO_PASSWORDS = (("passwordauthentication", "PasswordAuthentication"),
                 ("kbdinteractiveauthentication", "KbdInteractiveAuthentication"))
# StrictHostKeyChecking (as written, or as ssh -G prints it: true, false)
# -> the link's host key policy; "ask" (no one to ask here) is the link's
# own default.
_POLICIES = {"yes": "yes", "true": "yes", "accept-new": "accept-new", "no": "off", "false": "off", "off": "off",
             "ask": "accept-new"}


class Endpoint(object):
    """One SSH server on the way: where, as whom, with which keys, under
    which host key policy and algorithms."""

    def __init__(self, name, host, port, user):
        self.name = name
        self.host, self.port, self.user = host, port, user
        self.key_files = []
        self.passphrase = ""
        self.passwords = []
        self.agent = None
        self.host_keys = configured_host_keys(None)
        self.policy = "accept-new"
        self.connect_timeout = None
        self.keepalive = 0
        self.algorithms = sshalgos.wanted({}, None)
        # The program whose standard input and output are the connection
        # to this endpoint (the first jump host's ProxyCommand), or None.
        self.proxy_command = None
        # The configuration's setting that keeps passwords from being sent
        # ("PasswordAuthentication no"), or None.
        self.no_passwords = None

    def key(self):
        """What makes two endpoints the same session to share."""
        return (self.host, self.port, self.user, tuple(self.key_files), self.agent, self.host_keys.key(), self.policy,
                tuple(self.passwords), tuple(tuple(self.algorithms[n]) for n in sorted(self.algorithms)),
                self.proxy_command)

    def address(self):
        return self.host, self.port

    def label(self):
        """The endpoint named as it was given, with its address where the
        two differ: "b1 (127.0.0.1:2201)"; else as the system ssh names
        it: "127.0.0.1 port 2201"."""
        if self.name == self.host:
            return "%s port %d" % (self.host, self.port)
        return "%s (%s:%d)" % (self.name, "[%s]" % self.host if ":" in self.host else self.host, self.port)

    def __str__(self):
        where = self.host if self.port == DEFAULT_PORT else "%s:%d" % (self.host, self.port)
        return "%s%s" % ("%s@" % self.user if self.user else "", where)


class Route(object):
    """``target``, the ``hops`` before it (first to last), or the
    ``proxy_command`` that carries the connection; ``config`` names the
    configuration read (None: none)."""

    def __init__(self, target, hops, proxy_command, config):
        self.target, self.hops, self.proxy_command, self.config = target, hops, proxy_command, config

    def describe(self):
        words = ["ssh configuration %s" % self.config if self.config else "no ssh configuration",
                 "%s is %s" % (self.target.name, self.target)]
        if self.hops:
            program = self.hops[0].proxy_command
            words.append("through %s%s" % ("the program %s, then " % mask_command(program) if program else "",
                                            ", ".join("%s (%s)" % (h.name, h) for h in self.hops)))
        elif self.proxy_command:
            words.append("through the program %s" % mask_command(self.proxy_command))
        return "; ".join(words)

    def programs(self):
        """The programs that carry the connection (a ProxyCommand)."""
        return [c for c in [self.proxy_command] + [h.proxy_command for h in self.hops[:1]] if c]


def system_args(options):
    """The system ssh's arguments for this module's options (a jump
    host's own key or password has none: its configuration gives them)."""
    argv = []
    config = options.get("config", True)
    if config is False or isinstance(config, str):
        argv += ["-F", os.devnull if config is False else os.path.expanduser(config)]
    hops = hop_specs(options.get("jump"))
    if hops is not None:
        specs = ["%s%s%s" % ("%s@" % h["user"] if h.get("user") else "", h["host"] if ":" not in h["host"]
                             else "[%s]" % h["host"], ":%d" % h["port"] if h.get("port") else "") for h in hops]
        argv += ["-o", "ProxyJump=%s" % (",".join(specs) or "none")]
    if options.get("proxy_command"):
        argv += ["-o", "ProxyCommand=%s" % options["proxy_command"]]
    if options.get("identities_only") is not None:
        argv += ["-o", "IdentitiesOnly=%s" % ("yes" if options["identities_only"] else "no")]
    for name, entry, _, _ in sshalgos.KINDS:
        if options.get(name) is not None:
            value = options[name] if isinstance(options[name], str) else ",".join(options[name])
            argv += ["-o", "%s=%s" % (sshalgos.SSH_NAMES[entry], value)]
    return argv


def _set_by_file(entries, base, key):
    """The configuration's value for ``key`` when it is not ssh's default."""
    value = (entries or {}).get(key)
    if value is None or value == (base or {}).get(key):
        return None
    return value


def expand_path(path, point, entries=None):
    """A file's path that the configuration gives for ``point`` (its
    ``entries``), with ~ and the tokens the system ssh replaces in it."""
    local, user = socket.gethostname(), point.user or ""
    tokens = {"%": "%", "h": point.host, "p": str(point.port), "r": user, "n": point.name,
              "k": (entries or {}).get("hostkeyalias") or point.name, "u": getpass.getuser(),
              "d": os.path.expanduser("~"), "i": str(os.getuid()), "l": local, "L": local.split(".")[0],
              "C": hashlib.sha1((local + point.host + str(point.port) + user).encode("utf-8")).hexdigest()}
    return os.path.expanduser(re.sub(r"%(.)", lambda m: tokens.get(m.group(1), m.group(0)), path))


def _keys(point, entries):
    """The configuration's key files that exist (ssh skips the others)."""
    files = [expand_path(f, point, entries) for f in (entries or {}).get("identityfile") or []]
    return [f for f in files if os.path.isfile(f)]


def _no_passwords(entries):
    """The configuration's setting that keeps passwords from being sent
    ("PasswordAuthentication no" or "KbdInteractiveAuthentication no"), or
    None."""
    return next(("%s no" % name for key, name in _NO_PASSWORDS if (entries or {}).get(key) == "no"), None)


def passwords_kept_back(host, user, options, deadline=None):
    """The setting of the configuration of ``options`` that keeps passwords
    from being sent to ``host`` (as ``user``) (see _no_passwords), or None,
    also where the configuration cannot be read (the system ssh then says
    why)."""
    try:
        path = _config_path(options or {})
        return _no_passwords(sshconfig.resolve(host, user, path or None, deadline) if path is not False else None)
    except sshconfig.ConfigError:
        return None


def _fill(point, entries, base, options):
    """Fills ``point`` from the options, else the configuration."""
    point.key_files = [os.path.expanduser(options["key_file"])] if options.get("key_file") else _keys(point, entries)
    point.no_passwords = _no_passwords(entries)
    point.passphrase = options.get("passphrase") or ""
    only = options.get("identities_only")
    if only is None:
        only = (entries or {}).get("identitiesonly") == "yes"
    point.agent = False if only else options.get("agent")
    point.host_keys = configured_host_keys(entries, options.get("known_hosts"))
    policy = options.get("host_key_checking", "accept-new")
    strict = _set_by_file(entries, base, "stricthostkeychecking")
    if policy == "accept-new" and strict in _POLICIES:
        policy = _POLICIES[strict]
    point.policy = policy
    timeout = (entries or {}).get("connecttimeout")
    point.connect_timeout = options.get("connect_timeout") or (int(timeout) if timeout and timeout.isdigit()
                                                                else None)
    alive = (entries or {}).get("serveraliveinterval")
    point.keepalive = options.get("keepalive") or (int(alive) if alive and alive.isdigit() else 0)
    point.algorithms = sshalgos.wanted(options, entries)


def _endpoint(name, host, port, user, options, path, fallback_user, deadline=None):
    """An endpoint resolved through the configuration (``path``: False for
    none) by ``deadline``, and its ssh -G entries."""
    entries = sshconfig.resolve(host, user, path or None, deadline) if path is not False else None
    base = sshconfig.defaults(deadline) if entries else None
    point = Endpoint(name, (entries or {}).get("hostname") or host,
                     port or int((entries or {}).get("port") or DEFAULT_PORT),
                     user or _set_by_file(entries, base, "user") or fallback_user or (entries or {}).get("user"))
    _fill(point, entries, base, options)
    return point, entries


def _config_path(options):
    config = options.get("config", True)
    if config is False:
        return False
    if config is True or config is None:
        return None
    path = os.path.expanduser(config)
    if sshconfig.program() is None:
        raise sshconfig.ConfigError("reading the ssh configuration %s needs the system ssh (ssh -G)" % path)
    return path


def check_names(point):
    """ConfigError, in one line, for a host's or user's name of ``point``
    that the system ssh refuses."""
    for kind, name, bad in (("hostname", point.name, _BAD_HOST), ("hostname", point.host, _BAD_HOST),
                            ("remote username", point.user, _BAD_USER)):
        if name and bad.search(name):
            raise sshconfig.ConfigError("%s %r contains invalid characters" % (kind, name))


def expand_command(command, point):
    """ProxyCommand with ssh's tokens replaced for ``point``; ConfigError
    for a name that the shell would read (see check_names)."""
    check_names(point)
    tokens = {"h": point.host, "p": str(point.port), "r": point.user or "", "n": point.name, "%": "%"}
    return re.sub(r"%(.)", lambda m: tokens.get(m.group(1), m.group(0)), command)


def _hop(given, options, path, deadline):
    """The endpoint of a jump host given as ``given`` (see hop_specs), and
    its ssh -G entries.  Its host key policy is its own (its configuration's,
    as the system ssh's -J keeps it whatever -o StrictHostKeyChecking says
    for the device), "yes" where the device's options ask for that."""
    hop_options = {"known_hosts": options.get("known_hosts"),
                   "agent": options.get("agent"), "key_file": given.get("key_file"),
                   "passphrase": given.get("passphrase")}
    point, entries = _endpoint(given["host"], given["host"], given.get("port"), given.get("user"), hop_options, path,
                               getpass.getuser(), deadline)
    if given.get("password") and not point.no_passwords:
        point.passwords = [given["password"]]
    if options.get("host_key_checking") == "yes":
        point.policy = "yes"
    return point, entries


def _hops(listed, target, options, path, deadline, read):
    """The jump hosts of ``listed``, first to last, and before them those
    the first one's own ProxyJump names (and so on), as the system ssh
    reaches them (the first of all through its ProxyCommand, if it has
    one); ConfigError, naming the hosts, for a loop: a host whose
    ProxyJump was read already (``read``: the hosts and users of those
    read before, the target's)."""
    hops, names, read = [], [target.name], set(read)
    while listed:
        names[:0] = [given["host"] for given in listed]
        key = (listed[0]["host"], listed[0].get("user"))
        if key in read:
            raise sshconfig.ConfigError("ssh configuration: the jump hosts' ProxyJump go round in a loop: %s"
                                        % " -> ".join(names))
        read.add(key)
        points = [_hop(given, options, path, deadline) for given in listed]
        hops[:0] = [point for point, _ in points]
        first, entries = points[0]
        listed = hop_specs((entries or {}).get("proxyjump"), read_by_ssh=True)
        command = (entries or {}).get("proxycommand")
        if not listed and command and command.strip().lower() != "none":
            first.proxy_command = expand_command(command, first)
    return hops


def route(host, port, user, options, username=None, passwords=(), deadline=None):
    """The Route to ``host`` (``port``, ``user``: as the start URL gives
    them, None when it does not) under the link's checked ``options``;
    ``username`` and ``passwords`` are the credentials' (the device's
    only).  ConfigError when the configuration cannot be read (its
    LookupTimeout when ssh -G does not answer by ``deadline``)."""
    path = _config_path(options)
    target, entries = _endpoint(host, host, port, user, options, path, username, deadline)
    target.passwords = [] if target.no_passwords else list(passwords)
    jump, command = options.get("jump"), options.get("proxy_command")
    if jump is not None:
        specs = hop_specs(jump)
    else:
        # The options' ProxyCommand wins over the file's ProxyJump (as the
        # system ssh's -o ProxyCommand does).
        specs = [] if command else hop_specs((entries or {}).get("proxyjump"), read_by_ssh=True)
    hops = _hops(specs or [], target, options, path, deadline, [(host, user)] if jump is None else [])
    if command is None and not hops:
        command = (entries or {}).get("proxycommand")
    if command and command.strip().lower() == "none":
        command = None
    if path is False:
        config = None
    else:
        config = path or ("of the user" if entries is not None else None)
    return Route(target, hops, expand_command(command, target) if command and not hops else None, config)


def kept_link_route(link, port_given, pending):
    """link_route's Route where the configuration's answers it takes are
    kept already (it then runs no program and waits for nothing), else
    None (nothing of the link changed)."""
    try:
        with sshconfig.kept_only():
            return link_route(link, port_given, pending)
    except sshconfig.NotKept:
        return None


def link_route(link, port_given, pending):
    """Resolves the way for an SshSpawn ``link`` (its URL's host, port when
    ``port_given``, and user; its options over the configuration) by the
    deadline of ``pending`` (an sshsession.Pending), and sets the link's
    user, key files and options from it."""
    user, host, port = link.url
    try:
        found = route(host, port if port_given else None, user, link.options, link.username, link.passwords,
                      pending.deadline)
    except sshconfig.LookupTimeout as error:
        raise LinkTimeoutError("%s: %s\ntimed out after %s s connecting" % (link.device, error, pending.limit))
    except sshconfig.ConfigError as error:
        # Whole: ssh's words name the file and line (link_message would cut
        # them to a device's last words).
        raise LinkClosedError("%s: %s\nlink not started" % (link.device, error))
    target = found.target
    link.username, link.key_files, link.passwords = target.user, target.key_files, target.passwords
    link.no_passwords = target.no_passwords
    # A password written into a program is masked as in a start command.
    for secret in set().union(*[command_secrets(program) for program in found.programs()]):
        remember(secret)
    link.options = dict(link.options, host_key_checking=target.policy, host_keys=target.host_keys,
                        agent=target.agent, keepalive=target.keepalive, connect_timeout=target.connect_timeout)
    link.log.debug("%s: %s", link.device, found.describe())
    return found
