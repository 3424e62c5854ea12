"""The process's limit of open descriptors (RLIMIT_NOFILE), raised as its
links need it.

Each link holds a descriptor (its socket, or its program's terminal), and a
process holding thousands of links needs more than the soft limit usually
gives (1024).  When a link's descriptor comes near the soft limit, the soft
limit is raised, up to the hard one; where even the hard limit is too low,
that is said once, in one line of the log.
"""
import logging
import threading

try:
    import resource
except ImportError:  # pragma: no cover - not on POSIX
    resource = None

# Descriptors kept free above the links': the files and pipes of lookups
# and programs run meanwhile.
HEADROOM = 64

_lock = threading.Lock()
_said = []


def limits():
    """(soft, hard) limits of open descriptors; None where unknown."""
    if resource is None:
        return None
    return resource.getrlimit(resource.RLIMIT_NOFILE)


def room_for(wanted, log=None):
    """Makes room for descriptors numbered up to ``wanted`` (a descriptor
    just opened, or how many a run will hold): the soft limit is raised when
    fewer than HEADROOM would be left above them, to twice what it was or
    enough, at most to the hard limit.  Returns the soft limit in force."""
    found = limits()
    if found is None:
        return None
    soft, hard = found
    needed = wanted + HEADROOM
    if soft == resource.RLIM_INFINITY or needed <= soft:
        return soft
    with _lock:
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft != resource.RLIM_INFINITY and needed > soft:
            target = max(2 * soft, needed)
            if hard != resource.RLIM_INFINITY:
                target = min(target, hard)
            if target > soft:
                resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
                soft = target
            if needed > soft and not _said:
                _said.append(True)
                (log or logging.getLogger("tarvix")).warning(
                    "open descriptors: %d wanted, but the hard limit is %d: links past it fail "
                    "(raise it: ulimit -Hn, or the service's LimitNOFILE)", wanted, hard)
    return soft
