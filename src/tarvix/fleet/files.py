"""``tarvix run --put LOCAL:REMOTE``, ``--get REMOTE`` and ``--upgrade
IMAGE``: files to and from each device after its commands and lines, and
the upgrade (the copies of all devices at once, at most ``--max-parallel``
of them reloading at a time); each copy's report in the device's report
under "transfers", the upgrade's under "upgrade", a note in the table."""
import os

from tarvix.exits import UsageError
from tarvix.files import local as localfile
from tarvix.fleet.naming import file_stem


def add_options(parser):
    group = parser.add_argument_group("files and the upgrade")
    group.add_argument("--put", action="append", metavar="LOCAL:REMOTE",
                       help="copy the local file LOCAL to REMOTE on each device and verify it there by the "
                            "device's own checksum (repeatable); skipped where the same file is there")
    group.add_argument("--get", action="append", metavar="REMOTE",
                       help="copy REMOTE from each device into --output DIR as HOST_NAME (repeatable)")
    group.add_argument("--overwrite", action="store_true",
                       help="with --put, --get: replace a different file of the same name")
    group.add_argument("--upgrade", metavar="IMAGE",
                       help="copy the image IMAGE (skipped where it is there) and verify it, make it the one "
                            "the device boots, save, reload (at most --max-parallel at once) and check the "
                            "version it runs")
    group.add_argument("--expect-version", metavar="V", help="with --upgrade: the version the image boots as")


def _split(text):
    """(local, remote) of --put's LOCAL:REMOTE: at the first ":" whose
    left is a file, else the first."""
    places = [i for i, char in enumerate(text) if char == ":"]
    if not places:
        raise UsageError("--put %s: give LOCAL:REMOTE" % text)
    for place in places:
        if os.path.isfile(text[:place]):
            return text[:place], text[place + 1:]
    return text[:places[0]], text[places[0] + 1:]


def check(args):
    """Complaints about the options, as UsageError (the local files'
    before any connection); whether there is anything of this room to run."""
    puts = [_split(text) for text in args.put or []]
    for local, remote in puts:
        if not remote:
            raise UsageError("--put %s:: a remote name is needed after the ':'" % local)
        _readable("--put", local)
    args.puts = puts
    if args.get and not args.output:
        raise UsageError("--get needs --output DIR, where each device's file goes")
    if args.upgrade:
        _readable("--upgrade", args.upgrade)
        if args.reload or args.switchover:
            raise UsageError("--upgrade reloads each device itself: give it without --reload or --switchover")
    elif args.expect_version:
        raise UsageError("--expect-version goes with --upgrade")
    return bool(puts or args.get or args.upgrade)


def _readable(option, path):
    try:
        localfile.readable(path)
    except Exception as error:  # noqa: BLE001 - FileTransferError, in one line
        raise UsageError("%s %s" % (option, error))


def note(transfer):
    """A copy in the table's words: "put flash:x.bin: copied 12.3 MB/s,
    sha256 verified"."""
    what = transfer["remote"]
    if transfer["skipped"]:
        done = "skipped (there already)"
    else:
        done = "copied %s MB/s" % (transfer["mb_per_s"] if transfer["mb_per_s"] is not None else "-")
    check = ("%s verified" % transfer["checksum"]["algorithm"]) if transfer["verified"] else "not verified"
    return "%s %s: %s, %s" % (transfer["direction"], what, done, check)


def files_step(run, task, report, done):
    """The host's --put and --get copies and its --upgrade."""
    from tarvix.nornir.connection import host_connection

    args = run.args
    if not (getattr(args, "puts", None) or args.get or args.upgrade):
        return
    con = host_connection(task.host, task.nornir.config)
    name = task.host.name
    progress = getattr(run, "bytes_progress", None)
    moved = (lambda sent, total: progress(name, sent, total)) if progress else None
    report.setdefault("transfers", [])
    for local, remote in getattr(args, "puts", None) or []:
        run.check()
        run.step(name, done, "put %s" % remote)
        _told(report, con.put_file(local, remote, overwrite=args.overwrite, progress=moved, timeout=args.timeout))
        done.append("put %s" % remote)
    for remote in args.get or []:
        run.check()
        run.step(name, done, "get %s" % remote)
        local = os.path.join(args.output, "%s_%s" % (file_stem(name), file_stem(os.path.basename(remote.split(":")[-1])
                                                                                 or "file")))
        _told(report, con.get_file(remote, local, overwrite=True, progress=moved, timeout=args.timeout))
        done.append("get %s" % remote)
    if args.upgrade:
        _upgrade(run, con, report, done, moved)


def _told(report, transfer):
    entry = transfer.as_dict()
    report["transfers"].append(entry)
    report["outputs"].append({"command": "%s %s" % (entry["direction"], entry["remote"]), "output": repr(transfer),
                              "warning": None, "note": note(entry)})


def _upgrade(run, con, report, done, moved):
    from tarvix.core.errors import UpgradeError
    from tarvix.fleet.reload import DEFAULT_TIMEOUT, slots

    args, name = run.args, con.hostname
    timeout = args.timeout or DEFAULT_TIMEOUT
    try:
        run.step(name, done, "upgrade: copy")
        up = con.upgrade(args.upgrade, expect_version=args.expect_version, reload=False, progress=moved)
        done.append("upgrade: image there and booted next")
        turns = slots(run)
        while not turns.acquire(timeout=0.2):
            run.check()
        try:
            run.check()
            run.step(name, done, "upgrade: reload")
            con.finish_upgrade(up, args.expect_version, timeout)
        finally:
            turns.release()
        done.append("upgrade")
    except UpgradeError as error:
        _upgrade_told(report, error.report)
        raise
    _upgrade_told(report, up)


def _upgrade_told(report, up):
    if up is None:
        return
    report["upgrade"] = up.as_dict()
    report["transfers"].extend(t.as_dict() for t in up.transfers)
    copied = up.transfers[0].as_dict() if up.transfers else None
    words = [note(copied)] if copied else []
    words.append("booted %s" % up.version if up.version else "failed at %s" % up.failed if up.failed else
                 "not reloaded")
    report["outputs"].append({"command": "upgrade", "output": repr(up), "warning": None,
                              "note": "upgrade: %s" % ", ".join(words)})
