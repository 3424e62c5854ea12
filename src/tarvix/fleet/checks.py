"""The checks of ``tarvix run``'s options, made before anything is read or
connected, and the hosts they select."""
import os

from tarvix.exits import UsageError
from tarvix.fleet import health, intended
from tarvix.fleet import files as file_options, reload as reload_options
from tarvix.fleet.inventory import INVENTORY_FILES

# Host attributes --where matches besides the inventory data.
HOST_FIELDS = ("name", "hostname", "platform", "port", "username")


def _where(texts):
    pairs = []
    for text in texts or []:
        key, equals, value = text.partition("=")
        if not equals or not key.strip():
            raise UsageError("--where %r: give it as KEY=VALUE (e.g. site=lab1)" % text)
        pairs.append((key.strip(), value))
    return pairs


def host_field(host, key):
    """A host's attribute or inventory data (its groups' and the defaults'
    included); None where it has none."""
    if key in HOST_FIELDS:
        return getattr(host, key)
    try:
        return host[key]
    except KeyError:
        return None


def host_filter(args, where):
    def selected(host):
        if args.name and host.name not in args.name:
            return False
        if args.group and not any(host.has_parent_group(group) for group in args.group):
            return False
        return all(host_field(host, key) is not None and str(host_field(host, key)) == value for key, value in where)

    return selected


def line_break(option, texts):
    """The complaint about a command or line of ``texts`` that holds a line
    break (it would reach the device as two), or None."""
    for text in texts or []:
        if "\n" in text or "\r" in text:
            return "%s %r: a line break inside; give each its own %s" % (option, text, option)
    return None


def _directory(option, path):
    """Makes the directory an option names, or says in one line why not."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise UsageError("%s %s: a file is there, not a directory" % (option, path))
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise UsageError("%s %s: cannot make the directory: %s" % (option, path, error.strerror or error))


def check_args(args):
    operation = reload_options.check(args)
    operation = file_options.check(args) or operation
    intended.check(args)
    state = health.check(args)
    if not (args.execute or args.configure or operation or args.intended or args.rollback or args.backup or state):
        raise UsageError("nothing to run: give --execute CMD, --configure LINE, --intended DIR, --rollback DIR, "
                         "--backup DIR, --reload, --switchover, --put, --get, --upgrade, --check FILE, --snapshot DIR or "
                         "--compare DIR")
    for option, texts in (("--execute", args.execute), ("--configure", args.configure)):
        complaint = line_break(option, texts)
        if complaint:
            raise UsageError(complaint)
    if args.workers < 1:
        raise UsageError("--workers must be 1 or more")
    hosts = os.path.join(args.inventory, INVENTORY_FILES[0])
    if not os.path.isfile(hosts):
        raise UsageError("--inventory %s: no %s there" % (args.inventory, INVENTORY_FILES[0]))
    for option, directory in (("--output", args.output), ("--session-log", args.session_log),
                              ("--backup", args.backup), ("--snapshot", args.snapshot)):
        if directory:
            _directory(option, directory)
    return _where(args.where)
