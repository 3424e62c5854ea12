"""One configuration change of a device at a time within this process: the
replaces, merges and rollbacks of one device take turns, whichever
connection makes them.  A device is known by its links' start commands (an
``ssh://`` start by its host and port, whoever logs in)."""
import threading

from tarvix.eal import waits
from tarvix.eal.ssh import link as sshlink

_turns_lock = threading.Lock()
_turns = {}


def device_key(con):
    """What names a connection's device: its start commands, each ssh://
    start as its host and port."""
    key = []
    for handle in con.handles:
        start = handle.start
        if sshlink.is_url(start):
            _, host, port = sshlink.parse_url(start)
            start = "ssh://%s:%d" % (host.lower(), port)
        key.append(start)
    return tuple(key)


def turn(con):
    """The lock a change of the connection's device holds (re-entrant: a
    rollback is a replace; taken by a thread or by a call of tarvix.aio,
    see waits.TakingTurns)."""
    key = device_key(con)
    with _turns_lock:
        lock = _turns.get(key)
        if lock is None:
            lock = _turns[key] = waits.TakingTurns()
        return lock
