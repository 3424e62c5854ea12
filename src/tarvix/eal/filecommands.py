"""A CLI's file commands as data: how the device sums, lists, deletes and
renames a file, tells its free space, sets the image it boots and shows
the version it runs, with the questions each command asks and their
answers.  A dialect holds one (``Dialect(..., files=FileCommands(...))``);
tarvix.files reads it.  This module imports nothing else of tarvix."""

# A sum as a device prints it: hexadecimal digits, 32 (MD5) to 128 (SHA-512).
SUM = r"(?<![0-9A-Fa-f])(?P<sum>[0-9A-Fa-f]{32,128})(?![0-9A-Fa-f])"


class FileCommands(object):
    """The file commands of one CLI.  In a command, ``{path}`` stands for
    a file's path, ``{dir}`` for a file system or folder, ``{source}`` and
    ``{target}`` for a rename's or copy's two names, each quoted as the CLI
    quotes a word (``quote``: "posix", a shell's single quotes; "double",
    a router's double quotes, a name holding one refused); None where the
    CLI has no such command.

    ``checksum``: algorithm ("sha256", "md5", ...) -> the command that
    prints the file's sum, found by ``checksum_pattern`` (group "sum").
    ``free_space``: the command that shows the free space of ``{dir}``,
    ``free_pattern`` finds it (group "free"), counted in ``free_unit``
    bytes.  ``delete``, ``rename`` and ``copy`` (a copy on the device, from
    one file system to another) with the questions they ask: lists of
    (pattern, answer) in ``replies``.  ``missing``: what the CLI says of a
    file that is not there, a regular expression (a checksum command that
    prints it means: no such file).

    Paths: ``default_dir`` is where a relative name lives (None: the
    login's home, which ``home`` prints); ``transfer_path``: how a device's
    path is named to its SFTP and SCP server, "{path}" as it is, or e.g.
    "/{name}" for a router whose server's root is its default file system
    (``{name}``: the path less the file system's prefix).  ``standby_dir``:
    the standby RP's file system on a dual-RP device, where an image is
    copied too.

    The upgrade: ``boot``, the configuration lines that make ``{path}`` the
    image the device boots; ``version``, (the command that shows the
    running version, the pattern whose group "version" it is)."""

    def __init__(self, checksum=None, checksum_pattern=SUM, free_space=None, free_pattern=None, free_unit=1,
                 delete=None, rename=None, copy=None, replies=(), missing=None, quote="posix", default_dir=None,
                 home=None, transfer_path="{path}", standby_dir=None, boot=(), version=None):
        if quote not in ("posix", "double"):
            raise ValueError("file commands quote \"posix\" or \"double\", not %r" % (quote,))
        self.checksum = dict(checksum or {})
        self.checksum_pattern = checksum_pattern
        self.free_space, self.free_pattern, self.free_unit = free_space, free_pattern, free_unit
        self.delete, self.rename, self.copy = delete, rename, copy
        self.replies = [(str(pattern), str(answer)) for pattern, answer in replies]
        self.missing = missing
        self.quote = quote
        self.default_dir, self.home = default_dir, home
        self.transfer_path, self.standby_dir = transfer_path, standby_dir
        self.boot = list(boot)
        self.version = tuple(version) if version else None

    def __repr__(self):
        return "FileCommands(%s)" % ", ".join(sorted(self.checksum)) if self.checksum else "FileCommands()"


# A POSIX shell's own commands (the linux platform): GNU coreutils.
SHELL = FileCommands(
    checksum={"sha256": "sha256sum -- {path}", "md5": "md5sum -- {path}", "sha1": "sha1sum -- {path}",
              "sha512": "sha512sum -- {path}"},
    free_space="df -Pk -- {dir}", free_pattern=r"(?m)^\S.*?\s+\d+\s+\d+\s+(?P<free>\d+)\s+\d+%\s+/", free_unit=1024,
    delete="rm -f -- {path}", rename="mv -f -- {source} {target}", copy="cp -- {source} {target}",
    missing=r"No such file or directory", quote="posix", home="printf '%s\\n' \"$HOME\"")


def router(default_dir="flash:", checksum=("sha512", "sha256", "md5"), standby_dir=None,
           version=("show version", r"[Vv]ersion:? (?P<version>[\w.()-]+)")):
    """The file commands of the generic router CLI's family (dir, verify,
    delete, rename, copy, boot system), on file system ``default_dir``."""
    return FileCommands(
        checksum=dict((name, "verify /%s {path}" % name) for name in checksum),
        free_space="dir {dir}", free_pattern=r"(?P<free>\d+) bytes free", free_unit=1,
        delete="delete {path}", rename="rename {source} {target}", copy="copy {source} {target}",
        replies=[(r"Delete filename \[[^\]\r\n]*\]\?\s*\Z", ""), (r"Destination filename \[[^\]\r\n]*\]\?\s*\Z", ""),
                 (r"\[confirm\]\s*\Z", ""), (r"Do you want to over write\? \[confirm\]\s*\Z", "")],
        missing=r"(?i)no such file|file not found|%Error opening", quote="double", default_dir=default_dir,
        transfer_path="/{name}", standby_dir=standby_dir, boot=["boot system {path}"], version=version)
