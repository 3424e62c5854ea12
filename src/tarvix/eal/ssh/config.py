"""The user's ssh configuration for one host, as the system ssh resolves it.

``ssh -G`` prints what the system ssh would use for a host (Include, Match
and patterns applied), so it is asked rather than the files read here.  Its
answers are kept per host, port, user and configuration file, and asked
again when a configuration file or folder changes.  Where no ssh program is
installed ``resolve`` returns None and the link keeps its own defaults.
"""
import os
import shutil
import signal
import subprocess
import threading
import time

# How long ssh -G may take (a Match exec in the file runs a program) when
# no deadline is given.
RESOLVE_TIMEOUT = 10
# A name no configuration gives anything for: what ssh -G prints for it
# (with no file) is ssh's own default for everything.
_UNSET_HOST = "tarvix-default.invalid"
# The entries of ssh -G that a link reads; several values for the
# repeatable ones.
MULTIPLE = frozenset(["identityfile"])
READ = frozenset(["hostname", "user", "port", "identityfile", "identitiesonly", "proxyjump", "proxycommand",
                  "stricthostkeychecking", "userknownhostsfile", "connecttimeout", "serveraliveinterval",
                  "kexalgorithms", "hostkeyalgorithms", "ciphers", "macs", "passwordauthentication",
                  "pubkeyauthentication", "globalknownhostsfile", "hostkeyalias", "hashknownhosts"])

_cache = {}
_asking = {}
_defaults = {}
_lock = threading.Lock()


class ConfigError(ValueError):
    """The ssh configuration cannot be read: ssh's own words."""


class LookupTimeout(ConfigError):
    """ssh -G did not answer by the deadline."""


def _left(deadline):
    """Seconds to the deadline (time.monotonic()), RESOLVE_TIMEOUT without one."""
    return RESOLVE_TIMEOUT if deadline is None else deadline - time.monotonic()


def _run(argv, host, deadline):
    """ssh -G's exit status, output and errors; LookupTimeout past the
    deadline (ssh and what it started, a Match exec's program, ended)."""
    wait = _left(deadline)
    if wait > 0:
        child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 start_new_session=True)
        try:
            out, err = child.communicate(timeout=wait)
            return child.returncode, out, err
        except subprocess.TimeoutExpired:
            try:
                os.killpg(child.pid, signal.SIGKILL)
            except OSError:  # ended meanwhile
                pass
            child.communicate()
    raise _late(host, deadline)


def _late(host, deadline):
    return LookupTimeout("ssh -G %s (the ssh configuration's lookup) did not end within %s"
                         % (host, "%d s" % RESOLVE_TIMEOUT if deadline is None else "the connect timeout"))


def program():
    """The system ssh, or None."""
    return shutil.which("ssh")


def _files(config):
    """The files and folders whose change may change an answer."""
    if config:
        paths = [config]
    else:
        paths = [os.path.expanduser("~/.ssh/config"), os.path.expanduser("~/.ssh"), "/etc/ssh/ssh_config",
                 "/etc/ssh/ssh_config.d"]
    state = []
    for path in paths:
        try:
            info = os.stat(path)
        except OSError:
            state.append((path, None))
        else:
            state.append((path, info.st_mtime_ns, info.st_size, info.st_ino))
    return tuple(state)


def _ask(ssh, host, user, config, deadline=None):
    argv = [ssh, "-G"]
    if config:
        argv += ["-F", config]
    if user:
        argv += ["-l", user]
    # "--" keeps a host named like an option from being read as one.
    argv += ["--", host]
    try:
        status, out, err = _run(argv, host, deadline)
    except OSError as error:
        raise ConfigError("ssh -G cannot run: %s" % (error.strerror or error))
    if status != 0:
        words = [line.strip() for line in err.decode("utf-8", "replace").splitlines()
                 if line.strip() and "terminating" not in line]
        raise ConfigError("ssh configuration: %s" % ("; ".join(words[:3]) or "ssh -G %s failed" % host))
    entries = {}
    for line in out.decode("utf-8", "replace").splitlines():
        key, _, value = line.partition(" ")
        key = key.lower()
        if key not in READ:
            continue
        if key in MULTIPLE:
            entries.setdefault(key, []).append(value)
        else:
            entries.setdefault(key, value)
    return entries


def defaults(deadline=None):
    """What ssh -G gives a host no configuration names: ssh's defaults
    ({} without ssh)."""
    ssh = program()
    if ssh is None:
        return {}
    with _lock:
        if ssh in _defaults:
            return _defaults[ssh]
    found = _ask(ssh, _UNSET_HOST, None, os.devnull, deadline)
    with _lock:
        _defaults[ssh] = found
    return found


def resolve(host, user=None, config=None, deadline=None):
    """ssh -G's entries (READ) for ``host`` as the system ssh would reach it
    with ``user`` given on its command line (None: as the file says),
    reading ``config`` in place of the user's and the system's files when
    given; None where no ssh is installed.  ConfigError for a file ssh
    refuses, LookupTimeout when no answer comes by ``deadline``
    (time.monotonic(); None: RESOLVE_TIMEOUT seconds).  A port given on the command line changes nothing but the
    port (no Host or Match criterion reads it), so it is not asked: the
    devices of one address share one answer."""
    ssh = program()
    if ssh is None:
        return None
    key = (ssh, host, user, config, _files(config))
    with _lock:
        found = _cache.get(key)
        asking = _asking.setdefault(key, threading.Lock())
    if found is not None:
        return found
    # Threads that want the same answer at once wait for one ssh -G.
    if not asking.acquire(timeout=max(0, _left(deadline))):
        raise _late(host, deadline)
    try:
        with _lock:
            found = _cache.get(key)
        if found is None:
            found = _ask(ssh, host, user, config, deadline)
            with _lock:
                _cache[key] = found
                _asking.pop(key, None)
    finally:
        asking.release()
    return found


def forget():
    """Drops the answers kept (they are asked again)."""
    with _lock:
        _cache.clear()
        _defaults.clear()
