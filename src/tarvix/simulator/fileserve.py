"""SFTP and SCP on the simulated routers' SSH server (asyncssh serves
both): a session that asks for the "sftp" subsystem or runs "scp" reaches
the RP's file system (tarvix.simulator.flash) as its root, with its size
and the console's fault knobs; a shell session is the console's as ever.
``--no-sftp`` and ``--no-scp`` leave either out."""
import asyncio
import os

import asyncssh

from tarvix.simulator.flash import Fault

# Seconds a stalled write waits (the session's end comes first).
STALL = 3600


def server_factory(flash, args):
    """The SFTP server class of one RP: rooted at its ``flash``, failing
    as its console's ``args`` ask."""

    class FlashServer(asyncssh.SFTPServer):
        def __init__(self, chan):
            super(FlashServer, self).__init__(chan, chroot=os.fsencode(flash.folder))
            self._fault = Fault(args)
            self._chan_of = chan

        async def write(self, file_obj, offset, data):
            fault = self._fault
            size = os.fstat(file_obj.fileno()).st_size
            if offset + len(data) - size > flash.free():
                raise asyncssh.SFTPFailure("No space left on device")
            if fault.drops(offset, data) and not flash.dropped:
                # Once: the copy after it goes through.
                flash.dropped = True
                self._chan_of.get_connection().abort()
                await asyncio.sleep(STALL)
            if fault.stalls(offset, data):
                await asyncio.sleep(STALL)
            return super(FlashServer, self).write(file_obj, offset, fault.corrupt(offset, data))

    return FlashServer


class Either(object):
    """A session that becomes the console's shell (``shell``) or the file
    server's (an asyncssh stream session), as the client asks."""

    def __init__(self, shell, flash, args):
        self._shell = shell
        factory = server_factory(flash, args)
        sftp = not getattr(args, "no_sftp", False)
        scp = not getattr(args, "no_scp", False)
        self._files = _FileSession(None, factory, 3, scp, sftp)
        self._chosen = None
        self._chan = None

    def connection_made(self, chan):
        self._chan = chan

    def _choose(self, session):
        if self._chosen is None:
            self._chosen = session
            session.connection_made(self._chan)
        return self._chosen

    def shell_requested(self):
        return self._choose(self._shell).shell_requested()

    def exec_requested(self, command):
        return self._choose(self._files).exec_requested(command)

    def subsystem_requested(self, subsystem):
        return self._choose(self._files).subsystem_requested(subsystem)

    def connection_lost(self, exc):
        (self._chosen or self._shell).connection_lost(exc)

    def __getattr__(self, name):
        return getattr(self._chosen or self._shell, name)


class _FileSession(asyncssh.stream.SSHServerStreamSession):
    def __init__(self, session_factory, sftp_factory, sftp_version, allow_scp, allow_sftp):
        super(_FileSession, self).__init__(session_factory, sftp_factory, sftp_version, allow_scp)
        self._allow_sftp = allow_sftp

    def subsystem_requested(self, subsystem):
        return subsystem == "sftp" and self._allow_sftp
