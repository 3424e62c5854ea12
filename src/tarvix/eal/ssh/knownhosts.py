"""The known hosts file, read and written as the system ssh does: the keys
it holds for a host (hashed names, ``[host]:port``, wildcards and negated
patterns, ``@revoked`` keys), a new host's key appended, and the host key
algorithms to ask a server for, those of the key types already recorded for
it first, so that one file serves this process and the system ssh alike.

The file is read as bytes: a line that is not UTF-8 (a comment, another
host's entry) matches no host and fails nothing.  A file that is missing
holds no keys; one that cannot be read or written is a ``KnownHostsError``
naming it."""
import base64
import errno
import hashlib
import hmac
import os
import re
import threading

try:
    import fcntl
except ImportError:  # pragma: no cover - not a POSIX system
    fcntl = None

DEFAULT_PORT = 22
# The signature algorithms of RSA host keys, recorded as "ssh-rsa".
_RSA_ALGORITHMS = frozenset(["rsa-sha2-512", "rsa-sha2-256", "ssh-rsa"])
_lock = threading.Lock()


class KnownHostsError(Exception):
    """The known hosts file cannot be read or written (the message names
    the file and the cause)."""


def host_name(host, port):
    """The host as the file names it: ``host``, or ``[host]:port`` off port 22."""
    return host if port == DEFAULT_PORT else "[%s]:%d" % (host, port)


def _pattern_matches(pattern, name):
    if pattern.startswith("|1|"):
        try:
            salt, digest = (base64.b64decode(part) for part in pattern[3:].split("|", 1))
        except (ValueError, TypeError):
            return False
        return hmac.compare_digest(hmac.new(salt, name.encode("utf-8"), hashlib.sha1).digest(), digest)
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


def known_keys(path, host, port):
    """The keys (type, base64) that the known hosts file holds for the
    host, and those of them that are revoked: ({type: set(keys)}, revoked)."""
    name = host_name(host, port)
    keys, revoked = {}, set()
    for line in _lines(path):
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        marker = fields.pop(0) if fields[0].startswith("@") else None
        if len(fields) < 3 or marker == "@cert-authority":
            continue
        patterns = fields[0].split(",")
        if any(p.startswith("!") and _pattern_matches(p[1:], name) for p in patterns):
            continue
        if not any(not p.startswith("!") and _pattern_matches(p, name) for p in patterns):
            continue
        if marker == "@revoked":
            revoked.add(fields[2])
        else:
            keys.setdefault(fields[1], set()).add(fields[2])
    return keys, revoked


def record_key(path, host, port, key_type, key):
    """Appends the host's key to the known hosts file (made, with its
    folder, when missing), on a line of its own: a last line without its
    line break gets one first."""
    entry = ("%s %s %s\n" % (host_name(host, port), key_type, key)).encode("utf-8")
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
