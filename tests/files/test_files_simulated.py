"""Files on the simulated routers over their SSH server: each fault of the
simulator's knobs ends in one line and leaves nothing half-written under
the file's name; the router's own file commands (quoted names, the
questions of delete and rename); the upgrade on a single-RP and a dual-RP
router, and the step that fails."""
import hashlib
import os
import shutil

import pytest

from tarvix.bases.connection import Connection
from tarvix.core.errors import FileTransferError, UpgradeError
from tarvix.eal.ssh import link as sshlink
from tarvix.files import leftovers, programs
from tarvix.simulator import server

pytestmark = [pytest.mark.skipif(not server.available(), reason="needs asyncssh"),
              pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or "")]

CREDENTIALS = {"default": {"username": "admin", "password": "admin"}}
SIZE = 3 * 1024 * 1024
FAULTS = {
    "stall": (["--stall-after", "1000000"], "made no progress for 1 s"),
    "drop": (["--drop-after", "1000000"], "aborted|ended|failed|Connection reset|Broken pipe"),
    "corrupt": (["--corrupt-byte", "12345"], "arrived corrupted: the device's sha256 is [0-9a-f]{64}, the local"),
    "no space": (["--flash-size", "2000000"], r"needs 3145728 bytes, the device has 2000000 bytes free on flash:"),
    "no sftp nor scp": (["--no-sftp", "--no-scp"], "the SSH server offers neither SFTP nor SCP"),
}


@pytest.fixture(autouse=True)
def _own_cache(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))


@pytest.fixture(scope="module")
def image(tmp_path_factory):
    path = tmp_path_factory.mktemp("images") / "tarvix-2.1.bin"
    path.write_bytes(os.urandom(SIZE))
    return str(path)


def _connection(running, name, **options):
    ports = running.ports[name]
    starts = ["ssh://admin@127.0.0.1:%d" % port for port in ports]
    return Connection(hostname=name, start=starts[0] if len(starts) == 1 else starts, os="generic",
                      credentials=CREDENTIALS, ssh={"host_key_checking": False}, **options)


def _listing(con):
    return con.execute("dir")


# The faults met by the sftp program where it carries the put (the others
# fail before any byte moves, as they do on libssh2).
PROGRAM_FAULTS = ["stall", "drop", "corrupt", "no sftp nor scp"]


@pytest.mark.parametrize("fault, carrier", [(fault, "libssh2") for fault in sorted(FAULTS)] +
                         [(fault, "sftp program") for fault in PROGRAM_FAULTS])
def test_each_fault_fails_in_one_line_and_leaves_nothing(fault, carrier, image, monkeypatch):
    knobs, words = FAULTS[fault]
    if carrier == "sftp program":
        if shutil.which("sftp") is None:
            pytest.skip("needs the sftp program")
        monkeypatch.setattr(programs, "PROGRAM_SIZE", 0)
    # Where the sftp program's own session dropped, the CLI's removes the
    # partial file at once.
    kept_for_later = fault == "drop" and carrier == "libssh2"
    with server.serving([{"hostname": "r1", "options": knobs}]) as running:
        with _connection(running, "r1") as con:
            with pytest.raises(FileTransferError, match=words) as raised:
                con.put_file(image, "tarvix-2.1.bin", timeout=1)
            assert "\n" not in str(raised.value)
        with _connection(running, "r1") as con:
            if kept_for_later:
                # The partial file its dropped session kept is removed now.
                kept = leftovers.key("r1", con.handles[0].start)
                assert leftovers.pending(kept) == ["flash:.tarvix-2.1.bin.part"]
                assert con.put_file(image, "tarvix-2.1.bin").verified
                assert leftovers.pending(kept) == []
            assert ".part" not in _listing(con)
            assert ("tarvix-2.1.bin" in _listing(con)) == kept_for_later


def test_router_file_commands_quoted_names_and_interrupt(image, tmp_path):
    with server.serving([{"hostname": "r1"}]) as running:
        with _connection(running, "r1") as con:
            name = "flash:my image $(x) -1.bin"
            sent = con.put_file(image, name, protocol="scp")
            want = hashlib.sha256(open(image, "rb").read()).hexdigest()
            assert (sent.protocol, sent.checksum) == ("scp", ("sha256", want))
            assert con.file_checksum(name) == want and con.file_checksum(name, "md5") == \
                hashlib.md5(open(image, "rb").read()).hexdigest()
            assert con.free_space() == 256 * 1024 * 1024 - SIZE
            with pytest.raises(FileTransferError, match="cannot take a name holding"):
                con.put_file(image, 'flash:a"b.bin')
            with pytest.raises(FileTransferError, match="no sha384 checksum command"):
                con.file_checksum(name, "sha384")
            got = con.get_file(name, str(tmp_path))
            assert got.local == str(tmp_path / "my image $(x) -1.bin") and got.verified

            def interrupt(done, total):
                if done:
                    raise KeyboardInterrupt()

            with pytest.raises(KeyboardInterrupt):
                con.put_file(image, "other.bin", progress=interrupt)
            assert ".part" not in _listing(con) and "other.bin" not in _listing(con)
            with pytest.raises(KeyboardInterrupt):
                con.get_file(name, str(tmp_path / "again.bin"), progress=interrupt)
            assert sorted(os.listdir(str(tmp_path))) == ["my image $(x) -1.bin"]


@pytest.mark.slow
@pytest.mark.parametrize("dual", [False, True])
def test_upgrade_copies_boots_and_checks_the_version(dual, image):
    router = {"hostname": "r1", "dual_rp": True} if dual else {"hostname": "r1"}
    with server.serving([router]) as running:
        with _connection(running, "r1") as con:
            assert con.execute("show version").startswith("Generic router simulator, software version 1.0")
            report = con.upgrade(image, expect_version="2.1")
            assert [step.name for step in report.steps] == \
                ["copy"] + ["standby copy"] * dual + ["boot", "save", "reload", "version"]
            assert all(step.ok for step in report.steps) and report.version == "2.1"
            assert "version 2.1" in con.execute("show version")
            if dual:
                assert "tarvix-2.1.bin" in con.execute("dir stby-flash:")
            again = con.upgrade(image, expect_version="2.1", reload=False)
            assert again.transfers[0].skipped
            with pytest.raises(UpgradeError, match="failed at its version step: .*runs version 2.1, not 3.0") as raised:
                con.upgrade(image, expect_version="3.0")
            assert raised.value.step == "version" and raised.value.report.steps[-1].ok is False
