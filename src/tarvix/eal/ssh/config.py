"""The user's ssh configuration for one host, as the system ssh resolves it.

``ssh -G`` prints what the system ssh would use for a host (Include, Match
and patterns applied), so it is asked rather than the files read here.  Its
answers are kept per host, port, user and configuration file, and asked
again when a file it read (an included one too) or the folder of an
included file changes.  Where no ssh program is installed ``resolve``
returns None and the link keeps its own defaults.

Where the files ssh reads tell no host from another (no Host pattern but
``*``, no Match, no %-token, no canonical names), every host gets the same
settings but its name: ssh -G is then asked once, for a name no host has,
and each host's answer is that one with the host's name (as ssh writes it,
in lower case), instead of one ssh -G a host (some 5 ms of CPU each).
"""
import errno
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from tarvix.eal.secrets import child_env

# How long ssh -G may take (a Match exec in the file runs a program) when
# no deadline is given.
RESOLVE_TIMEOUT = 10
# A name no configuration gives anything for: what ssh -G prints for it
# (with no file) is ssh's own default for everything.
_UNSET_HOST = "tarvix-default.invalid"
# A name no host has: its answer stands for every host's where the files
# tell no host from another.
_ANY_HOST = "tarvix-any-host.invalid"
_KEYWORD = re.compile(r"^\s*(\w+)(?:\s*=\s*|\s+)(.*?)\s*$")
# The entries of ssh -G that a link reads; several values for the
# repeatable ones.
MULTIPLE = frozenset(["identityfile"])
READ = frozenset(["hostname", "user", "port", "identityfile", "identitiesonly", "proxyjump", "proxycommand",
                  "stricthostkeychecking", "userknownhostsfile", "connecttimeout", "serveraliveinterval",
                  "kexalgorithms", "hostkeyalgorithms", "ciphers", "macs", "passwordauthentication",
                  "kbdinteractiveauthentication", "pubkeyauthentication", "globalknownhostsfile", "hostkeyalias",
                  "hashknownhosts", "canonicalizehostname"])
# What ssh -v says of the files it reads, and of an Include that found none.
_READ_FILE = re.compile(r"^debug1: Reading configuration data (.+?)\r?$", re.MULTILINE)
_NO_FILES = re.compile(r"^debug1: .* line \d+: include (.+) matched no files\r?$", re.MULTILINE)

_cache = {}
_asking = {}
_defaults = {}
_lock = threading.Lock()
# Set on a thread while it takes only the answers kept (see kept_only).
_only_kept = threading.local()


class ConfigError(ValueError):
    """The ssh configuration cannot be read: ssh's own words."""


class LookupTimeout(ConfigError):
    """ssh -G did not answer by the deadline."""


class NotKept(Exception):
    """Under kept_only: an answer that ssh -G would have to give."""


class kept_only(object):
    """``with kept_only():`` the lookups of this thread take the answers
    kept and raise NotKept where ssh -G would have to be asked (or another
    thread is asking it): what runs within never waits for a program."""

    def __enter__(self):
        _only_kept.on = True
        return self

    def __exit__(self, *exc):
        _only_kept.on = False


def _left(deadline):
    """Seconds to the deadline (time.monotonic()), RESOLVE_TIMEOUT without one."""
    return RESOLVE_TIMEOUT if deadline is None else deadline - time.monotonic()


def _run(argv, host, deadline):
    """ssh -G's exit status, output and errors; LookupTimeout past the
    deadline (ssh and what it started, a Match exec's program, ended).
    They are written to files, not pipes: a program that a Match exec
    leaves running does not hold the answer back by keeping them open.
    Its environment is the process's without tarvix's passwords."""
    wait = _left(deadline)
    if wait > 0:
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                     start_new_session=True, env=child_env())
            try:
                child.wait(wait)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(child.pid, signal.SIGKILL)
                except OSError:  # ended meanwhile
                    pass
                child.wait()
            else:
                out.seek(0)
                err.seek(0)
                return child.returncode, out.read(), err.read()
    raise _late(host, deadline)


def _late(host, deadline):
    return LookupTimeout("ssh -G %s (the ssh configuration's lookup) did not end within %s"
                         % (host, "%d s" % RESOLVE_TIMEOUT if deadline is None else "the connect timeout"))


def program():
    """The system ssh, or None."""
    return shutil.which("ssh")


def _watched(config, said):
    """The files and folders whose change may change an answer: the
    configuration's own, each file that ssh -v ``said`` it read, and the
    folders of those it included or looked for (a file may appear there)."""
    if config:
        paths = [config]
    else:
        paths = [os.path.expanduser("~/.ssh/config"), os.path.expanduser("~/.ssh"), "/etc/ssh/ssh_config",
                 "/etc/ssh/ssh_config.d"]
    included = [path for path in _READ_FILE.findall(said) if path not in paths and path != os.devnull]
    looked_for = [os.path.expanduser(pattern) for pattern in _NO_FILES.findall(said)]
    return tuple(sorted(set(paths + included + [os.path.dirname(p) for p in included + looked_for])))


def _files(paths):
    """The state of ``paths`` (a change of it may change an answer)."""
    state = []
    for path in paths:
        try:
            info = os.stat(path)
        except OSError:
            state.append((path, None))
        else:
            state.append((path, info.st_mtime_ns, info.st_size, info.st_ino))
    return tuple(state)


def _ask(ssh, host, user, config, deadline=None, named=None):
    """ssh -G's entries, the files and folders they depend on, and the
    files ssh read; its errors name the host ``named`` (default ``host``)."""
    argv = [ssh, "-G", "-T", "-v"]
    if config:
        argv += ["-F", config]
    if user:
        argv += ["-l", user]
    # "--" keeps a host named like an option from being read as one.
    argv += ["--", host]
    try:
        status, out, err = _run(argv, named or host, deadline)
    except OSError as error:
        raise ConfigError("ssh -G cannot run: %s" % (error.strerror or error))
    said = err.decode("utf-8", "replace")
    if status != 0:
        words = [line.strip() for line in said.splitlines() if line.strip() and "terminating" not in line
                 and not line.startswith(("debug", "OpenSSH_"))]
        raise ConfigError("ssh configuration: %s" % ("; ".join(words[:3]) or "ssh -G %s failed" % (named or host)))
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
    return entries, _watched(config, said), _READ_FILE.findall(said)


def _alike(read, entries, missing_ok=False):
    """Whether the files ssh ``read`` give every host the same settings
    but its name: no Host pattern but *, no Match, no %-token (a host's
    name or hash written into a value), no canonical names.  A file that
    cannot be read is taken for one that tells hosts apart, unless
    ``missing_ok`` and it does not exist."""
    if entries.get("canonicalizehostname", "false") not in ("false", "no"):
        return False
    if any(_ANY_HOST in str(value) for key, value in entries.items() if key != "hostname"):
        return False
    for path in read:
        if path == os.devnull:
            continue
        try:
            with open(path, "rb") as handle:
                lines = handle.read().decode("utf-8", "replace").splitlines()
        except (IOError, OSError) as error:
            if missing_ok and error.errno == errno.ENOENT:
                continue
            return False
        for line in lines:
            found = _KEYWORD.match(line)
            if not found or found.group(1).startswith("#"):
                continue
            keyword, value = found.group(1).lower(), found.group(2)
            if keyword == "match" or (keyword == "host" and value != "*") or "%" in line:
                return False
    return True


def _general(ssh, host, user, config, deadline):
    """The answer for a host no file names apart, or False where the files
    tell hosts apart; the files and folders it depends on.  ssh -G is not
    asked where the first files it reads tell hosts apart already (the
    answer is then a host's own: it would be asked twice)."""
    first = (config,) if config else (os.path.expanduser("~/.ssh/config"), "/etc/ssh/ssh_config")
    if not _alike(first, {}, missing_ok=True):
        return False, first
    entries, watched, read = _ask(ssh, _ANY_HOST, user, config, deadline, host)
    return (entries if _alike(read, entries) else False), watched


def _of_host(general, host):
    """``general`` (see _general) as ssh -G gives it for ``host``: its
    name, in lower case as ssh writes it, where the files give none."""
    entries = dict(general)
    if entries.get("hostname") == _ANY_HOST:
        entries["hostname"] = host.lower()
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
    if getattr(_only_kept, "on", False):
        raise NotKept()
    found = _ask(ssh, _UNSET_HOST, None, os.devnull, deadline)[0]
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
    if all(" " < character < "\x7f" for character in host):
        general = _asked((ssh, None, user, config), lambda: _general(ssh, host, user, config, deadline), host, deadline)
        if general is not False:
            return _of_host(general, host)
    return _asked((ssh, host, user, config), lambda: _ask(ssh, host, user, config, deadline)[:2], host, deadline)


def _asked(key, ask, host, deadline):
    """The answer kept for ``key``, else the first of ``ask()`` (the
    answer, the files and folders it depends on), kept.  Threads that want
    the same answer at once wait for one ssh -G."""
    with _lock:
        asking = _asking.setdefault(key, threading.Lock())
    found = _kept(key)
    if found is not None:
        return found
    if getattr(_only_kept, "on", False):
        raise NotKept()
    if not asking.acquire(timeout=max(0, _left(deadline))):
        raise _late(host, deadline)
    try:
        found = _kept(key)
        if found is None:
            found, watched = ask()
            with _lock:
                _cache[key] = (watched, _files(watched), found)
    finally:
        asking.release()
    return found


def _kept(key):
    """The answer kept for ``key`` while none of the files it depends on
    changed, else None."""
    with _lock:
        kept = _cache.get(key)
    if kept is None or _files(kept[0]) != kept[1]:
        return None
    return kept[2]


def forget():
    """Drops the answers kept (they are asked again)."""
    with _lock:
        _cache.clear()
        _defaults.clear()
