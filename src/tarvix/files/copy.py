"""One put or get from start to end, on a connected ``Connection``.

Before: the local file is checked, the device's copy summed (the same
file there: skipped; a different one: refused unless ``overwrite``), its
free space checked.  During: the file goes to a partial name beside its
own over SFTP (or SCP, for ``protocol="auto"`` where the server has no
SFTP), summed as it goes.  After: the device's sum of the partial file is
compared with the local one and only then does it take its name; on any
failure or interrupt the partial file is removed (or, where its session
had dropped, recorded and removed by the next copy)."""
import logging
import os
import re
import time

from tarvix.core.errors import CommandError, FileTransferError, LinkError
from tarvix.files import leftovers, local as localfile, programs
from tarvix.files.device import DeviceFiles
from tarvix.files.report import FileTransfer
from tarvix.eal.ssh import link as sshlink
from tarvix.files.sessions import NEEDS_SSH2, open_session
from tarvix.files.transport import Transport, Watch

PROTOCOLS = ("auto", "sftp", "scp")
# Seconds without progress after which a copy fails, by default.
STALL = 60
log = logging.getLogger("tarvix.files")


def _check_protocol(protocol):
    if protocol not in PROTOCOLS:
        raise ValueError("protocol is one of %s, not %r" % (", ".join(PROTOCOLS), protocol))


class Copy(object):
    """One copy on ``con`` (its lock held by the caller)."""

    def __init__(self, con, protocol, progress, timeout, target=None):
        _check_protocol(protocol)
        if timeout is not None and not (isinstance(timeout, (int, float)) and timeout > 0):
            raise ValueError("timeout is a number of seconds above 0, not %r" % (timeout,))
        if not sshlink.AVAILABLE:
            raise FileTransferError("%s: %s" % (con.hostname or "device", NEEDS_SSH2))
        self.con, self.protocol, self.progress = con, protocol, progress
        self.stall = timeout or STALL
        self.target = target
        self.device = con.hostname or "device"
        self.files = DeviceFiles(con)
        self.session = None
        self.transport = None
        # What the server said to SFTP where "auto" fell back to SCP.
        self.no_sftp = None
        # The sftp program that carried the put (tarvix.files.programs).
        self.program = None

    # -- the session -------------------------------------------------------

    def open(self, watch, size=0):
        handle = self.con._handle(self.target)
        # The connection's abort ends the copy too (as it ends a reload).
        self.con._aborted = False
        self.session = open_session(self.con, handle, log, size)
        self.transport = Transport(self.session, watch, self.device, lambda: self.con._aborted)
        spawn = handle.spawn
        if not self.session.shared and hasattr(getattr(spawn, "_child", None), "session"):
            watch.keepalive = lambda: _keepalive(spawn)
        return self.transport

    def close(self):
        if self.session is not None:
            self.session.close()
            self.session = None

    def chosen(self, transport):
        """"sftp" or "scp": the protocol asked for, or the one the server
        has; FileTransferError where it has neither."""
        if self.protocol == "scp" or self.no_sftp is not None:
            return "scp"
        try:
            transport.sftp()
            return "sftp"
        except FileTransferError:
            raise
        except Exception as error:  # noqa: BLE001 - libssh2's words, whatever the kind
            words = transport.words(error)
            if self.protocol == "sftp":
                raise FileTransferError("%s: the SSH server offers no SFTP: %s" % (self.device, words))
            log.info("%s: the SSH server offers no SFTP (%s); copying over SCP", self.device, words)
            self.no_sftp = words
            return "scp"

    def link_back(self):
        """Brings the CLI session back where it ended during the copy."""
        handle = self.con._handle(self.target)
        if self.transport is not None:
            self.transport.check()
        elif self.con._aborted:
            raise FileTransferError("%s: the copy was aborted" % self.device)
        if handle.spawn is not None and handle.spawn.isalive():
            return
        log.warning("%s: the CLI session ended during the copy; connecting again", self.device)
        self.con._close_links()
        self.con._connect()

    # -- the partial file ---------------------------------------------------

    def leftover_key(self):
        return leftovers.key(self.device, self.con._handle(self.target).start)

    def clean_leftovers(self):
        for path in leftovers.pending(self.leftover_key()):
            try:
                self.files.delete(path)
            except (CommandError, LinkError) as error:
                log.warning("%s: the partial file %s still cannot be removed: %s", self.device, path, error)
                continue
            leftovers.done(self.leftover_key(), path)
            log.warning("%s: removed the partial file %s that an interrupted copy left", self.device, path)

    def remove_part(self, part, transfer_part):
        """Removes the partial file after a failure: over the file session
        where it still works, else the CLI, else recorded for later."""
        if self.transport is not None and not self.session.aborted:
            # (Also after the connection's abort: this session is still up.)
            self.transport.cancelled = lambda: False
            self.transport.watch.last_move, self.transport.watch.stall = time.monotonic(), 5
            try:
                self.transport.sftp_remove(transfer_part)
                return
            except Exception:  # noqa: BLE001 - the CLI is tried next
                pass
        try:
            handle = self.con._handle(self.target)
            if handle.spawn is not None and handle.spawn.isalive() and self.files.delete(part):
                return
        except CommandError as error:
            if self.files.commands.missing and re.search(self.files.commands.missing, error.output or str(error)):
                return
        except Exception:  # noqa: BLE001 - the sftp program is tried next
            pass
        if self.program is not None:
            try:
                self.program.remove(transfer_part)
                return
            except Exception:  # noqa: BLE001 - recorded for the next copy
                pass
        leftovers.record(self.leftover_key(), part)
        log.warning("%s: could not remove the partial file %s now: the next copy to this device removes it",
                    self.device, part)


def _keepalive(spawn):
    try:
        spawn._child.session.keepalive_send()
    except Exception:  # noqa: BLE001 - the link's own reads tell its end
        pass


def _fits(copy, path, size):
    free = copy.files.free(copy.files.folder(path), target=copy.target)
    if free is None:
        log.debug("%s: the %s platform cannot tell its free space; not checked", copy.device,
                  copy.con.dialect.name)
    elif size > free:
        raise FileTransferError("%s: %s needs %d bytes, the device has %d bytes free on %s"
                                % (copy.device, os.path.basename(path), size, free, copy.files.folder(path)))


def put(con, local, remote, protocol="auto", verify=True, overwrite=False, progress=None, timeout=None, target=None):
    """Copies ``local`` to ``remote`` on the device; a FileTransfer."""
    size = localfile.readable(local)
    copy = Copy(con, protocol, progress, timeout, target)
    path = copy.files.path(remote, target)
    algorithm = copy.files.algorithm(None) if verify else None
    report = FileTransfer("put", os.fspath(local), path, size=size)
    copy.clean_leftovers()
    local_sum = None
    if algorithm:
        there = copy.files.checksum(path, algorithm, size, target)
        if there is not None:
            local_sum = localfile.checksum(local, algorithm)
            if there == local_sum:
                report.skipped, report.checksum, report.verified = True, (algorithm, local_sum), True
                log.info("%s: %s is there already, the same file (%s); not copied", copy.device, path, algorithm)
                return report
            if not overwrite:
                raise FileTransferError("%s: a different %s is there already (%s %s; the local file's %s): "
                                        "overwrite=True replaces it" % (copy.device, path, algorithm, there,
                                                                        local_sum))
    _fits(copy, path, size)
    try:
        _send(copy, report, local, path, size, algorithm, local_sum, overwrite)
    finally:
        copy.close()
    return report


def _send(copy, report, local, path, size, algorithm, local_sum, overwrite):
    part = copy.files.part(path)
    transfer_part, transfer_path = copy.files.transfer(part), copy.files.transfer(path)
    watch = Watch(size, copy.progress, copy.stall)
    digest = None
    try:
        program = programs.choose(copy, size, bool(algorithm), overwrite)
        if program is not None:
            # The program reads the file itself: its sum is made beside.
            digest = localfile.FileSum(local, algorithm) if algorithm and local_sum is None else None
            started = _by_program(copy, program, report, local, transfer_part, watch)
        if report.protocol is None:
            if algorithm and local_sum is None and digest is None:
                digest = localfile.Summer(algorithm)
            started = _by_library(copy, report, local, path, size, watch, not algorithm and not overwrite,
                                  digest if isinstance(digest, localfile.Summer) else None)
        watch.tick(last=True)
        report.bytes, report.seconds = watch.sent, time.monotonic() - started
        copy.link_back()
        if algorithm:
            local_sum = local_sum or digest.hexdigest()
            there = copy.files.checksum(part, algorithm, size, copy.target)
            if there != local_sum:
                raise FileTransferError("%s: %s arrived corrupted: the device's %s is %s, the local file's %s; "
                                        "removed" % (copy.device, path, algorithm, there, local_sum))
            report.checksum, report.verified = (algorithm, local_sum), True
        _take_name(copy, part, path, transfer_part, transfer_path)
    except BaseException:
        copy.remove_part(part, transfer_part)
        raise
    finally:
        if digest is not None:
            digest.close()


def _by_program(copy, program, report, local, transfer_part, watch):
    """The put by the sftp program (tarvix.files.programs); when it started.
    Where the server has no SFTP, "auto" leaves ``report.protocol`` unset:
    libssh2's SCP goes on."""
    started = time.monotonic()
    copy.con._aborted = False
    spawn = copy.con._handle(copy.target).spawn
    if hasattr(getattr(spawn, "_child", None), "session"):
        watch.keepalive = lambda: _keepalive(spawn)
    log.debug("%s: %d bytes go through the sftp program", copy.device, watch.total)
    copy.program = program
    try:
        program.put(local, transfer_part, watch, lambda: copy.con._aborted)
    except programs.NoSftp as error:
        if copy.protocol == "sftp":
            raise
        copy.no_sftp = error.words
        log.info("%s: the SSH server offers no SFTP (%s); copying over SCP", copy.device, copy.no_sftp)
        watch.sent, watch.keepalive = 0, None
        return started
    report.protocol = "sftp"
    return started


def _by_library(copy, report, local, path, size, watch, unchecked, digest):
    """The put over libssh2 (tarvix.files.transport); when it started.
    ``unchecked``: a file already there is refused (nothing sums it)."""
    transport = copy.open(watch, size)
    report.protocol = copy.chosen(transport)
    started = time.monotonic()
    part = copy.files.part(path)
    if unchecked and report.protocol == "sftp" and transport.sftp_size(copy.files.transfer(path)) is not None:
        raise FileTransferError("%s: %s is there already: overwrite=True replaces it" % (copy.device, path))
    with open(local, "rb") as source:
        if report.protocol == "sftp":
            transport.sftp_put(source, copy.files.transfer(part), digest=digest)
        else:
            _scp_put(copy, transport, source, copy.files.transfer(part), size, digest)
    return started


def _scp_put(copy, transport, source, path, size, digest):
    try:
        transport.scp_put(source, path, size, digest=digest)
    except FileTransferError as error:
        if copy.no_sftp is None or transport.watch.sent:
            raise
        raise FileTransferError("%s: the SSH server offers neither SFTP nor SCP (SFTP: %s; %s)"
                                % (copy.device, copy.no_sftp, str(error).split(": ", 1)[-1]))


def _take_name(copy, part, path, transfer_part, transfer_path):
    """The partial file takes its name: by the device's rename where it
    has one, else over SFTP."""
    if copy.files.rename(part, path, copy.target):
        return
    try:
        if copy.transport.sftp_size(transfer_path) is not None:
            copy.transport.sftp_remove(transfer_path)
        copy.transport.sftp_rename(transfer_part, transfer_path)
    except Exception as error:  # noqa: BLE001 - libssh2's words
        raise FileTransferError("%s: cannot rename %s to %s: %s" % (copy.device, part, path,
                                                                    copy.transport.words(error)))


def get(con, remote, local, protocol="auto", verify=True, overwrite=False, progress=None, timeout=None, target=None):
    """Copies ``remote`` from the device to ``local`` (a folder: the
    file's own name in it); a FileTransfer."""
    copy = Copy(con, protocol, progress, timeout, target)
    path = copy.files.path(remote, target)
    local = os.fspath(local)
    if os.path.isdir(local):
        local = os.path.join(local, copy.files.split(path)[1])
    localfile.writable(local)
    algorithm = copy.files.algorithm(None) if verify else None
    report = FileTransfer("get", local, path)
    there = None
    if algorithm:
        there = copy.files.checksum(path, algorithm, 0, target)
        if there is None:
            raise FileTransferError("%s: %s: No such file or directory" % (copy.device, path))
    if os.path.exists(local):
        if there is not None and localfile.checksum(local, algorithm) == there:
            report.skipped, report.checksum, report.verified = True, (algorithm, there), True
            report.size = os.path.getsize(local)
            return report
        if not overwrite:
            raise FileTransferError("%s: a different local %s is there already: overwrite=True replaces it"
                                    % (copy.device, local))
    try:
        _fetch(copy, report, path, local, algorithm, there)
    finally:
        copy.close()
    return report


def _fetch(copy, report, path, local, algorithm, there):
    part = localfile.part_name(local)
    digest = localfile.Summer(algorithm) if algorithm else None
    watch = Watch(0, copy.progress, copy.stall)
    try:
        transport = copy.open(watch)
        report.protocol = copy.chosen(transport)
        started = time.monotonic()
        with open(part, "wb") as target:
            if report.protocol == "sftp":
                watch.total = transport.sftp_size(copy.files.transfer(path)) or 0
                localfile.writable(local, watch.total)
                transport.sftp_get(copy.files.transfer(path), target, digest)
            else:
                transport.scp_get(copy.files.transfer(path), target, digest)
        watch.tick(last=True)
        report.bytes = report.size = watch.sent
        report.seconds = time.monotonic() - started
        copy.link_back()
        if digest is not None:
            if digest.hexdigest() != there:
                raise FileTransferError("%s: %s arrived corrupted: the device's %s is %s, the local copy's %s; "
                                        "removed" % (copy.device, path, algorithm, there, digest.hexdigest()))
            report.checksum, report.verified = (algorithm, there), True
        os.replace(part, local)
    except BaseException:
        if os.path.exists(part):
            os.remove(part)
        raise
    finally:
        if digest is not None:
            digest.close()
