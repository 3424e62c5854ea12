"""The SSH session a copy runs on: a second channel of the link's own
session on an in-process ``ssh://`` link, else a session of its own to the
device's SSH server, made in this process through the same route as the
link (host, port, user, options, jump hosts, host key policy): those of a
link started by the system ``ssh``, or the connection's ``files``
address ({"host", "port", "username"}) for any other link."""
import os
import shlex

from tarvix.bases.starts import ssh_login
from tarvix.core.errors import FileTransferError
from tarvix.eal.ssh import link as sshlink

NEEDS_SSH2 = "file transfers need ssh2-python (Python 3.8 or later): pip install ssh2-python"
# The ssh client's options that take an argument.
_WITH_ARGUMENT = set("BbcDEeFIiJLlmOoPpRSWw")
# Ciphers a session of its own prefers: the ones that cost the least
# processor a byte (the rest of the list follows).
FAST_CIPHERS = "^aes128-gcm@openssh.com,aes256-gcm@openssh.com"
# ssh -o entries -> the link's options.
_OPTIONS = {"stricthostkeychecking": "host_key_checking", "userknownhostsfile": "known_hosts",
            "identityfile": "key_file", "proxyjump": "jump", "proxycommand": "proxy_command",
            "identitiesonly": "identities_only", "serveraliveinterval": "keepalive",
            "connecttimeout": "connect_timeout", "ciphers": "ciphers", "macs": "macs", "kexalgorithms": "kex",
            "hostkeyalgorithms": "hostkeys"}
# The ciphers libssh2 runs at a fraction of the speed of AES-GCM (its own
# ChaCha20-Poly1305: over twice the processor a byte, measured): a copy
# of OWN_SESSION_SIZE bytes or more on a link that uses one goes on a
# session of its own, with FAST_CIPHERS first.
SLOW_CIPHERS = ("chacha20-poly1305@openssh.com",)
OWN_SESSION_SIZE = 8 << 20
_POLICIES = {"yes": "yes", "no": "off", "accept-new": "accept-new", "ask": "accept-new", "off": "off"}


class FileSession(object):
    """A libssh2 ``session`` (non-blocking) and its ``sock``; ``shared``:
    the link's own (closed with it), else this copy's (``close`` ends it);
    ``channel`` the SshChannel whose ``aborted`` tells an abort."""

    def __init__(self, channel, shared, link=None):
        self.channel = channel
        self.session, self.sock = channel.session, channel.sock
        self.shared, self.link = shared, link

    @property
    def sftp(self):
        """The session's SFTP channel once opened (one per session, kept
        with the link's own for the copies after)."""
        return getattr(self.channel, "files_sftp", None)

    @sftp.setter
    def sftp(self, channel):
        self.channel.files_sftp = channel

    # Set once the session stalled: nothing more is asked of it.
    broken = False

    @property
    def aborted(self):
        return self.broken or self.channel.aborted or self.channel.closed

    def close(self):
        if self.broken:
            # A stalled SFTP channel is not used again.
            self.channel.__dict__.pop("files_sftp", None)
        if not self.shared and self.link is not None:
            self.link.close()


if sshlink.AVAILABLE:
    class FileLink(sshlink.SshSpawn):
        """An in-process SSH session that logs in and opens no shell."""

        def _open_channel(self, steps):
            return None
else:  # pragma: no cover - Python 3.6 and 3.7
    FileLink = None


def ssh_command(start):
    """(user, host, port, options) of a start command that runs the
    system ssh client, the options as ``ssh={...}`` takes them; None for
    a start that does not."""
    try:
        words = shlex.split(start)
    except (ValueError, AttributeError):
        return None
    while words and (os.path.basename(words[0]) == "env" or "=" in words[0]):
        words.pop(0)
    if not words or os.path.basename(words[0]) != "ssh":
        return None
    user, port, options, host = None, None, {}, None
    rest = words[1:]
    while rest:
        word = rest.pop(0)
        if word.startswith("-") and len(word) > 1 and host is None:
            flag, value = word[1], word[2:]
            if flag in _WITH_ARGUMENT and not value and rest:
                value = rest.pop(0)
            port, user = _flag(flag, value, options, port, user)
        elif host is None:
            host = word
        else:
            break
    if host is None:
        return None
    if "@" in host:
        user, host = host.rsplit("@", 1)
    return user, host, port, options


def _flag(flag, value, options, port, user):
    if flag == "p":
        port = int(value)
    elif flag == "l":
        user = value
    elif flag == "i":
        options["key_file"] = value
    elif flag == "F":
        options["config"] = value
    elif flag == "J":
        options["jump"] = value
    elif flag == "o":
        key, _, setting = value.replace("=", " ", 1).partition(" ")
        key, setting = key.strip().lower(), setting.strip()
        if key == "port":
            port = int(setting)
        elif key == "user":
            user = setting
        elif key in _OPTIONS:
            options[_OPTIONS[key]] = _value(_OPTIONS[key], setting)
    return port, user


def _value(name, setting):
    if name == "host_key_checking":
        return _POLICIES.get(setting.lower(), "accept-new")
    if name == "known_hosts":
        return None if setting.split()[0] == "/dev/null" else setting.split()[0]
    if name in ("keepalive", "connect_timeout"):
        return int(setting) if setting.isdigit() else None
    if name == "identities_only":
        return setting.lower() == "yes"
    return setting


def address(con, handle):
    """(start URL, ssh options) of the session of its own for ``handle``."""
    start = handle.start
    given = getattr(con, "files", None)
    if given:
        url = "ssh://%s%s:%d" % ("%s@" % given["username"] if given.get("username") else "", given["host"],
                                  int(given.get("port") or 22))
        return url, dict(con.ssh or {})
    if sshlink.is_url(start):
        return start, dict(con.ssh or {})
    found = ssh_command(start)
    if found is None:
        raise FileTransferError("%s: this link (%s) reaches no SSH server for files: give the connection "
                                "files={\"host\": ..., \"port\": ..., \"username\": ...}"
                                % (con.hostname or "device", (start.split() or ["?"])[0]))
    user, host, port, options = found
    if options.get("known_hosts") is None and options.get("host_key_checking") == "off":
        options.pop("known_hosts", None)
    options = dict((k, v) for k, v in options.items() if v is not None)
    if ":" in host:
        host = "[%s]" % host
    return "ssh://%s%s%s" % ("%s@" % user if user else "", host, ":%d" % port if port else ""), options


def _slow_cipher(channel):
    from ssh2.session import LIBSSH2_METHOD_CRYPT_CS

    try:
        return channel.session.methods(LIBSSH2_METHOD_CRYPT_CS) in SLOW_CIPHERS
    except Exception:  # noqa: BLE001 - not told: taken as it is
        return False


def open_session(con, handle, log, size=0):
    """The FileSession for a copy of ``size`` bytes on ``handle``'s link."""
    spawn = handle.spawn
    if not sshlink.AVAILABLE:
        raise FileTransferError("%s: %s" % (con.hostname or "device", NEEDS_SSH2))
    if isinstance(spawn, sshlink.SshSpawn) and isinstance(spawn._child, sshlink.SshChannel) \
            and not getattr(con, "files", None):
        if size < OWN_SESSION_SIZE or not _slow_cipher(spawn._child):
            log.debug("%s: files on a channel of the link's own SSH session", con.hostname)
            return FileSession(spawn._child, shared=True)
        log.debug("%s: the link's cipher costs libssh2 much processor a byte: %d bytes go on a session of their own",
                  con.hostname, size)
    url, options = address(con, handle)
    options = sshlink.check_options(options, con.hostname)
    if options.get("ciphers") is None:
        options["ciphers"] = FAST_CIPHERS
    username, passwords = ssh_login(url, con.credentials, con.context.get("login_creds"))
    log.debug("%s: files on an SSH session of their own to %s", con.hostname, sshlink.masked_login(url))
    link = FileLink(url, handle.state_machine.device, timeout=con.connection_timeout, log=log, ssh=options,
                    username=username, passwords=passwords)
    return FileSession(link._child, shared=False, link=link)
