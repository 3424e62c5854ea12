"""The user's ssh configuration for one host, as the system ssh resolves it.

``ssh -G`` prints what the system ssh would use for a host (Include, Match
and patterns applied), so it is asked rather than the files read here.  Its
answers are kept per host, port, user and configuration file, and asked
again when a configuration file or folder changes.  Where no ssh program is
installed ``resolve`` returns None and the link keeps its own defaults.
"""
import os
import shutil
import subprocess
import threading

# How long ssh -G may take (a Match exec in the file runs a program).
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
                  "pubkeyauthentication"])

_cache = {}
_asking = {}
_defaults = {}
_lock = threading.Lock()


class ConfigError(ValueError):
    """The ssh configuration cannot be read: ssh's own words."""


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


def _ask(ssh, host, user, config):
    argv = [ssh, "-G"]
    if config:
        argv += ["-F", config]
    if user:
        argv += ["-l", user]
    # "--" keeps a host named like an option from being read as one.
    argv += ["--", host]
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=RESOLVE_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise ConfigError("ssh -G %s took more than %d s" % (host, RESOLVE_TIMEOUT))
    except OSError as error:
        raise ConfigError("ssh -G cannot run: %s" % (error.strerror or error))
    if done.returncode != 0:
        words = [line.strip() for line in done.stderr.decode("utf-8", "replace").splitlines()
                 if line.strip() and "terminating" not in line]
        raise ConfigError("ssh configuration: %s" % ("; ".join(words[:3]) or "ssh -G %s failed" % host))
    entries = {}
    for line in done.stdout.decode("utf-8", "replace").splitlines():
        key, _, value = line.partition(" ")
        key = key.lower()
        if key not in READ:
            continue
        if key in MULTIPLE:
            entries.setdefault(key, []).append(value)
        else:
            entries.setdefault(key, value)
    return entries


def defaults():
    """What ssh -G gives a host no configuration names: ssh's defaults
    ({} without ssh)."""
    ssh = program()
    if ssh is None:
        return {}
    with _lock:
        if ssh in _defaults:
            return _defaults[ssh]
    found = _ask(ssh, _UNSET_HOST, None, os.devnull)
    with _lock:
        _defaults[ssh] = found
    return found


def resolve(host, user=None, config=None):
    """ssh -G's entries (READ) for ``host`` as the system ssh would reach it
    with ``user`` given on its command line (None: as the file says),
    reading ``config`` in place of the user's and the system's files when
    given; None where no ssh is installed.  ConfigError for a file ssh
    refuses.  A port given on the command line changes nothing but the
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
    with asking:
        with _lock:
            found = _cache.get(key)
        if found is None:
            found = _ask(ssh, host, user, config)
            with _lock:
                _cache[key] = found
                _asking.pop(key, None)
    return found


def forget():
    """Drops the answers kept (they are asked again)."""
    with _lock:
        _cache.clear()
        _defaults.clear()
