"""The files of the hosts of a run: what each is named after, and every
one made before the first device is connected."""
import hashlib
import os

from tarvix.exits import UsageError

# Characters a host's file name keeps as they are; any other one, "%"
# included, is written as %XX for each byte of its UTF-8 form, so that
# distinct host names never share a file and the name can be read back.
_KEPT = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._@+-")
STEM_LIMIT = 120
# The route processors of a dual-RP device, whose session logs are
# NAME.a.log and NAME.b.log.
RP_NAMES = ("a", "b")


def file_stem(name):
    """What a host's files are named after: its name where each character
    is safe in a file name, every other character as %XX, and a leading dot
    as %2E, so that no name hides a file or leaves the directory (".." is
    "%2E.").  A stem longer than STEM_LIMIT is cut and ends in "~" and a
    digest of the whole name, so that two long names still differ."""
    stem = "".join(char if char in _KEPT
                   else "".join("%%%02X" % byte for byte in char.encode("utf-8", "surrogatepass"))
                   for char in name)
    if stem.startswith("."):
        stem = "%2E" + stem[1:]
    if len(stem) > STEM_LIMIT:
        digest = hashlib.sha256(name.encode("utf-8", "surrogatepass")).hexdigest()[:16]
        stem = stem[:STEM_LIMIT - len(digest) - 1] + "~" + digest
    return stem


def _dual_rp(host):
    """Whether a host's connection has two RPs (and so two session logs)."""
    from tarvix.nornir import CONNECTION_NAME

    extras = host.get_connection_parameters(CONNECTION_NAME).extras or {}
    start = extras.get("start")
    return extras.get("chassis_type") == "dual_rp" or (isinstance(start, (list, tuple)) and len(start) == 2)


def plan_files(args, hosts):
    """The files each host will write: {name: (output file or None, session
    log given to its connection or None, every file)}.  Two hosts whose
    files would be one, also on a file system that ignores letter case, are
    refused; their --backup files too (which are not made before they are
    written whole)."""
    from tarvix.eal.sessionlog import rp_path

    plans = {}
    owners = {}
    folds = {}
    for name in sorted(hosts):
        if not name:
            raise UsageError("a host has an empty name, which can name no file")
        stem = file_stem(name)
        output = os.path.join(args.output, stem + ".txt") if args.output else None
        log = os.path.join(args.session_log, stem + ".log") if args.session_log else None
        files = [output] if output else []
        if log:
            files += [rp_path(log, rp) for rp in RP_NAMES] if _dual_rp(hosts[name]) else [log]
        backup = [os.path.join(args.backup, stem + ".cfg")] if getattr(args, "backup", None) else []
        for path in files + backup:
            folder, base = os.path.split(path)
            folder = os.path.realpath(folder)
            if folder not in folds:
                folds[folder] = _folds_case(folder)
            other, other_base = owners.setdefault((folder, base.lower() if folds[folder] else base), (name, base))
            if other != name:
                why = ("a dual-RP host's session logs are NAME.a.log and NAME.b.log" if other_base == base
                       else "names that differ only in letter case are one file on this file system")
                raise UsageError("hosts %r and %r would write the same file %s (%s): rename one, or run "
                                 "them apart" % (other, name, path, why))
        plans[name] = (output, log, files)
    return plans


def _folds_case(folder):
    """Whether the file system of ``folder`` takes names that differ only in
    letter case for one name: a file made there is looked for under its
    name in capitals."""
    import tempfile

    try:
        handle, path = tempfile.mkstemp(prefix=".tarvix-case-", dir=folder)
    except OSError:
        return False  # nothing can be written there: told when the files are made
    os.close(handle)
    try:
        head, tail = os.path.split(path)
        return os.path.exists(os.path.join(head, tail.upper()))
    finally:
        os.remove(path)


def create_files(plans):
    """Makes every file the run will write before any device is connected,
    so that one that cannot be written stops the run before anything is
    done; then the files made here are removed again, and those that were
    there are left as they were."""
    made = []
    try:
        for output, log, files in plans.values():
            for path in files:
                existed = os.path.lexists(path)
                try:
                    with open(path, "a"):
                        pass
                except OSError as error:
                    raise UsageError("%s: cannot write %s: %s" % ("--output" if path == output else "--session-log",
                                                                  path, error.strerror or error))
                if not existed:
                    made.append(path)
    except UsageError:
        for path in made:
            try:
                os.remove(path)
            except OSError:
                pass
        raise
