"""A simulated router's file systems: one per RP ("flash:" for the RP's
own, "stby-flash:" for its peer's on a dual-RP router), each a folder of
this process's with a size (``--flash-size``) and the free space left in
it, served over SFTP and SCP by the SSH server (tarvix.simulator.server),
with the knobs that make a copy fail: ``--stall-after N`` (stop answering
once N bytes of a file arrived), ``--drop-after N`` (end the session
there, once), ``--corrupt-byte N`` (flip the file's byte N as it arrives).

The image the router boots is named by its boot variable ("boot system
flash:NAME" in the saved configuration); ``tarvix-2.1.bin`` boots as
version 2.1 (a name without a version as 1.0)."""
import atexit
import os
import re
import shutil
import tempfile

DEFAULT_SIZE = 256 * 1024 * 1024
DEFAULT_VERSION = "1.0"
_VERSION = re.compile(r"-(\d+(?:\.\d+)+)\.bin$")
_BOOT = re.compile(r"^boot system (\S+)$")


class Flash(object):
    """One file system: ``folder`` (made here, removed with the process
    where not given) and ``size`` in bytes."""

    def __init__(self, size=DEFAULT_SIZE, folder=None):
        self.size = size
        if folder is None:
            folder = tempfile.mkdtemp(prefix="tarvix-flash-")
            atexit.register(shutil.rmtree, folder, True)
        self.folder = folder
        # Whether --drop-after has ended a session (it does so once).
        self.dropped = False

    def local(self, name):
        """The local path of a name on this file system (its own root:
        nothing above it reached); None for one that leaves it."""
        name = name.replace("\\", "/").lstrip("/")
        path = os.path.normpath(os.path.join(self.folder, name))
        if path != self.folder and not path.startswith(self.folder + os.sep):
            return None
        return path

    def files(self):
        found = []
        for name in sorted(os.listdir(self.folder)):
            path = os.path.join(self.folder, name)
            if os.path.isfile(path):
                found.append((name, os.path.getsize(path)))
        return found

    def used(self):
        return sum(size for _, size in self.files())

    def free(self):
        return max(0, self.size - self.used())


def flash_size(args):
    return getattr(args, "flash_size", None) or DEFAULT_SIZE


def version_of(image):
    """The version an image's name says it boots as."""
    found = _VERSION.search(image or "")
    return found.group(1) if found else DEFAULT_VERSION


def boot_image(lines):
    """The image the configuration ``lines`` boot (None: none named)."""
    for line in lines:
        found = _BOOT.match(line.strip())
        if found:
            return found.group(1)
    return None


class Fault(object):
    """The knobs of the console's arguments, for one file arriving."""

    def __init__(self, args):
        self.stall_after = getattr(args, "stall_after", None)
        self.drop_after = getattr(args, "drop_after", None)
        self.corrupt_byte = getattr(args, "corrupt_byte", None)

    def corrupt(self, offset, data):
        spot = self.corrupt_byte
        if spot is None or not offset <= spot < offset + len(data):
            return data
        data = bytearray(data)
        data[spot - offset] ^= 0xFF
        return bytes(data)

    def stalls(self, offset, data):
        return self.stall_after is not None and offset + len(data) > self.stall_after

    def drops(self, offset, data):
        return self.drop_after is not None and offset + len(data) > self.drop_after
