"""The software upgrade of a connected device, step by step: the image
copied (skipped where it is there already) and verified, on a dual-RP
device to the standby's file system too; the boot variable set (the
dialect's ``boot`` lines); the configuration saved and the device reloaded,
the connection following it (tarvix.bases.reload); then the running version
checked against the one expected.  A step that fails stops the upgrade
there: ``UpgradeError`` names the step and what the device said, and holds
the report of the steps so far."""
import os
import re
import time

from tarvix.core.errors import TarvixError, UpgradeError, device_words
from tarvix.files import copy as files_copy
from tarvix.files.device import DeviceFiles

STEPS = ("copy", "standby copy", "boot", "save", "reload", "version")


class Step(object):
    """One step: ``name``, ``seconds``, ``ok`` and ``detail`` (what it
    did or what the device said)."""

    def __init__(self, name):
        self.name, self.seconds, self.ok, self.detail = name, 0.0, None, ""

    def as_dict(self):
        return {"step": self.name, "seconds": round(self.seconds, 3), "ok": self.ok, "detail": self.detail}

    def __repr__(self):
        return "<Step %s %s %.1f s>" % (self.name, "ok" if self.ok else "failed" if self.ok is False else "-",
                                        self.seconds)


class UpgradeReport(object):
    """What ``upgrade`` did: the ``image``, its device ``path``, ``steps``
    in order, the ``transfers`` (FileTransfer of each copy), the
    ``version`` running at the end (None where not read) and ``failed``
    (the step that failed, or None)."""

    def __init__(self, image, path=None):
        self.image, self.path = image, path
        self.steps, self.transfers = [], []
        self.version = self.failed = None

    @property
    def seconds(self):
        return sum(step.seconds for step in self.steps)

    def as_dict(self):
        return {"image": self.image, "path": self.path, "steps": [s.as_dict() for s in self.steps],
                "transfers": [t.as_dict() for t in self.transfers], "version": self.version,
                "failed": self.failed, "seconds": round(self.seconds, 3)}

    def __repr__(self):
        return "<UpgradeReport %s %s version=%s>" % (os.path.basename(self.image),
                                                    "failed at %s" % self.failed if self.failed else "done",
                                                    self.version)


def running_version(con):
    """The version the device runs, by the dialect's version command;
    None where it has none."""
    commands = getattr(con.dialect, "files", None)
    if commands is None or not commands.version:
        return None
    command, pattern = commands.version
    found = re.search(pattern, con.execute(command))
    return found.group("version") if found else None


def _run_step(con, report, name, body):
    step = Step(name)
    report.steps.append(step)
    started = time.monotonic()
    try:
        step.detail = body() or ""
        step.ok = True
    except (TarvixError, OSError) as error:
        step.ok, step.detail = False, device_words(str(error)) or type(error).__name__
        report.failed = name
        failure = UpgradeError("%s: the upgrade failed at its %s step: %s" % (_name(con), name, step.detail))
        failure.step, failure.report = name, report
        raise failure
    finally:
        step.seconds = time.monotonic() - started
    return step


def _name(con):
    return getattr(con, "hostname", None) or "device"


def upgrade(con, image, expect_version=None, reload=True, timeout=3600, protocol="auto", progress=None):
    files = DeviceFiles(con)
    path = files.path(os.path.basename(image))
    report = UpgradeReport(os.fspath(image), path)
    deadline = time.monotonic() + timeout

    def copy():
        transfer = files_copy.put(con, image, path, protocol=protocol, verify=True, overwrite=True,
                                  progress=progress)
        report.transfers.append(transfer)
        return "skipped: already there" if transfer.skipped else "%d bytes over %s, %s verified" % (
            transfer.bytes, transfer.protocol, transfer.checksum[0])

    _run_step(con, report, "copy", copy)
    if len(con.handles) > 1 and files.standby(path):
        _run_step(con, report, "standby copy", lambda: _standby_copy(con, files, path, report))
    if files.commands.boot:
        lines = [line.replace("{path}", path) for line in files.commands.boot]
        _run_step(con, report, "boot", lambda: _boot(con, lines))
    if reload:
        finish(con, report, expect_version, max(1.0, deadline - time.monotonic()))
    return report


def finish(con, report, expect_version=None, timeout=3600):
    """The upgrade's last steps, once the image is there and named the
    one to boot: save, reload (within ``timeout`` seconds) and the version
    check; ``report`` gets them."""
    deadline = time.monotonic() + timeout
    if con.dialect.save:
        _run_step(con, report, "save", lambda: _save(con))
    _run_step(con, report, "reload", lambda: _reload(con, deadline))
    _run_step(con, report, "version", lambda: _version(con, report, expect_version))
    return report


def _save(con):
    con.save_config()
    return "saved"


def _boot(con, lines):
    con.configure(lines)
    return "; ".join(lines)


def _standby_copy(con, files, path, report):
    standby = files.standby(path)
    algorithm = files.algorithm(None)
    want = report.transfers[-1].checksum[1] if report.transfers and report.transfers[-1].checksum else None
    size = os.path.getsize(report.image)
    if want is not None and files.checksum(standby, algorithm, size) == want:
        return "skipped: already on %s" % standby
    files.copy(path, standby, size)
    there = files.checksum(standby, algorithm, size)
    if want is not None and there != want:
        files.delete(standby)
        raise files_copy.FileTransferError("%s arrived corrupted: %s %s, the image's %s; removed"
                                           % (standby, algorithm, there, want))
    return "copied to %s, %s verified" % (standby, algorithm)


def _reload(con, deadline):
    left = max(1.0, deadline - time.monotonic())
    done = con.reload(save=True, timeout=left)
    return "back after %.1f s" % done.seconds if hasattr(done, "seconds") else "back"


def _version(con, report, expect_version):
    report.version = running_version(con)
    if expect_version is None:
        return "running %s" % report.version
    if report.version != str(expect_version):
        raise UpgradeError("the device runs version %s, not %s" % (report.version, expect_version))
    return "running %s as expected" % report.version
