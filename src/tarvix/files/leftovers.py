"""Partial files a failed copy could not remove at once (its session had
dropped): recorded per device (its hostname and its link's start) in a
file of this user's, and removed by the next copy to that device, which
says so."""
import hashlib
import json
import os
import threading

_LOCK = threading.Lock()


def _path():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tarvix", "partial-files.json")


def _read():
    try:
        with open(_path()) as handle:
            found = json.load(handle)
        return found if isinstance(found, dict) else {}
    except (OSError, ValueError):
        return {}


def _write(entries):
    path = _path()
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path + ".new", "w") as handle:
            json.dump(entries, handle, indent=1, sort_keys=True)
        os.replace(path + ".new", path)
    except OSError:
        pass


def key(hostname, start):
    """What a device's partial files are kept under: its name and a digest
    of its link's start command (which may hold a secret: never written)."""
    return "%s#%s" % (hostname, hashlib.sha256(str(start).encode("utf-8")).hexdigest()[:16])


def record(device, path):
    """Remembers that ``path`` on ``device`` is a partial file to remove."""
    with _LOCK:
        entries = _read()
        paths = entries.setdefault(device, [])
        if path not in paths:
            paths.append(path)
        _write(entries)


def pending(device):
    with _LOCK:
        return list(_read().get(device, []))


def done(device, path):
    with _LOCK:
        entries = _read()
        paths = [p for p in entries.get(device, []) if p != path]
        if paths:
            entries[device] = paths
        else:
            entries.pop(device, None)
        _write(entries)
