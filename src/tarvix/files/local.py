"""The local side of a copy: the file to send checked before anything
connects, the place a fetched file goes, and sums of local files."""
import hashlib
import os
import queue
import threading

from tarvix.core.errors import FileTransferError

# Bytes read or written at a time.
PIECE = 1 << 20
# The suffix of a file being written, before it takes its name.
PART = ".tarvix-part"


def readable(path):
    """The size of the local file ``path``; FileTransferError in one line
    for one that is missing, unreadable or not a plain file."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise FileTransferError("the local file is a path, not %r" % (path,))
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileTransferError("%s: no such local file" % path)
    if os.path.isdir(path):
        raise FileTransferError("%s: is a directory, not a file" % path)
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise FileTransferError("%s: cannot read it: %s" % (path, error.strerror or error))
    return os.path.getsize(path)


def writable(path, size=None):
    """Checks that a file can be written at ``path`` (its folder exists
    and takes files, and has room for ``size`` bytes); FileTransferError
    in one line where not."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise FileTransferError("%s: is a directory, not a file" % path)
    if not os.path.isdir(folder):
        raise FileTransferError("%s: no such local folder" % folder)
    if not os.access(folder, os.W_OK):
        raise FileTransferError("%s: cannot write there: Permission denied" % folder)
    if size is not None:
        stats = os.statvfs(folder)
        free = stats.f_bavail * stats.f_frsize
        if size > free:
            raise FileTransferError("%s: the file needs %d bytes, %s has %d bytes free" % (path, size, folder, free))


def part_name(path):
    """The name a file has while it is written: hidden, beside its own."""
    folder, name = os.path.split(path)
    return os.path.join(folder, "." + name + PART)


def hasher(algorithm):
    """A hashlib object for ``algorithm`` ("sha256", "md5"...);
    FileTransferError for one hashlib does not have."""
    try:
        return hashlib.new(algorithm)
    except (ValueError, TypeError):
        raise FileTransferError("no such checksum algorithm: %r" % (algorithm,))


class Summer(object):
    """A sum made on a thread of its own while the copy goes on (hashlib
    lets go of the interpreter's lock for a large piece): ``update`` hands
    it a piece, ``hexdigest`` waits for the last; ``close`` ends it
    unfinished."""

    def __init__(self, algorithm):
        self._digest = hasher(algorithm)
        self._pieces = queue.Queue(maxsize=8)
        self._thread = threading.Thread(target=self._run, name="tarvix-sum")
        self._thread.daemon = True
        self._thread.start()
        self._value = None

    def _run(self):
        for piece in iter(self._pieces.get, None):
            self._digest.update(piece)

    def update(self, piece):
        self._pieces.put(piece)

    def close(self):
        if self._thread.is_alive():
            self._pieces.put(None)
            self._thread.join()

    def hexdigest(self):
        if self._value is None:
            self.close()
            self._value = self._digest.hexdigest()
        return self._value


def checksum(path, algorithm, stop=None):
    """The sum of a local file, in lower-case hexadecimal (None where the
    threading.Event ``stop`` was set meanwhile)."""
    digest = hasher(algorithm)
    with open(path, "rb") as handle:
        for piece in iter(lambda: handle.read(PIECE), b""):
            if stop is not None and stop.is_set():
                return None
            digest.update(piece)
    return digest.hexdigest()


class FileSum(object):
    """The sum of the local file ``path``, made on a thread of its own
    while a program copies it: ``hexdigest`` waits for it, ``close`` ends
    it unfinished."""

    def __init__(self, path, algorithm):
        hasher(algorithm)
        self._stop = threading.Event()
        self._value = None
        self._error = None
        self._thread = threading.Thread(target=self._run, args=(path, algorithm), name="tarvix-sum")
        self._thread.daemon = True
        self._thread.start()

    def _run(self, path, algorithm):
        try:
            self._value = checksum(path, algorithm, self._stop)
        except OSError as error:
            self._error = error

    def close(self):
        self._stop.set()
        self._thread.join()

    def hexdigest(self):
        self._thread.join()
        if self._error is not None:
            raise FileTransferError("%s: cannot read it: %s" % (self._error.filename, self._error.strerror))
        return self._value
