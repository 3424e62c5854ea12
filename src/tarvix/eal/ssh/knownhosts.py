"""The known hosts files, read and written as the system ssh does: the keys
they hold for a host (hashed names, ``[host]:port``, wildcards and negated
patterns, ``@revoked`` keys), the host's key checked against them, a new
host's key appended, and the host key algorithms to ask a server for, those
of the key types already recorded for it first, so that one file serves
this process and the system ssh alike.

An endpoint's files (``HostKeyFiles``) are those its ssh configuration
names: every UserKnownHostsFile (the first records new keys) and
GlobalKnownHostsFile, the name the keys are filed under (HostKeyAlias) and
whether new names are hashed (HashKnownHosts).

A file is read as bytes: a line that is not UTF-8 (a comment, another
host's entry) matches no host and fails nothing.  A file that is missing
holds no keys; one that cannot be read or written, and a key refused, are
a ``KnownHostsError`` naming the file."""
import base64
import errno
import hashlib
import hmac
import os
import re
import shlex
import threading

try:
    import fcntl
except ImportError:  # pragma: no cover - not a POSIX system
    fcntl = None

DEFAULT_PORT = 22
# ssh's own files where its configuration names none.
USER_FILES = ("~/.ssh/known_hosts", "~/.ssh/known_hosts2")
SYSTEM_FILES = ("/etc/ssh/ssh_known_hosts", "/etc/ssh/ssh_known_hosts2")
# The signature algorithms of RSA host keys, recorded as "ssh-rsa".
_RSA_ALGORITHMS = frozenset(["rsa-sha2-512", "rsa-sha2-256", "ssh-rsa"])
_lock = threading.Lock()


class KnownHostsError(Exception):
    """The known hosts file cannot be read or written (the message names
    the file and the cause)."""


def host_name(host, port):
    """The host as the file names it: ``host``, or ``[host]:port`` off port
    22 (``host`` as it is for a port of None: a HostKeyAlias)."""
    return host if port in (DEFAULT_PORT, None) else "[%s]:%d" % (host, port)


def _digest(salt, name):
    return hmac.new(salt, name.encode("utf-8"), hashlib.sha1).digest()


def hashed_name(name):
    """``name`` hashed as HashKnownHosts records it: |1|salt|HMAC-SHA1."""
    salt = os.urandom(20)
    return "|1|%s|%s" % (base64.b64encode(salt).decode("ascii"), base64.b64encode(_digest(salt, name)).decode("ascii"))


def _pattern_matches(pattern, name):
    if pattern.startswith("|1|"):
        try:
            salt, digest = (base64.b64decode(part) for part in pattern[3:].split("|", 1))
        except (ValueError, TypeError):
            return False
        return hmac.compare_digest(_digest(salt, name), digest)
    # Only * and ? are wildcards (the brackets of "[host]:port" are not).
    regex = re.escape(pattern.lower()).replace("\\*", ".*").replace("\\?", ".")
    return re.match("(?:%s)\\Z" % regex, name.lower()) is not None


def _lines(path):
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except (IOError, OSError) as error:
        if error.errno == errno.ENOENT:
            return []
        raise KnownHostsError("cannot read the known hosts file %s: %s" % (path, error.strerror or error))
    # Bytes that are not UTF-8 stay in their line, as bytes no host name has.
    return data.decode("utf-8", "surrogateescape").split("\n")


class Known(object):
    """What the files hold for one name: ``keys`` ({type: set(base64)}),
    ``revoked`` ({base64: (file, line)}) and ``where`` ({type: (file, line)
    of its first entry}); ``bare``: see HostKeyFiles.lookup."""

    def __init__(self, name):
        self.name = name
        self.keys, self.revoked, self.where = {}, {}, {}
        self.bare = None


def _entries(path):
    """(line number, marker, patterns, type, key) of each entry of the file."""
    for number, line in enumerate(_lines(path), 1):
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        marker = fields.pop(0) if fields[0].startswith("@") else None
        if len(fields) < 3 or marker == "@cert-authority":
            continue
        yield number, marker, fields[0].split(","), fields[1], fields[2]


def _matches(patterns, name):
    if any(p.startswith("!") and _pattern_matches(p[1:], name) for p in patterns):
        return False
    return any(not p.startswith("!") and _pattern_matches(p, name) for p in patterns)


def lookup(paths, *names):
    """What the files of ``paths`` hold for each of ``names``: a Known each."""
    found = [Known(name) for name in names]
    for path in paths:
        for number, marker, patterns, kind, key in _entries(path):
            for known in found:
                if not _matches(patterns, known.name):
                    continue
                where = (path, number)
                if marker == "@revoked":
                    known.revoked.setdefault(key, where)
                else:
                    known.keys.setdefault(kind, set()).add(key)
                    known.where.setdefault(kind, where)
    return found


def known_keys(path, host, port):
    """The keys (type, base64) that the known hosts file holds for the
    host, and those of them that are revoked: ({type: set(keys)}, revoked)."""
    found = lookup([path], host_name(host, port))[0]
    return found.keys, set(found.revoked)


def record_key(path, host, port, key_type, key, hashed=False):
    """Appends the host's key to the known hosts file (made, with its
    folder, when missing), on a line of its own, its name hashed when
    ``hashed``: a last line without its line break gets one first."""
    name = host_name(host, port)
    entry = ("%s %s %s\n" % (hashed_name(name) if hashed else name, key_type, key)).encode("utf-8")
    folder = os.path.dirname(path)
    with _lock:
        try:
            if folder and not os.path.isdir(folder):
                os.makedirs(folder, 0o700)
            with open(path, "a+b") as handle:
                if fcntl is not None:
                    # Other processes recording keys wait (released on close).
                    fcntl.flock(handle.fileno(), fcntl.LOCK_EX)
                end = handle.seek(0, os.SEEK_END)
                if end:
                    handle.seek(end - 1)
                    if handle.read(1) != b"\n":
                        entry = b"\n" + entry
                handle.write(entry)
        except (IOError, OSError) as error:
            raise KnownHostsError("cannot add the host key to the known hosts file %s: %s"
                                  % (path, error.strerror or error))


def key_type(algorithm):
    """The key type recorded for a host key algorithm."""
    return "ssh-rsa" if algorithm in _RSA_ALGORITHMS else algorithm


def preferred_algorithms(supported, known_types):
    """The host key algorithms ``supported`` offers (in its order), those
    whose key type the file holds for the host first, as the system ssh
    asks for them."""
    known = [algorithm for algorithm in supported if key_type(algorithm) in known_types]
    return known + [algorithm for algorithm in supported if algorithm not in known]


class HostKeyFiles(object):
    """The known hosts files of one endpoint, as the system ssh takes them:
    the ``user`` files (the first records new keys; none for
    UserKnownHostsFile none), the ``system`` files (read only), the name
    the host's keys are filed under (``alias``: HostKeyAlias, else
    [host]:port) and whether a new name is recorded ``hashed``."""

    def __init__(self, user, system=(), alias=None, hashed=False):
        self.user, self.system = list(user), list(system)
        self.alias, self.hashed = alias, hashed

    def key(self):
        return tuple(self.user), tuple(self.system), self.alias, self.hashed

    def lookup(self, host, port):
        """What the files hold for the host (a Known); its ``bare``: what
        they hold for the host without its port (off port 22, without an
        alias: ssh takes a key recorded there too, never as changed)."""
        name = self.alias or host_name(host, port)
        names = [name] if self.alias or port == DEFAULT_PORT else [name, host]
        found = lookup(self.user + self.system, *names)
        found[0].bare = found[1] if len(found) > 1 else None
        return found[0]

    def check(self, found, kind, key, policy):
        """The verdict on the host's ``key`` (base64) of type ``kind`` under
        ``policy`` ("yes" or "accept-new") and what the files hold for it
        (``found``, see lookup): None for a known key, the name recorded for
        a new one; KnownHostsError, naming the file and line of the key
        that stands in the way, for one refused."""
        name = found.name
        if key in found.revoked:
            raise KnownHostsError("Host key for %s is marked as revoked in %s:%d" % ((name,) + found.revoked[key]))
        if key in found.keys.get(kind, ()):
            return None
        if found.keys.get(kind):
            path, line = found.where[kind]
            raise KnownHostsError("REMOTE HOST IDENTIFICATION HAS CHANGED: the %s host key for %s is not the one "
                                  "recorded; offending %s key in %s:%d (remove with: ssh-keygen -f %s -R %s)"
                                  % (kind, name, kind, path, line, shlex.quote(path), shlex.quote(name)))
        if found.bare is not None and key in found.bare.keys.get(kind, ()):
            return None
        read = ", ".join(self.user + self.system) or "no file"
        if policy != "accept-new":
            raise KnownHostsError("No %s host key is known for %s in %s" % (kind, name, read))
        if not self.user:
            raise KnownHostsError("No %s host key is known for %s in %s, and none is recorded (UserKnownHostsFile "
                                  "none)" % (kind, name, read))
        record_key(self.user[0], name, None, kind, key, self.hashed)
        return name


def _paths(value, default):
    """The files of an ssh -G value (None: ``default``; "none": none).  ssh
    -G prints them apart by spaces, unquoted: a word that does not begin a
    path (/ or ~) continues an absolute path before it, which had a space."""
    if value is None:
        words = list(default)
    elif value.strip().lower() == "none":
        words = []
    else:
        words = []
        for word in value.split(" "):
            if words and words[-1].startswith("/") and not word.startswith(("/", "~")):
                words[-1] += " " + word
            elif word:
                words.append(word)
    return [os.path.expanduser(word) for word in words]


def configured(entries, given=None):
    """The HostKeyFiles of an endpoint: from its ssh -G ``entries`` (None:
    no configuration read, ssh's own files), with the file ``given`` (the
    link's known_hosts option) in place of the user's files."""
    entries = entries or {}
    user = [os.path.expanduser(given)] if given else _paths(entries.get("userknownhostsfile"), USER_FILES)
    return HostKeyFiles(user, _paths(entries.get("globalknownhostsfile"), SYSTEM_FILES),
                        entries.get("hostkeyalias"), entries.get("hashknownhosts") == "yes")
