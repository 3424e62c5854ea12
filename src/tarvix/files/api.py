"""The file methods of a ``Connection``: ``put_file``, ``get_file``,
``file_checksum``, ``free_space`` and ``upgrade`` (see tarvix.files)."""
import traceback

from tarvix.files import copy as files_copy, local as localfile
from tarvix.files.device import DeviceFiles


def _let_go(call, *args):
    """``call(*args)``; a failure's frames are cleared on its way out: they
    hold the copy's libssh2 objects, which must not outlive their session's
    socket (freed later, they would write to whatever took its number)."""
    try:
        return call(*args)
    except BaseException as error:
        seen = error
        while seen is not None:
            traceback.clear_frames(seen.__traceback__)
            seen = seen.__context__
        raise


class FilesApi(object):
    """Files to and from the device, for a ``Connection``."""

    # The address of the SSH server that takes the device's files, for a
    # link that is no SSH session ({"host", "port", "username"}); None:
    # the link's own.
    files = None

    def put_file(self, local, remote, protocol="auto", verify=True, overwrite=False, progress=None, timeout=None,
                 target=None):
        """Copies the local file ``local`` to ``remote`` on the device over
        SFTP or SCP (``protocol``: "auto" takes SFTP, else SCP, saying so in
        the log) and proves it there with the device's own checksum
        (``verify``); returns a ``FileTransfer``.

        A relative ``remote`` is relative to the login's home (a shell) or
        the default file system (a router).  The copy is skipped where the
        same file is there already; a different one is refused unless
        ``overwrite``; one that cannot fit fails before any byte moves.
        ``progress(sent, total)`` is called at least once a second; the copy
        fails when nothing moves for ``timeout`` seconds (60 by default).
        The file is written under a partial name and takes its own only once
        the device's sum matched; FileTransferError otherwise, the partial
        file removed."""
        with self._lock:
            return _let_go(files_copy.put, self, local, remote, protocol, verify, overwrite, progress, timeout,
                           target)

    def get_file(self, remote, local, protocol="auto", verify=True, overwrite=False, progress=None, timeout=None,
                 target=None):
        """Copies ``remote`` from the device to the local ``local`` (a
        folder: the file's own name in it), as ``put_file`` does the other
        way; returns a ``FileTransfer``."""
        with self._lock:
            return _let_go(files_copy.get, self, remote, local, protocol, verify, overwrite, progress, timeout,
                           target)

    def file_checksum(self, remote, algorithm="sha256", target=None):
        """The device's sum of ``remote`` by its own command (lower-case
        hexadecimal); FileTransferError where the file is not there or the
        device has no such command."""
        with self._lock:
            files = DeviceFiles(self)
            path = files.path(remote, target)
            found = files.checksum(path, files.algorithm(algorithm), 0, target)
            if found is None:
                raise files_copy.FileTransferError("%s: %s: No such file or directory" % (files.device, path))
            return found

    def free_space(self, path="", target=None):
        """The bytes free on the device where ``path`` is (a folder or a
        file system; "" the home or default file system); None where the
        platform has no command that tells."""
        with self._lock:
            files = DeviceFiles(self)
            if not files.commands.free_space:
                return None
            where = files.path(path, target) if path else (files.commands.default_dir or files.home(target))
            return files.free(where, target)

    def upgrade(self, image, expect_version=None, reload=True, timeout=3600, protocol="auto", progress=None):
        """Copies the image ``image`` (skipped where it is there already)
        and verifies it, makes it the image the device boots, saves,
        reloads and checks that the running version is ``expect_version``;
        returns an ``UpgradeReport`` of the steps (see tarvix.files.upgrade)."""
        from tarvix.files import upgrade

        localfile.readable(image)
        with self._lock:
            return _let_go(upgrade.upgrade, self, image, expect_version, reload, timeout, protocol, progress)

    def finish_upgrade(self, report, expect_version=None, timeout=3600):
        """The last steps of an ``upgrade(..., reload=False)`` whose
        ``report`` it returned: save, reload, the version check."""
        from tarvix.files import upgrade

        with self._lock:
            return _let_go(upgrade.finish, self, report, expect_version, timeout)
