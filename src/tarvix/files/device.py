"""The device's side of a copy, through its CLI and its dialect's file
commands (tarvix.eal.filecommands): paths as the device names them, quoted
for its commands, its sums, its free space, delete, rename and copy."""
import posixpath
import re
import shlex

from tarvix.core.errors import CommandError, FileTransferError, NotSupportedError, device_words

# Seconds a sum is given at least, and bytes a second it is given beyond:
# a device sums a large image slowly.
SUM_BASE = 60
SUM_RATE = 10e6
# What a device may not take in a name: line ends and the other controls.
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")
# A router's file system prefix: "flash:", "stby-flash:", "bootflash:".
_FS = re.compile(r"^([A-Za-z][\w-]*:)(.*)$")


def _words(output):
    return device_words(output) or "(nothing printed)"


class DeviceFiles(object):
    """The file commands of a connection's device (``con.dialect.files``);
    NotSupportedError for a platform that has none."""

    def __init__(self, con):
        self.con = con
        self.commands = getattr(con.dialect, "files", None)
        self.device = con.hostname or "device"
        self._home = None
        if self.commands is None:
            raise NotSupportedError("%s: the %s platform has no file commands" % (self.device, con.dialect.name))

    # -- names -----------------------------------------------------------

    def quote(self, word):
        if self.commands.quote == "posix":
            return shlex.quote(word)
        if '"' in word:
            raise FileTransferError("%s: the %s CLI cannot take a name holding '\"': %r"
                                    % (self.device, self.con.dialect.name, word))
        return '"%s"' % word

    def path(self, remote, target=None):
        """The device's full path for ``remote``: a relative one joined to
        the default file system, or to the login's home; ValueError in one
        line for a name no command can carry."""
        if not isinstance(remote, str) or not remote.strip():
            raise FileTransferError("%s: a remote path is a non-empty text, not %r" % (self.device, remote))
        if _CONTROL.search(remote):
            raise FileTransferError("%s: a remote path holds no line end or control character: %r"
                                    % (self.device, remote))
        default = self.commands.default_dir
        if default is None:
            return remote if remote.startswith("/") else posixpath.join(self.home(target), remote)
        return remote if _FS.match(remote) else default + remote

    def home(self, target=None):
        if self._home is None:
            output = self.con.execute(self.commands.home, target=target).strip().splitlines()
            self._home = output[-1].strip() if output and output[-1].startswith("/") else "/"
        return self._home

    def split(self, path):
        """(file system or folder, name within it) of a full path."""
        found = _FS.match(path)
        if found and self.commands.default_dir is not None:
            return found.group(1), found.group(2).lstrip("/")
        return posixpath.dirname(path), posixpath.basename(path)

    def folder(self, path):
        return self.split(path)[0]

    def part(self, path):
        """The name the file has while it is copied: hidden, beside it."""
        where, name = self.split(path)
        if self.commands.default_dir is not None and _FS.match(path):
            return "%s%s.%s.part" % (where, "/" if path[len(where):].startswith("/") else "", name)
        return posixpath.join(where, ".%s.tarvix-part" % name)

    def transfer(self, path):
        """How the device's SFTP and SCP server names ``path``."""
        name = self.split(path)[1] if _FS.match(path) and self.commands.default_dir is not None else path
        return self.commands.transfer_path.replace("{path}", path).replace("{name}", name)

    def standby(self, path):
        """The same file on the standby RP's file system (None: none)."""
        if not self.commands.standby_dir:
            return None
        return self.commands.standby_dir + self.split(path)[1]

    # -- commands --------------------------------------------------------

    def _command(self, template, **names):
        command = template
        for key, value in names.items():
            command = command.replace("{%s}" % key, self.quote(value))
        return command

    def run(self, template, timeout=None, rp=None, **names):
        """Runs one file command on RP ``rp``, its questions answered, a
        shell's exit status checked; CommandError as execute raises it (the
        device's words)."""
        command = self._command(template, **names)
        return self.con.execute(command, target=rp, timeout=timeout, reply=self.commands.replies, check=True)

    def algorithm(self, wanted):
        """The algorithm to sum with: ``wanted`` where the device has it,
        else (for None) the first of the device's; FileTransferError naming
        what is missing."""
        sums = self.commands.checksum
        if wanted is None:
            wanted = "sha256" if "sha256" in sums else next(iter(sums), None)
            if wanted is None:
                raise FileTransferError("%s: the %s platform has no checksum command" % (self.device,
                                                                                       self.con.dialect.name))
        if wanted not in sums:
            raise FileTransferError("%s: the %s platform has no %s checksum command (it has %s)"
                                    % (self.device, self.con.dialect.name, wanted, ", ".join(sorted(sums)) or "none"))
        return wanted

    def checksum(self, path, algorithm, size=0, target=None):
        """The device's sum of ``path`` (lower case), None when there is no
        such file; FileTransferError when the device has no such command
        or says something else."""
        template = self.commands.checksum[algorithm]
        timeout = SUM_BASE + size / SUM_RATE
        try:
            output = self.run(template, timeout=timeout, rp=target, path=path)
        except CommandError as error:
            output = error.output or str(error)
            if self.commands.missing and re.search(self.commands.missing, output):
                return None
            program = template.split()[0]
            if re.search(r"not found|[Uu]nknown command|[Ii]nvalid input|Unrecognized command", output):
                raise FileTransferError("%s: the device has no checksum command %r: %s"
                                        % (self.device, program, _words(output)))
            raise FileTransferError("%s: %s failed: %s" % (self.device, program, _words(output)))
        if self.commands.missing and re.search(self.commands.missing, output):
            return None
        found = re.search(self.commands.checksum_pattern, output)
        if not found:
            raise FileTransferError("%s: no %s sum in what the device said: %s" % (self.device, algorithm,
                                                                                _words(output)))
        return found.group("sum").lower()

    def free(self, folder, target=None):
        """The bytes free where ``folder`` is; None where the platform has
        no command that tells."""
        if not self.commands.free_space:
            return None
        try:
            output = self.run(self.commands.free_space, rp=target, dir=folder)
        except CommandError as error:
            raise FileTransferError("%s: cannot tell the free space of %s: %s"
                                    % (self.device, folder, _words(error.output or str(error))))
        found = re.search(self.commands.free_pattern, output)
        if not found:
            raise FileTransferError("%s: no free space of %s in what the device said: %s"
                                    % (self.device, folder, _words(output)))
        return int(found.group("free").replace(",", "")) * self.commands.free_unit

    def delete(self, path, target=None):
        """Removes ``path`` where the device can; False where it has no
        delete command."""
        if not self.commands.delete:
            return False
        self.run(self.commands.delete, rp=target, path=path)
        return True

    def rename(self, source, target_path, target=None):
        """Renames on the device; False where it has no rename command."""
        if not self.commands.rename:
            return False
        self.run(self.commands.rename, rp=target, source=source, target=target_path)
        return True

    def copy(self, source, target_path, size=0, target=None):
        """Copies on the device (e.g. to the standby's file system)."""
        if not self.commands.copy:
            raise FileTransferError("%s: the %s platform has no copy command" % (self.device, self.con.dialect.name))
        return self.run(self.commands.copy, timeout=SUM_BASE + size / SUM_RATE, rp=target, source=source,
                        target=target_path)
