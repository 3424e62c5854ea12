"""Files to and from a real OpenSSH server (its sftp-server and scp, the
linux platform's sha256sum, md5sum and df as the device's own commands),
over the in-process ssh:// link and a link started by the system ssh, the
puts carried by libssh2 and by the system's sftp program (as a large file
goes): both protocols both ways, hostile names, the same file skipped and
a different one refused, a server without SFTP (the SCP fallback), a
destination too small (a tmpfs of the test's own), no permission, no
checksum command, an interrupt and an abort mid-copy."""
import contextlib
import hashlib
import os
import shutil
import subprocess

import pytest

from tarvix.bases.connection import Connection
from tarvix.core.errors import FileTransferError
from tarvix.eal.ssh import link as sshlink
from tarvix.files import leftovers, programs

import sshdbed

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(sshdbed.missing(user=True) is not None or shutil.which("ssh") is None,
                       reason=sshdbed.missing(user=True) or "needs the ssh client"),
    pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or ""),
]

SFTP = "Subsystem sftp /usr/lib/openssh/sftp-server"
NAMES = ["it's a \"$(touch pwned)\" file.bin", "-leading dash.bin", "dir/../up.bin"]


@pytest.fixture(autouse=True)
def _own_cache(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))


@pytest.fixture(params=["libssh2", "sftp program"])
def carrier(request, monkeypatch):
    """What carries a put's bytes: libssh2, or the sftp program (for every
    size here); the test's end checks that it did."""
    carried = []
    if request.param == "sftp program":
        if shutil.which("sftp") is None:
            pytest.skip("needs the sftp program")
        monkeypatch.setattr(programs, "PROGRAM_SIZE", 0)
        put = programs.SftpProgram.put
        monkeypatch.setattr(programs.SftpProgram, "put", lambda *args: carried.append(args[2]) or put(*args))
    yield request.param
    assert bool(carried) == (request.param == "sftp program")


def _start(bed, kind):
    if kind == "ssh://":
        return bed.url
    return "ssh -p %d -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null %s@127.0.0.1" % (bed.port, bed.user)


@contextlib.contextmanager
def _connected(settings, kind):
    with sshdbed.Sshd(settings=settings, login_shell="/bin/bash") as bed:
        os.makedirs(os.path.join(bed.folder, "dir"), exist_ok=True)
        shutil.chown(os.path.join(bed.folder, "dir"), bed.user)
        con = Connection(hostname="device", start=_start(bed, kind), os="linux", credentials=bed.credentials,
                         learn_hostname=True, connection_timeout=20, ssh={"host_key_checking": False})
        with con:
            yield con, bed


def _file(folder, name, size):
    path = os.path.join(str(folder), name)
    with open(path, "wb") as out:
        out.write(os.urandom(size))
    return path


def _interrupt(done, total):
    if done:
        raise KeyboardInterrupt()


@pytest.mark.parametrize("kind, carrier", [("ssh://", "libssh2"), ("system ssh", "libssh2"),
                                           ("system ssh", "sftp program")], indirect=["carrier"])
def test_put_get_both_protocols_names_skip_and_refusals(kind, carrier, tmp_path):
    image = _file(tmp_path, "image.bin", 3 * 1024 * 1024 + 17)
    other = _file(tmp_path, "other.bin", 1000)
    want = hashlib.sha256(open(image, "rb").read()).hexdigest()
    with _connected([SFTP], kind) as (con, bed):
        for number, name in enumerate(NAMES):
            protocol = ("sftp", "scp", "auto")[number]
            calls = []
            sent = con.put_file(image, name, protocol=protocol, progress=lambda done, total: calls.append(done))
            assert (sent.protocol, sent.bytes, sent.verified, sent.checksum) == \
                (protocol.replace("auto", "sftp"), os.path.getsize(image), True, ("sha256", want))
            assert calls[-1] == os.path.getsize(image)
            on_disk = os.path.join(bed.folder, os.path.normpath(name))
            assert hashlib.sha256(open(on_disk, "rb").read()).hexdigest() == want
            assert con.file_checksum(name) == want
            assert con.file_checksum(name, "md5") == hashlib.md5(open(image, "rb").read()).hexdigest()
            assert con.put_file(image, name).skipped
            with pytest.raises(FileTransferError, match="a different .* is there already .*overwrite=True"):
                con.put_file(other, name)
            back = con.get_file(name, str(tmp_path / ("back%d" % number)), protocol=protocol)
            assert back.verified and open(back.local, "rb").read() == open(image, "rb").read()
        assert con.put_file(other, NAMES[0], overwrite=True).verified
        # Nothing was run from a name, nothing partial is left.
        assert not os.path.exists(os.path.join(bed.folder, "pwned"))
        assert [n for n in os.listdir(bed.folder) if "part" in n] == []
        assert con.free_space() > 0 and con.execute("echo still here") == "still here"
        with pytest.raises(FileTransferError, match="Permission denied"):
            con.put_file(image, "/denied.bin")
        with pytest.raises(KeyboardInterrupt):
            con.put_file(image, "interrupted.bin", progress=_interrupt)
        assert [n for n in os.listdir(bed.folder) if "interrupted" in n] == []
        # The connection's abort (tarvix run's Ctrl-C) ends a copy on a session of its own too.
        with pytest.raises(FileTransferError, match="aborted"):
            con.put_file(image, "aborted.bin", progress=lambda done, total: done and con.abort())
        part = os.path.join(bed.folder, ".aborted.bin.tarvix-part")
        if kind == "ssh://":
            # The copy's session was the link's, gone with it: the next copy removes the partial file.
            assert leftovers.pending(leftovers.key("device", bed.url)) == [part] and os.path.exists(part)
            with Connection(hostname="device", start=bed.url, os="linux", credentials=bed.credentials,
                            learn_hostname=True, ssh={"host_key_checking": False}) as again:
                again.put_file(other, "after.bin")
        assert not os.path.exists(part) and leftovers.pending(leftovers.key("device", con.handles[0].start)) == []


def test_a_link_through_another_program_takes_the_files_address(carrier, tmp_path):
    image = _file(tmp_path, "image.bin", 100000)
    with sshdbed.Sshd(settings=[SFTP], login_shell="/bin/bash") as bed:
        # A shell on this machine: its commands see the files the server writes.
        start = "bash --noprofile --norc -i"
        with Connection(hostname="device", start=start, os="linux", learn_hostname=True) as con:
            with pytest.raises(FileTransferError, match="this link .bash. reaches no SSH server for files: give"):
                con.put_file(image, os.path.join(bed.folder, "x.bin"))
        address = {"host": "127.0.0.1", "port": bed.port, "username": bed.user}
        with Connection(hostname="device", start=start, os="linux", learn_hostname=True, files=address,
                        credentials=bed.credentials, ssh={"host_key_checking": False}) as con:
            sent = con.put_file(image, os.path.join(bed.folder, "x.bin"))
            assert sent.verified and os.stat(os.path.join(bed.folder, "x.bin")).st_uid != os.getuid()


@pytest.mark.parametrize("kind, carrier", [("ssh://", "libssh2"), ("system ssh", "libssh2"), ("ssh://", "sftp program")],
                         indirect=["carrier"])
def test_scp_fallback_no_space_no_permission_no_checksum_and_interrupt(kind, carrier, tmp_path):
    image = _file(tmp_path, "image.bin", 2 * 1024 * 1024)
    with _connected([], kind) as (con, bed):
        sent = con.put_file(image, "fallback.bin")
        assert (sent.protocol, sent.verified) == ("scp", True)
        with pytest.raises(FileTransferError, match="offers no SFTP"):
            con.put_file(image, "strict.bin", protocol="sftp")
        small = os.path.join(bed.folder, "small")
        os.makedirs(small)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=777", "tmpfs", small], check=True)
        try:
            with pytest.raises(FileTransferError, match=r"needs 2097152 bytes, the device has 10\d\d\d\d\d bytes free"):
                con.put_file(image, "small/image.bin")
        finally:
            subprocess.run(["umount", small], check=True)
        with pytest.raises(FileTransferError, match="Permission denied"):
            con.put_file(image, "/root/image.bin")
        with pytest.raises(FileTransferError, match="no such local file"):
            con.put_file(str(tmp_path / "absent.bin"), "x.bin")
        with pytest.raises(FileTransferError, match="is a directory"):
            con.put_file(str(tmp_path), "x.bin")
        with pytest.raises(KeyboardInterrupt):
            con.put_file(image, "interrupted.bin", progress=_interrupt)
        assert [n for n in os.listdir(bed.folder) if "interrupted" in n] == []
        con.execute("sha256sum() { echo 'bash: sha256sum: command not found' >&2; return 127; }")
        with pytest.raises(FileTransferError, match="no checksum command 'sha256sum'"):
            con.put_file(image, "unverified.bin")
        assert not con.put_file(image, "unverified.bin", verify=False).verified
        assert os.path.getsize(os.path.join(bed.folder, "unverified.bin")) == os.path.getsize(image)
        assert leftovers.pending(leftovers.key("device", con.handles[0].start)) == []
