"""How a copy's bytes go: libssh2's calls that fail without raising."""
import pytest

from tarvix.eal.ssh import link as sshlink
from tarvix.files.transport import Transport, Watch

pytestmark = pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or "")


def test_an_sftp_channel_libssh2_did_not_open_is_no_sftp():
    # ssh2-python hands back libssh2's code where a server refused the
    # subsystem, in some runs: no channel to copy on, said so.
    class Session(object):
        def sftp_init(self):
            return 0

        def last_errno(self):
            return 0

        def last_error(self):
            return b""

    class Files(object):
        session, sock, sftp, aborted = Session(), None, None, False

    transport = Transport(Files(), Watch(0), "r1")
    with pytest.raises(Exception, match="libssh2 error 0") as raised:
        transport.sftp()
    assert transport.words(raised.value) == "libssh2 error 0" and Files.sftp is None
