"""``tarvix run``: one job over a Nornir inventory, and ``tarvix simulate``:
an inventory of bundled-simulator devices to try it on.

``tarvix run`` reads a Nornir SimpleInventory (hosts.yaml, groups.yaml,
defaults.yaml), selects hosts by name, group or any inventory field, and
runs the ``--execute`` commands and ``--configure`` lines on each through
the "tarvix" connection plugin, ``--workers`` hosts at a time on Nornir's
threaded runner.  Each host is connected, worked and disconnected in its
own task, so that no more links are open than there are workers.  Every
file the run writes is made before the first device is connected.  Progress
goes to standard error: a bar on a terminal, else one line per device; the
table of devices, status, seconds and the reason of any failure goes to
standard output (or, with ``--json``, the whole run as one JSON document).
Exit status 1 when a device failed or its output could not be written, 2
for a usage error, 128 + the signal's number for an interrupt (Ctrl-C,
SIGTERM, SIGHUP), which ends the devices in flight and keeps what they did.

Nornir is imported only here, when ``run`` runs: the rest of tarvix works
without it.
"""
import argparse
import binascii
import errno
import hashlib
import json
import logging
import os
import re
import signal
import sys
import threading
import time

from tarvix.cli import FAILED, INTERRUPTED, USAGE, UsageError  # noqa: F401 (the statuses of run and simulate)
from tarvix.eal import secrets

INVENTORY_FILES = ("hosts.yaml", "groups.yaml", "defaults.yaml")
# The SSH simulator's routers, next to an inventory of them.
ROUTERS_FILE = "routers.json"
NEEDS_NORNIR = 'tarvix run needs Nornir and a progress bar: pip install "tarvix[nornir]"'
# Host attributes --where matches besides the inventory data.
HOST_FIELDS = ("name", "hostname", "platform", "port", "username")


# -- tarvix simulate --fleet ---------------------------------------------

def _yaml(value):
    """A scalar as YAML: JSON's double-quoted strings are YAML's too."""
    return json.dumps(value)


def write_fleet(directory, count, prefix="sim-r", force=True, ssh_ports=None, password=None, dialect="generic"):
    """Writes a SimpleInventory of ``count`` bundled-simulator devices into
    ``directory`` (made if missing) and returns their names.  The hosts
    belong to group "simulated" and alternate between sites "lab1" and
    "lab2" (inventory data ``site``).  By default each host's start command
    spawns a simulator of its own, so no server runs.  With ``ssh_ports``
    (the first port, or a port per host) the hosts are the SSH simulator's
    routers on 127.0.0.1, reached by the plugin's default ssh start command
    without host key checking; the server's file of them, ``routers.json``,
    is written too (``tarvix simulate --serve`` serves it), and so is
    ``password`` (default: a new random one) for user "admin".  Unless
    ``force`` is set, an inventory file already there is FileExistsError,
    and nothing is written.  ``dialect``: the CLI dialect the simulated
    devices speak (tarvix.simulator.DIALECTS), which is the os plugin the
    inventory names as their platform."""
    from tarvix import simulator

    if dialect not in simulator.DIALECTS:
        raise ValueError("the simulator speaks no dialect %r (%s)" % (dialect, ", ".join(simulator.DIALECTS)))
    options = ["--dialect", dialect] if dialect != "generic" else []

    if count < 1:
        raise ValueError("a fleet has at least one device")
    if isinstance(ssh_ports, int):
        ssh_ports = list(range(ssh_ports, ssh_ports + count))
    if ssh_ports is not None and (len(ssh_ports) != count or not all(0 < port < 65536 for port in ssh_ports)):
        raise ValueError("a fleet over SSH needs a port from 1 to 65535 for each of its %d devices" % count)
    files = INVENTORY_FILES + ((ROUTERS_FILE,) if ssh_ports is not None else ())
    if not force:
        present = [name for name in files if os.path.lexists(os.path.join(directory, name))]
        if present:
            raise FileExistsError(errno.EEXIST, "an inventory is there already (%s)" % ", ".join(present),
                                  directory)
    width = max(2, len(str(count)))
    names = ["%s%0*d" % (prefix, width, number) for number in range(1, count + 1)]
    os.makedirs(directory, exist_ok=True)
    hosts = []
    for number, name in enumerate(names):
        hosts += [
            "%s:" % name,
            "  hostname: %s" % _yaml(name if ssh_ports is None else "127.0.0.1"),
        ]
        if ssh_ports is not None:
            hosts.append("  port: %d" % ssh_ports[number])
        hosts += [
            "  groups: [simulated]",
            "  data:",
            "    site: %s" % _yaml("lab%d" % (number % 2 + 1)),
        ]
        if ssh_ports is None:
            hosts += [
                "  connection_options:",
                "    tarvix:",
                "      extras:",
                "        start: %s" % _yaml(simulator.command(name, *options)),
            ]
    groups = [
        "simulated:",
        "  platform: %s" % dialect,
        "  data:",
        "    kind: %s" % ("bundled simulator" if ssh_ports is None else "bundled simulator over SSH"),
    ]
    defaults = []
    if ssh_ports is not None:
        if password is None:
            password = binascii.hexlify(os.urandom(8)).decode("ascii")
        defaults += ["username: admin", "password: %s" % _yaml(password)]
    defaults += [
        "connection_options:",
        "  tarvix:",
        "    extras:",
        "      connection_timeout: 30",
    ]
    if ssh_ports is not None:
        # The server makes new host keys each time it starts.
        defaults.append("      host_key_checking: false")
    for filename, lines in zip(INVENTORY_FILES, (hosts, groups, defaults)):
        with open(os.path.join(directory, filename), "w") as out:
            out.write("---\n" + "\n".join(lines) + "\n")
    if ssh_ports is not None:
        routers = [{"hostname": name, "port": port, "username": "admin", "password": password}
                   for name, port in zip(names, ssh_ports)]
        if dialect != "generic":
            for router in routers:
                router["dialect"] = dialect
        with open(os.path.join(directory, ROUTERS_FILE), "w") as out:
            out.write('{"routers": [\n%s\n]}\n' % ",\n".join(json.dumps(router) for router in routers))
    return names


def serve(directory, dialect=None):
    """Serves the SSH simulator's routers of ``directory`` until Ctrl-C or
    SIGTERM; returns the exit status.  ``dialect``: the CLI dialect of the
    routers that name none."""
    from tarvix.simulator import server

    if not server.available():
        print("error: " + server.NEEDS_ASYNCSSH, file=sys.stderr)
        return FAILED
    path = os.path.join(directory, ROUTERS_FILE) if os.path.isdir(directory) else directory
    try:
        routers = server.load(path)
        if dialect:
            for router in routers:
                if isinstance(router, dict):
                    router.setdefault("dialect", dialect)
        server.Server(routers)
    except (OSError, ValueError) as error:
        print("error: %s: %s" % (path, getattr(error, "strerror", None) or error), file=sys.stderr)
        return USAGE

    def ready(running):
        ports = sorted(port for each in running.ports.values() for port in each)
        print("serving %d simulated routers over SSH on %s ports %d..%d (Ctrl-C stops)"
              % (len(running.ports), running.host, ports[0], ports[-1]), flush=True)

    try:
        server.serve(routers, ready=ready)
    except OSError as error:
        print("error: cannot serve the routers: %s" % error, file=sys.stderr)
        return FAILED
    return 0


def simulate(args):
    if args.fleet is None and not args.serve:
        print("error: tarvix simulate needs --fleet N or --serve", file=sys.stderr)
        return USAGE
    if args.fleet is not None and args.fleet < 1:
        print("error: --fleet must be 1 or more", file=sys.stderr)
        return USAGE
    if args.ssh_port is not None and args.fleet is None:
        print("error: --ssh-port goes with --fleet N", file=sys.stderr)
        return USAGE
    if args.fleet is None:
        return serve(args.directory, args.dialect)
    if args.ssh_port is not None and not 0 < args.ssh_port <= 65536 - args.fleet:
        print("error: --ssh-port: the %d ports from it must lie from 1 to 65535" % args.fleet, file=sys.stderr)
        return USAGE
    if args.serve and args.ssh_port is None:
        print("error: --serve with --fleet N needs --ssh-port", file=sys.stderr)
        return USAGE
    if os.path.exists(args.directory) and not os.path.isdir(args.directory):
        print("error: %s: a file is there, not a directory" % args.directory, file=sys.stderr)
        return USAGE
    try:
        names = write_fleet(args.directory, args.fleet, force=args.force, ssh_ports=args.ssh_port,
                            dialect=args.dialect or "generic")
    except FileExistsError as error:
        print("error: %s: %s; --force writes over it" % (args.directory, error.strerror), file=sys.stderr)
        return USAGE
    except OSError as error:
        print("error: %s: cannot write the inventory: %s"
              % (error.filename or args.directory, error.strerror or error), file=sys.stderr)
        return FAILED
    print("wrote an inventory of %d simulated devices (%s .. %s) to %s"
          % (len(names), names[0], names[-1], args.directory))
    if args.ssh_port is not None and not args.serve:
        print("serve them: tarvix simulate --serve %s" % args.directory)
    print("try: tarvix run --inventory %s --execute \"show clock\"" % args.directory, flush=True)
    if args.serve:
        return serve(args.directory, args.dialect)
    return 0


# -- tarvix run ------------------------------------------------------------

def _where(texts):
    pairs = []
    for text in texts or []:
        key, equals, value = text.partition("=")
        if not equals or not key.strip():
            raise UsageError("--where %r: give it as KEY=VALUE (e.g. site=lab1)" % text)
        pairs.append((key.strip(), value))
    return pairs


def _field(host, key):
    """A host's attribute or inventory data (its groups' and the defaults'
    included); None where it has none."""
    if key in HOST_FIELDS:
        return getattr(host, key)
    try:
        return host[key]
    except KeyError:
        return None


def _selects(args, where):
    def selected(host):
        if args.name and host.name not in args.name:
            return False
        if args.group and not any(host.has_parent_group(group) for group in args.group):
            return False
        return all(_field(host, key) is not None and str(_field(host, key)) == value for key, value in where)

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


def _check(args):
    if not args.execute and not args.configure:
        raise UsageError("nothing to run: give --execute CMD and/or --configure LINE")
    for option, texts in (("--execute", args.execute), ("--configure", args.configure)):
        complaint = line_break(option, texts)
        if complaint:
            raise UsageError(complaint)
    if args.workers < 1:
        raise UsageError("--workers must be 1 or more")
    hosts = os.path.join(args.inventory, INVENTORY_FILES[0])
    if not os.path.isfile(hosts):
        raise UsageError("--inventory %s: no %s there" % (args.inventory, INVENTORY_FILES[0]))
    for option, directory in (("--output", args.output), ("--session-log", args.session_log)):
        if directory:
            _directory(option, directory)
    return _where(args.where)


# -- the inventory, read before Nornir reads it ------------------------------
#
# Nornir's SimpleInventory takes whatever the YAML holds and fails later, on
# the first field it reaches, in words of its own code ("'list' object has no
# attribute 'items'"), or the host fails when it connects.  Each file is read
# here first, and the first thing wrong is told by file, host and field.

TEXT_FIELDS = ("hostname", "username", "password", "platform")


def _kind(value):
    if value is None:
        return "nothing"
    if isinstance(value, dict):
        return "a mapping"
    if isinstance(value, list):
        return "a list"
    if isinstance(value, bool):
        return "a yes/no value"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "text"
    return "a value of type %s" % type(value).__name__


def _read_yaml(path):
    """A YAML file's content, read as Nornir reads it; None when empty."""
    import ruamel.yaml

    try:
        with open(path, encoding="utf-8") as handle:
            return ruamel.yaml.YAML(typ="safe").load(handle)
    except ruamel.yaml.YAMLError as error:
        mark = getattr(error, "problem_mark", None) or getattr(error, "context_mark", None)
        problem = " ".join(str(getattr(error, "problem", None) or error).split())
        # A repeated key's message quotes both values: a password among them
        # must not be shown.
        problem = re.sub(r'^(found duplicate key "[^"]*") with value .*', r"\1", problem)
        raise UsageError("%s%s: not valid YAML: %s"
                         % (path, ", line %d" % (mark.line + 1) if mark is not None else "", problem))
    except UnicodeDecodeError:
        raise UsageError("%s: not UTF-8 text" % path)
    except OSError as error:
        raise UsageError("%s: cannot read it: %s" % (path, error.strerror or error))


def _mapping(where, value, optional=False):
    if value is None and optional:
        return {}
    if not isinstance(value, dict):
        raise UsageError("%s: a mapping (KEY: VALUE lines) belongs there, not %s" % (where, _kind(value)))
    return value


def _shown(value):
    return repr(value) if isinstance(value, (str, int, float)) and not isinstance(value, bool) else _kind(value)


def _port(where, value):
    number = int(value) if isinstance(value, str) and value.strip().isdigit() else value
    if isinstance(number, bool) or not isinstance(number, int) or not 0 < number < 65536:
        raise UsageError("%s: port %s is no port number (1 to 65535)" % (where, _shown(value)))


def _fields(where, body):
    """The fields a host, a group, the defaults and a connection option
    share."""
    for field in TEXT_FIELDS:
        value = body.get(field)
        if value is not None and not isinstance(value, str):
            # The value itself is not shown: it may be a password.
            raise UsageError("%s: %s is %s; give it as text (in quotes)" % (where, field, _kind(value)))
    if body.get("port") is not None:
        _port(where, body["port"])


def _start(where, value):
    starts = [value] if isinstance(value, str) else value
    if not isinstance(starts, list) or not 1 <= len(starts) <= 2 \
            or not all(isinstance(start, str) and start.strip() for start in starts):
        empty = isinstance(starts, list) and all(isinstance(start, str) and not start.strip() for start in starts)
        raise UsageError("%s: a command line belongs there (or a list of two for a dual-RP device), not %s"
                         % (where, "an empty one" if empty else _shown(value)))


def _tarvix_extras(where, extras):
    """The extras the "tarvix" connection plugin reads itself."""
    if "start" in extras:
        _start(where + ".start", extras["start"])
    timeout = extras.get("connection_timeout")
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                or not timeout > 0):
        raise UsageError("%s.connection_timeout: a number of seconds above 0 belongs there, not %s"
                         % (where, _shown(timeout)))
    for flag in ("host_key_checking", "learn_hostname"):
        if extras.get(flag) is not None and not isinstance(extras[flag], bool):
            raise UsageError("%s.%s: true or false belongs there, not %s" % (where, flag, _kind(extras[flag])))
    for name, credential in _mapping(where + ".credentials", extras.get("credentials"), optional=True).items():
        _mapping("%s.credentials.%s" % (where, name), credential)


def _element(where, body, groups, group_file):
    """Checks a host's, a group's or the defaults' body."""
    from tarvix.nornir import CONNECTION_NAME

    _mapping(where, body)
    _fields(where, body)
    _mapping(where + ": data", body.get("data"), optional=True)
    if "groups" in body:
        names = body["groups"]
        if names is not None and (not isinstance(names, list)
                                  or not all(isinstance(name, str) for name in names)):
            raise UsageError("%s: groups: a list of group names belongs there, not %s" % (where, _shown(names)))
        for name in names or []:
            if name not in groups:
                raise UsageError("%s: group %r is named but not defined in %s" % (where, name, group_file))
    options = _mapping(where + ": connection_options", body.get("connection_options", {}))
    for name, option in options.items():
        place = "%s: connection_options.%s" % (where, name)
        _mapping(place, option)
        _fields(place, option)
        extras = _mapping(place + ".extras", option.get("extras"), optional=True)
        if name == CONNECTION_NAME:
            _tarvix_extras(place + ".extras", extras)


def _check_inventory(directory):
    """Reads the inventory's files and refuses, in one line naming the file,
    the host or group and the field, whatever Nornir or the connections
    would fail on."""
    paths = [os.path.join(directory, name) for name in INVENTORY_FILES]
    hosts, groups, defaults = [_read_yaml(path) if os.path.exists(path) else None for path in paths]
    groups = _mapping(paths[1], groups, optional=True)
    for path, content, kind in ((paths[0], hosts, "host"), (paths[1], groups, "group")):
        for name, body in _mapping(path, content, optional=True).items():
            if name is None or isinstance(name, str) and not name.strip():
                raise UsageError("%s: a %s has an empty name" % (path, kind))
            if not isinstance(name, str):
                raise UsageError("%s: the %s name %s is read as %s; quote it" % (path, kind, name, _kind(name)))
            where = "%s: %s %s" % (path, kind, name)
            if body is None:
                raise UsageError("%s: nothing is given under it (write {} for a %s with no fields)"
                                 % (where, kind))
            _element(where, body, groups, INVENTORY_FILES[1])
    defaults = _mapping(paths[2], defaults, optional=True)
    if defaults:
        _element(paths[2], defaults, groups, INVENTORY_FILES[1])


def _nornir(args):
    from nornir import InitNornir

    _check_inventory(args.inventory)
    files = [os.path.join(args.inventory, name) for name in INVENTORY_FILES]
    # Its warning about an empty file would be a line of its own; a run with
    # no host says so anyway.
    quiet = logging.NullHandler()
    logging.getLogger("nornir").addHandler(quiet)
    try:
        return InitNornir(
            runner={"plugin": "threaded", "options": {"num_workers": args.workers}},
            inventory={"plugin": "SimpleInventory",
                       "options": {"host_file": files[0], "group_file": files[1], "defaults_file": files[2]}},
            logging={"enabled": False})
    except Exception as error:  # what the checks above did not foresee
        raise UsageError("--inventory %s: %s" % (args.inventory, " ".join(str(error).split())))
    finally:
        logging.getLogger("nornir").removeHandler(quiet)


# -- the files of hosts ----------------------------------------------------

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


def _plan_files(args, hosts):
    """The files each host will write: {name: (output file or None, session
    log given to its connection or None, every file)}.  Two hosts whose
    files would be one, also on a file system that ignores letter case, are
    refused."""
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
        for path in files:
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


def _create_files(plans):
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


# -- tarvix run: the hosts' tasks ------------------------------------------

def _text(output):
    return output if isinstance(output, str) else json.dumps(output, indent=2)


def _reason(text):
    """A message on one line: a link's error gives the device's last words
    on its first line and what was awaited on its second; both are told."""
    return "; ".join(line.strip() for line in str(text).splitlines() if line.strip())


def _error(outcome):
    """A failed Result's message: the device's words of a tarvix task, or
    for an exception that Nornir caught (its result a traceback) the
    exception itself."""
    error = outcome.exception
    if error is not None and outcome.result != str(error):
        return secrets.mask("%s: %s" % (type(error).__name__, error))
    return secrets.mask(str(outcome.result))


class _Interrupted(Exception):
    """The run was interrupted before this host's next step."""


class _Run(object):
    """What the hosts' tasks and the main thread share: the options, each
    host's files and report, the hosts in flight and the interrupt."""

    def __init__(self, args, plans):
        self.args = args
        self.plans = plans
        self.stop = threading.Event()
        self.signal = None
        self.lock = threading.Lock()
        self.inflight = {}
        self.reports = {}

    def check(self):
        if self.stop.is_set():
            raise _Interrupted()

    def waiting(self):
        """What ending the run waits for, in words."""
        with self.lock:
            names = sorted(self.inflight)
        if not names:
            return "no device in flight"
        return "ending %d device(s) in flight: %s" % (len(names), ", ".join(names))

    def step(self, name, done, doing):
        """A host is about to do ``doing`` on its device, having done
        ``done``: a cluster's worker tells its scheduler."""

    def abort_in_flight(self):
        """Ends the links of the hosts in flight, those still connecting
        included (lock-free on the connections), so that what each one
        waits for fails at once; its task still closes its connection.
        Every connection the plugin has in this process is the run's."""
        from tarvix.nornir.connection import abort_all

        abort_all()


def _parsed(host, entry):
    """Parses a command's output in place; what did not parse keeps its
    text and gets a warning."""
    from tarvix.bases import parsing
    from tarvix.core.errors import ParseError
    from tarvix.nornir import CONNECTION_NAME

    con = getattr(host.connections.get(CONNECTION_NAME), "connection", None)
    try:
        template = parsing.find_template(getattr(con, "template_platform", None), entry["command"])
        records = parsing.parse(template, entry["output"])
    except ParseError as error:
        entry["warning"] = " ".join(str(error).split())
        return
    if records:
        entry["output"] = records
    else:
        entry["warning"] = "the template for %r matched nothing in the output" % entry["command"]


def _run_extras(host, log, args):
    """The host's connection extras with what the run adds (its session
    log, --no-ssh-config), or None when it adds nothing."""
    from tarvix.nornir import CONNECTION_NAME

    if not log and not getattr(args, "no_ssh_config", False):
        return None
    extras = dict(host.get_connection_parameters(CONNECTION_NAME).extras or {})
    if log:
        extras["session_log"] = log
    if getattr(args, "no_ssh_config", False):
        extras["ssh"] = dict(extras.get("ssh") or {}, config=False)
    return extras


def _job(run):
    """The task each host runs: connect, the commands and lines, disconnect;
    the device's output to ``--output``, its report to ``run.reports``.
    Once the run is interrupted, a host not begun ends at once and one in
    flight before its next step."""
    from nornir.core.exceptions import NornirSubTaskError
    from nornir.core.task import Result

    from tarvix.core.errors import CommandError
    from tarvix.nornir import CONNECTION_NAME, tarvix_configure, tarvix_execute
    from tarvix.nornir.tasks import FAILURES

    args = run.args

    def work(task, report, done):
        """Works the host; returns the error, or None."""
        log = run.plans[task.host.name][1]
        try:
            extras = _run_extras(task.host, log, args)
            if extras is not None:
                task.host.open_connection(CONNECTION_NAME, task.nornir.config, extras=extras)
            for command in args.execute or []:
                run.check()
                run.step(task.host.name, done, command)
                result = task.run(tarvix_execute, command=command, timeout=args.timeout, name=command)
                done.append(command)
                entry = {"command": command, "output": result[0].result, "warning": None}
                if args.parse:
                    _parsed(task.host, entry)
                report["outputs"].append(entry)
            if args.configure:
                run.check()
                lines = list(args.configure)
                run.step(task.host.name, done, "configuration of %d line(s)" % len(lines))
                try:
                    result = task.run(tarvix_configure, lines=lines, timeout=args.timeout, name="configure")
                except NornirSubTaskError as failure:
                    refused = failure.result[0].exception
                    if isinstance(refused, CommandError) and refused.command in lines:
                        applied = lines.index(refused.command)
                        done.append("%d of %d configuration line(s), the next one refused" % (applied, len(lines)))
                    else:
                        done.append("configuration begun, %d line(s), not known how far" % len(lines))
                    raise
                done.append("%d configuration line(s)" % len(lines))
                report["outputs"].append({"command": "configure", "lines": lines, "output": result[0].result,
                                          "warning": None})
        except _Interrupted:
            return "stopped before its next step"
        except NornirSubTaskError as failure:
            return _error(failure.result[0])
        except FAILURES as failure:
            return str(failure)
        except Exception as failure:  # told in the table; its traceback with --verbose
            logging.getLogger("tarvix.fleet").debug("%s failed", task.host.name, exc_info=True)
            return "%s: %s" % (type(failure).__name__, failure)
        return None

    def job(task):
        host = task.host
        report = {"name": host.name, "status": "ok", "seconds": 0.0, "error": None, "outputs": [], "done": []}
        began = time.monotonic()
        if run.stop.is_set():
            report["status"], report["error"] = "interrupted", "not begun: the run was interrupted before it began"
        else:
            with run.lock:
                run.inflight[host.name] = host
            try:
                error = work(task, report, report["done"])
                stopped = run.stop.is_set()
            finally:
                with run.lock:
                    run.inflight.pop(host.name, None)
            if CONNECTION_NAME in host.connections:
                try:
                    host.close_connection(CONNECTION_NAME)
                except FAILURES as closing:
                    # A link the interrupt ended does not close cleanly.
                    if not stopped:
                        error = error or str(closing)
            if error:
                report["status"] = "interrupted" if stopped else "failed"
                report["error"] = error
        _save(run.plans[host.name][0], report)
        report["seconds"] = time.monotonic() - began
        run.reports[host.name] = report
        failed = report["status"] != "ok"
        return Result(host=host, result=report["error"] if failed else _output_text(report), failed=failed,
                      seconds=report["seconds"])

    return job


def _output_text(report):
    """What a host's output file holds."""
    lines = []
    for entry in report["outputs"]:
        lines.append("--- %s\n%s" % (entry["command"], _text(entry["output"])))
        if entry["warning"]:
            lines.append("!!! warning: %s" % entry["warning"])
    if report["status"] != "ok":
        lines.append("!!! %s: %s" % (report["status"], report["error"]))
    return "\n".join(lines) + "\n"


def _unsaved(report, path, failure):
    """A report whose file could not be written: what was done is told."""
    done = ", ".join(report["done"]) or "nothing"
    report["error"] = "output not written to %s: %s; done on the device: %s%s" % (
        path, failure.strerror or failure, done,
        "; then %s: %s" % (report["status"], _reason(report["error"])) if report["error"] else "")
    report["status"] = "unsaved"


def _save(output, report):
    """Writes a host's output file (``output``, or None for none)."""
    if output:
        try:
            with open(output, "w", encoding="utf-8") as out:
                out.write(_output_text(report))
        except OSError as failure:
            _unsaved(report, output, failure)


# -- tarvix run: progress, signals, the table ------------------------------

def _note(report):
    """A report's last column: the reason it failed, or its warnings."""
    if report["status"] != "ok":
        return _reason(report["error"])
    return "; ".join("warning: %s" % entry["warning"] for entry in report["outputs"] if entry["warning"])


class Progress(object):
    """A Nornir processor that shows the devices as they finish: a bar on a
    terminal, else a line per device.  ``reports`` holds what each host's
    task reported."""

    def __init__(self, total, stream, reports=None):
        self.total = total
        self.stream = stream
        self.reports = {} if reports is None else reports
        self.done = 0
        self.failed = 0
        self.lock = threading.Lock()
        self.bar = None
        if stream.isatty():
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, Progress as Bar, TextColumn, \
                TimeElapsedColumn

            self.bar = Bar(TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
                           TextColumn("{task.fields[failed]} failed"), TimeElapsedColumn(),
                           console=Console(file=stream), transient=False)
            self.task_id = self.bar.add_task("devices", total=total, failed=0)

    def __enter__(self):
        if self.bar is not None:
            self.bar.start()
        return self

    def __exit__(self, *exc):
        if self.bar is not None:
            try:
                self.bar.stop()
            except OSError:  # the terminal is gone (hung up)
                pass

    def say(self, line):
        """A line for the user, above the bar if there is one; nothing
        where the terminal is gone (a hang-up): the run goes on."""
        with self.lock:
            try:
                if self.bar is None:
                    print(line, file=self.stream, flush=True)
                else:
                    self.bar.console.print(line, markup=False, highlight=False, soft_wrap=True)
            except OSError:
                pass

    def task_started(self, task):
        pass

    def task_completed(self, task, result):
        pass

    def task_instance_started(self, task, host):
        pass

    def subtask_instance_started(self, task, host):
        pass

    def subtask_instance_completed(self, task, host, result):
        pass

    def task_instance_completed(self, task, host, result):
        outcome = result[0]
        report = self.reports.get(host.name)
        if report is not None:
            status, note = report["status"], _note(report)
        else:
            status, note = ("failed", _reason(_error(outcome))) if result.failed else ("ok", "")
        with self.lock:
            self.done += 1
            self.failed += status != "ok"
            line = "[%d/%d] %s: %s in %.2f s" % (self.done, self.total, host.name, status,
                                                 getattr(outcome, "seconds", 0.0))
            if note:
                line += ": %s" % note
        if self.bar is None or status != "ok":
            # The bar counts; a failure is also told above it as it happens.
            self.say(line)
        if self.bar is not None:
            with self.lock:
                self.bar.update(self.task_id, advance=1, failed=self.failed)


class _StderrHandler(logging.Handler):
    """Writes to the current ``sys.stderr``, which the progress bar may have
    redirected to print above itself."""

    def emit(self, record):
        try:
            sys.stderr.write(self.format(record) + "\n")
        except Exception:
            self.handleError(record)


# The signals that interrupt a run; it then exits with 128 + the number.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


class _Signals(object):
    """While a run lasts, the first interrupt (Ctrl-C, SIGTERM, SIGHUP) stops
    it and the main thread ends it; a second one exits at once.  Only the
    main thread can take signals: elsewhere this does nothing."""

    def __init__(self, run):
        self.run = run
        self.previous = {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for number in STOP_SIGNALS:
                self.previous[number] = signal.signal(number, self.handle)
        return self

    def __exit__(self, *exc):
        for number, handler in self.previous.items():
            signal.signal(number, handler)

    def handle(self, number, frame):
        if self.run.stop.is_set():
            # Nothing more is written: the outputs of the hosts done are.
            # No lock is taken here (this thread may hold it): the links'
            # terminals hang up as the process ends, which ends their programs.
            try:
                if os.isatty(2):
                    os.write(2, b"\x1b[?25h\n")  # the progress bar hid the cursor
                os.write(2, b"interrupted again: exiting at once\n")
            except OSError:
                pass
            os._exit(128 + number)
        self.run.signal = number
        self.run.stop.set()


def _signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def table(rows):
    """The closing table: (device, status, seconds, error) rows."""
    header = ("device", "status", "seconds", "error")
    cells = [header] + [(name, status, "%.2f" % seconds, error) for name, status, seconds, error in rows]
    widths = [max(len(row[column]) for row in cells) for column in range(3)]
    lines = []
    for row in cells:
        line = "  ".join(cell.ljust(width) if column != 2 else cell.rjust(width)
                         for column, (cell, width) in enumerate(zip(row[:3], widths)))
        lines.append((line + "  " + row[3]).rstrip())
    return "\n".join(lines)


def _work_hosts(nr, run, progress):
    """Runs the job on Nornir's threaded runner in a thread of its own, so
    that this thread stays free to take an interrupt: then it stops hosts
    from beginning, ends the links of those in flight and says so."""
    outcome = {}

    def work():
        try:
            outcome["results"] = nr.with_processors([progress]).run(task=_job(run), name="tarvix run")
        except BaseException as error:  # handed to the main thread
            outcome["error"] = error

    worker = threading.Thread(target=work, name="tarvix run", daemon=True)
    worker.start()
    told = False
    while worker.is_alive():
        worker.join(0.2)
        if run.stop.is_set():
            # Again and again: a host that was about to open its link
            # when told is ended too.
            run.abort_in_flight()
            if not told:
                told = True
                progress.say("interrupted (%s): %s; Ctrl-C again exits at once"
                             % (_signal_name(run.signal), run.waiting()))
    if "error" in outcome:
        raise outcome["error"]
    # A task that failed past its own handling (a fault here) left no
    # report: Nornir's result tells what it raised.
    for name, result in outcome["results"].items():
        if name not in run.reports:
            run.reports[name] = {"name": name, "status": "failed", "seconds": 0.0, "done": [], "outputs": [],
                                 "error": _error(result[0])}


# -- tarvix run on a Dask cluster --------------------------------------------
#
# Each host's job runs on a worker, in a Nornir of that one host, and sends
# back its report and its session log's bytes; the output files and the
# session logs are written here, by the same code as a threaded run's.

class _WorkerRun(_Run):
    """A host's share of a cluster run, on the worker that works it: the
    run's interrupt is what the workers were told, and each step is told to
    the scheduler first."""

    class _Stop(object):
        def __init__(self, token):
            self.token = token

        def is_set(self):
            from tarvix.nornir.dask_runner import stopped

            return stopped(self.token)

    def __init__(self, args, plans, token):
        _Run.__init__(self, args, plans)
        self.token = token
        self.stop = self._Stop(token)

    def step(self, name, done, doing):
        from tarvix.nornir.dask_runner import note

        note(self.token, name, done, doing)


def _not_begun(name, status, error, done=()):
    return {"name": name, "status": status, "seconds": 0.0, "error": error, "outputs": [], "done": list(done)}


def _topic(token):
    """The topic of a cluster run's log records."""
    return "tarvix-run-" + token


class _Forward(logging.Handler):
    """Sends the log records of one job (its thread's) to the scheduler,
    under its run's topic: the command that started the run tells them."""

    def __init__(self, topic, level):
        from distributed import get_worker

        logging.Handler.__init__(self, level)
        self.topic = topic
        self.thread = threading.current_thread().ident
        self.worker = get_worker()
        # Masked here: a child logger's records come up unmasked, and the
        # scheduler keeps what is sent.
        self.addFilter(secrets.FILTER)

    def emit(self, record):
        if record.thread != self.thread:
            return
        try:
            self.worker.log_event(self.topic, {
                "name": record.name, "levelno": record.levelno, "levelname": record.levelname,
                "msg": record.getMessage(), "created": record.created, "threadName": record.threadName})
        except Exception:
            self.handleError(record)


class _JobLogging(object):
    """While jobs of cluster runs work in this worker process, the
    framework's logger lets through what the most talkative of them
    forwards; its level is given back after the last one."""
    lock = threading.Lock()
    jobs = []
    level = None

    def __init__(self, token, verbose):
        self.handler = _Forward(_topic(token), logging.DEBUG if verbose else logging.WARNING)

    def __enter__(self):
        logger = logging.getLogger("tarvix")
        with self.lock:
            if not self.jobs:
                _JobLogging.level = logger.level
            self.jobs.append(self.handler.level)
            logger.setLevel(min(self.jobs))
            logger.addHandler(self.handler)

    def __exit__(self, *exc):
        logger = logging.getLogger("tarvix")
        with self.lock:
            logger.removeHandler(self.handler)
            self.jobs.remove(self.handler.level)
            logger.setLevel(min(self.jobs) if self.jobs else _JobLogging.level)


def cluster_job(token, args, host, config, logged):
    """A host's job on a worker: {"report": its report, "logs": {file name:
    bytes of its session log}}.  ``logged``: whether a session log is
    kept.  Nothing raises past it (Dask would log the task with its
    arguments)."""
    try:
        with _JobLogging(token, args.verbose):
            return _cluster_job(token, args, host, config, logged)
    except Exception as error:
        return {"report": _not_begun(host.name, "failed", "%s: %s" % (type(error).__name__, error)), "logs": {}}


def _cluster_job(token, args, host, config, logged):
    import shutil
    import tempfile

    from nornir.core.task import Task

    from tarvix.nornir.dask_runner import begin, stopped, worker_nornir, working

    name = host.name
    if stopped(token):
        return {"report": _not_begun(name, "interrupted", "not begun: the run was interrupted before it began"),
                "logs": {}}
    lost = begin(token, name)
    if lost:
        return {"report": _not_begun(name, "failed", str(lost), lost.done), "logs": {}}
    folder = tempfile.mkdtemp(prefix="tarvix-run-") if logged else None
    working(token, host)
    try:
        log = os.path.join(folder, file_stem(name) + ".log") if folder else None
        run = _WorkerRun(args, {name: (None, log, [])}, token)
        nr = worker_nornir(host, config)
        try:
            results = Task(_job(run), nr, global_dry_run=False, name="tarvix run",
                           processors=nr.processors).start(host)
        finally:
            host.close_connections()
        report = run.reports.get(name)
        if report is None:  # a fault past the job's own handling: Nornir's result tells it
            report = _not_begun(name, "failed", _error(results[0]))
        logs = {}
        for entry in sorted(os.listdir(folder)) if folder else []:
            with open(os.path.join(folder, entry), "rb") as handle:
                logs[entry] = handle.read()
        return {"report": report, "logs": logs}
    finally:
        working(token, host, busy=False)
        if folder:
            shutil.rmtree(folder, ignore_errors=True)


def _cluster_option(text):
    """--cluster local[:N]: the number of worker processes."""
    kind, colon, count = text.partition(":")
    if kind != "local" or colon and not count.isdigit() or colon and int(count) < 1:
        raise UsageError("--cluster %s: give local or local:N, N worker processes (a running scheduler's "
                         "address goes to --scheduler)" % text)
    return int(count) if colon else 2


def _cluster(args, hosts):
    """The cluster a run asks for, not yet started, or None for a threaded
    run; refuses what cannot be used."""
    tls = [args.tls_ca_file, args.tls_cert, args.tls_key]
    if args.cluster and args.scheduler:
        raise UsageError("--cluster starts a local cluster, --scheduler uses a running one: give one of them")
    if any(tls) and not args.scheduler:
        raise UsageError("--tls-ca-file, --tls-cert and --tls-key go with --scheduler tls://...")
    if args.allow_plaintext_scheduler and not args.scheduler:
        raise UsageError("--allow-plaintext-scheduler goes with --scheduler")
    if args.site_resource and not args.scheduler:
        raise UsageError("--site-resource goes with --scheduler (a local cluster's workers offer no resources)")
    if args.worker_wait is not None and not (args.cluster or args.scheduler):
        raise UsageError("--worker-wait goes with --cluster or --scheduler")
    if not (args.cluster or args.scheduler):
        return None
    processes = _cluster_option(args.cluster) if args.cluster else None
    try:
        from tarvix.nornir import dask_runner
        import distributed  # noqa: F401
    except ImportError:
        raise _NoDask()
    if args.scheduler:
        try:
            dask_runner.check_scheduler(args.scheduler, dask_runner.has_secrets(hosts.values()),
                                        args.allow_plaintext_scheduler)
        except dask_runner.ClusterError as error:
            raise UsageError(str(error))
        for option, path in zip(("--tls-ca-file", "--tls-cert", "--tls-key"), tls):
            if path and not os.path.isfile(path):
                raise UsageError("%s %s: no such file" % (option, path))
        if any(tls) and not all(tls):
            raise UsageError("--tls-ca-file, --tls-cert and --tls-key go together")
        if any(tls) and not args.scheduler.startswith("tls://"):
            raise UsageError("--tls-ca-file, --tls-cert and --tls-key go with a tls:// scheduler, not %s"
                             % args.scheduler)
        certificates = all(tls) or not any(tls) and dask_runner.tls_configured()
        if args.scheduler.startswith("tls://") and not certificates:
            raise UsageError("--scheduler %s: give --tls-ca-file, --tls-cert and --tls-key (or name them in "
                             "Dask's configuration)" % args.scheduler)
        return dask_runner.Cluster(scheduler=args.scheduler, security=dask_runner.security(*tls))
    threads = -(-args.workers // processes)
    return dask_runner.Cluster(workers=processes, threads=threads)


class _NoDask(Exception):
    pass


def _work_on_cluster(nr, run, progress, client):
    """Runs the job on a Dask cluster's workers; the main thread waits for
    the hosts and takes an interrupt: then the hosts not begun are
    cancelled and the links of those in flight ended."""
    from nornir.core.task import MultiResult, Result

    from tarvix.nornir import dask_runner

    token = dask_runner.token()
    hosts = nr.inventory.hosts
    config = nr.config
    logged = bool(run.args.session_log)
    with dask_runner.scheduler_link():
        submit = dask_runner.Submitter(
            client, token, "tarvix-run", cluster_job,
            lambda name: (token, run.args, dask_runner.host_copy(hosts[name]), config, logged),
            run.args.site_resource, lambda name, field: _field(hosts[name], field))

    def done(name, value, error):
        if value is not None:
            report = value["report"]
        elif error is None:
            report = _not_begun(name, "interrupted", "not begun: the run was interrupted before it began")
        else:
            told = isinstance(error, (dask_runner.WorkerLost, dask_runner.ClusterError))
            report = _not_begun(name, "failed", str(error) if told else "%s: %s" % (type(error).__name__, error),
                                getattr(error, "done", ()))
        output, log, files = run.plans[name]
        for entry, data in sorted((value or {}).get("logs", {}).items()):
            path = os.path.join(os.path.dirname(log), entry) if log else None
            if path not in files:
                continue
            try:
                with open(path, "wb") as out:
                    out.write(data)
            except OSError as failure:
                _unsaved(report, path, failure)
        _save(output, report)
        run.reports[name] = report
        failed = report["status"] != "ok"
        result = Result(hosts[name], result=report["error"] if failed else "", failed=failed,
                        seconds=report["seconds"])
        results = MultiResult("tarvix run")
        results.append(result)
        progress.task_instance_completed(None, hosts[name], results)

    told = []

    def tell():
        if not told:
            told.append(True)
            progress.say("interrupted (%s): the devices not begun are cancelled, those in flight ended; "
                         "Ctrl-C again exits at once" % _signal_name(run.signal))

    def forwarded(event):
        # A record of this run's jobs on the workers (--verbose: every line
        # sent; else warnings), told here as a threaded run's are.
        record = logging.makeLogRecord(event[1])
        logging.getLogger(record.name).handle(record)

    topic = _topic(token)
    with dask_runner.scheduler_link():
        client.subscribe_topic(topic, forwarded)
    futures = {}
    for name in sorted(hosts):
        refused = submit.refused(name)
        if refused is not None:
            done(name, None, refused)
        else:
            with dask_runner.scheduler_link():
                futures[submit(name)] = name
    try:
        dask_runner.collect(client, token, futures, submit, done, stop=run.stop, told=tell,
                            grace=run.args.worker_wait)
    finally:
        dask_runner.forget(client, token)
        try:
            client.unsubscribe_topic(topic)
        except Exception:
            pass


def _document(run, names, elapsed):
    """The run as one JSON document."""
    hosts = []
    for name in names:
        report = run.reports[name]
        hosts.append({"name": name, "status": report["status"], "seconds": round(report["seconds"], 3),
                      "error": report["error"], "done": report["done"],
                      "outputs": [dict(entry) for entry in report["outputs"]]})
    counts = {status: sum(1 for host in hosts if host["status"] == status)
              for status in ("ok", "failed", "unsaved", "interrupted")}
    document = {"hosts": hosts}
    document.update(counts)
    document.update(seconds=round(elapsed, 3), workers=run.args.workers,
                    interrupted_by=_signal_name(run.signal) if run.signal else None)
    return document


def run(args):
    try:
        return _run(args)
    except KeyboardInterrupt:
        # Before the hosts are begun, or once they are done.
        print("interrupted", file=sys.stderr)
        return INTERRUPTED


def _run(args):
    try:
        where = _check(args)
    except UsageError as error:
        print("error: %s" % error, file=sys.stderr)
        return USAGE
    try:
        import nornir  # noqa: F401
        import rich  # noqa: F401
    except ImportError:
        print("error: %s" % NEEDS_NORNIR, file=sys.stderr)
        return FAILED
    if args.parse:
        from tarvix.bases.parsing import INSTALL_HINT
        try:
            import ntc_templates  # noqa: F401
            import textfsm  # noqa: F401
        except ImportError:
            print("error: %s" % INSTALL_HINT, file=sys.stderr)
            return FAILED
    try:
        nr = _nornir(args)
    except UsageError as error:
        print("error: %s" % error, file=sys.stderr)
        return USAGE
    nr = nr.filter(filter_func=_selects(args, where))
    names = sorted(nr.inventory.hosts)
    if not names:
        print("error: no device in %s matches the filters" % args.inventory, file=sys.stderr)
        return USAGE
    try:
        plans = _plan_files(args, nr.inventory.hosts)
        cluster = _cluster(args, nr.inventory.hosts)
    except UsageError as error:
        print("error: %s" % error, file=sys.stderr)
        return USAGE
    except _NoDask:
        from tarvix.nornir.dask_runner import NEEDS_DASK

        print("error: %s" % NEEDS_DASK, file=sys.stderr)
        return FAILED
    if cluster is None:
        return _hosts_run(args, nr, names, plans, None)
    from tarvix.nornir import dask_runner
    from tarvix.nornir.dask_runner import ClusterError, check_workers, has_secrets

    status = []
    try:
        with cluster as client:
            with dask_runner.scheduler_link():
                try:
                    check_workers(client, has_secrets(nr.inventory.hosts.values()), args.allow_plaintext_scheduler)
                except ClusterError as error:
                    print("error: %s" % error, file=sys.stderr)
                    return USAGE
                args.workers = sum(client.nthreads().values())
            status.append(_hosts_run(args, nr, names, plans, client))
        return status[0]
    except KeyboardInterrupt:
        if not status:
            raise
        return status[0]  # told already: only the cluster's closing was cut short
    except ClusterError as error:  # the scheduler lost past what the run tells among them
        print("error: %s" % error, file=sys.stderr)
        return FAILED


def _hosts_run(args, nr, names, plans, client):
    """Works the hosts, on the threaded runner or (``client``) on a Dask
    cluster, and tells the outcome."""
    try:
        _create_files(plans)
    except UsageError as error:
        print("error: %s" % error, file=sys.stderr)
        return USAGE

    handler = _StderrHandler()
    handler.setFormatter(logging.Formatter("%(message)s"))
    handler.addFilter(secrets.FILTER)
    logger = logging.getLogger("tarvix")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if args.verbose else logging.WARNING)
    # Nornir reports what its tasks raise through logging, which is not set
    # up here: the results carry them.
    quiet = logging.NullHandler()
    logging.getLogger("nornir").addHandler(quiet)
    run = _Run(args, plans)
    began = time.monotonic()
    try:
        with _Signals(run), Progress(len(names), sys.stderr, run.reports) as progress:
            if client is None:
                _work_hosts(nr, run, progress)
            else:
                _work_on_cluster(nr, run, progress, client)
    finally:
        logger.removeHandler(handler)
        logging.getLogger("nornir").removeHandler(quiet)
    elapsed = time.monotonic() - began

    counts = {"ok": 0, "failed": 0, "unsaved": 0, "interrupted": 0}
    for name in names:
        counts[run.reports[name]["status"]] += 1
    if args.json:
        print(json.dumps(secrets.mask_report(_document(run, names, elapsed))))
    else:
        print(table([(name, run.reports[name]["status"], run.reports[name]["seconds"], _note(run.reports[name]))
                     for name in names]))
        summary = "%d device(s): %d ok, %d failed" % (len(names), counts["ok"], counts["failed"])
        for status in ("unsaved", "interrupted"):
            if counts[status]:
                summary += ", %d %s" % (counts[status], status)
        print("%s, in %.2f s with %d worker(s)" % (summary, elapsed, args.workers))
        if args.output:
            print("output of each device in %s" % args.output)
    if run.signal:
        return 128 + run.signal
    return FAILED if len(names) > counts["ok"] else 0


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is no number of seconds" % text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("give more than 0 seconds, not %r" % text)
    return value


def simulator_dialects():
    from tarvix.simulator import DIALECTS

    return DIALECTS


def add_parsers(commands):
    """Adds the subcommands ``run`` and ``simulate`` to the CLI's parsers."""
    parser = commands.add_parser(
        "run", help="run commands on every device of a Nornir inventory (needs tarvix[nornir])",
        description="Runs --execute commands and --configure lines on the devices of a Nornir SimpleInventory "
                    "(hosts.yaml, groups.yaml, defaults.yaml) through the 'tarvix' connection plugin, "
                    "--workers devices at a time, and prints a table of the outcome. Exit status 1 when "
                    "any device failed.")
    parser.add_argument("--inventory", required=True, metavar="DIR",
                        help="directory of hosts.yaml (and optionally groups.yaml, defaults.yaml)")
    parser.add_argument("--name", action="append", metavar="HOST", help="only this host (repeatable: any of them)")
    parser.add_argument("--group", action="append", metavar="GROUP",
                        help="only hosts of this group (repeatable: any of them)")
    parser.add_argument("--where", action="append", metavar="KEY=VALUE",
                        help="only hosts whose inventory field or data KEY is VALUE (repeatable: all of them)")
    parser.add_argument("--execute", action="append", metavar="CMD", help="exec command to run (repeatable)")
    parser.add_argument("--configure", action="append", metavar="LINE",
                        help="configuration line to apply after the commands (repeatable)")
    parser.add_argument("--workers", type=int, default=20, metavar="N",
                        help="devices worked at the same time (default: 20)")
    parser.add_argument("--timeout", type=_seconds, metavar="S",
                        help="seconds each command and the configuration may take (default: the os plugin's, "
                             "60 for the generic one)")
    parser.add_argument("--output", metavar="DIR",
                        help="write each device's output to DIR/<host>.txt (characters other than letters, "
                             "digits and ._@+- written as %%XX)")
    parser.add_argument("--session-log", metavar="DIR",
                        help="record each device's session (secrets masked) to DIR/<host>.log")
    parser.add_argument("--parse", action="store_true",
                        help="parse the command output into records; a command without a template, or whose "
                             "template matches nothing, keeps its text and gets a warning")
    parser.add_argument("--json", action="store_true",
                        help="print the run as one JSON document instead of the table")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every line sent (never passwords)")
    parser.add_argument("--no-ssh-config", action="store_true",
                        help="ssh:// links do not read the user's ssh configuration (~/.ssh/config)")
    cluster = parser.add_argument_group("on a Dask cluster (needs tarvix[dask])")
    cluster.add_argument("--cluster", metavar="local[:N]",
                         help="work the devices on a local cluster of N worker processes (default 2), started "
                              "and stopped by the run; --workers devices at a time in all")
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="work the devices on the workers of a running Dask scheduler: tcp://HOST:PORT, "
                              "or tls://HOST:PORT with the certificate options")
    cluster.add_argument("--tls-ca-file", metavar="FILE", help="the CA certificate for a tls:// scheduler")
    cluster.add_argument("--tls-cert", metavar="FILE", help="this client's certificate for a tls:// scheduler")
    cluster.add_argument("--tls-key", metavar="FILE", help="this client's key for a tls:// scheduler")
    cluster.add_argument("--site-resource", metavar="FIELD",
                         help="with --scheduler: run each device on the workers that offer the resource "
                              "FIELD-VALUE, VALUE its inventory field or data FIELD (e.g. --site-resource site: "
                              "workers started with --resources \"site-lab1=1000\" take the devices of site lab1); "
                              "a device no worker takes fails at once")
    cluster.add_argument("--worker-wait", metavar="SECONDS", type=_seconds,
                         help="how long a device waits for a worker once none of the cluster can take it, "
                              "before it fails (default 30)")
    cluster.add_argument("--allow-plaintext-scheduler", action="store_true",
                         help="send the inventory's passwords to a --scheduler off this machine over plain "
                              "tcp:// all the same (by default refused: use tls://)")
    parser.set_defaults(handler=run)

    parser = commands.add_parser(
        "simulate", help="write a Nornir inventory of bundled-simulator devices, or serve them over SSH",
        description="With --fleet N, writes hosts.yaml, groups.yaml and defaults.yaml into DIR: N devices "
                    "sim-r01, sim-r02, ... each reached by spawning the bundled router simulator, so that "
                    "'tarvix run --inventory DIR' works without any server; with --ssh-port too, the devices are "
                    "routers of the SSH simulator on 127.0.0.1 (listed in DIR/routers.json, where each may get "
                    "the console's knobs as \"options\"). With --serve, serves the routers of DIR/routers.json "
                    "(or of a file of that form) over SSH from this one process until Ctrl-C or SIGTERM.")
    parser.add_argument("--fleet", type=int, metavar="N", help="number of devices")
    parser.add_argument("--ssh-port", type=int, metavar="PORT",
                        help="with --fleet: the devices are SSH simulator routers on ports PORT, PORT+1, ...")
    parser.add_argument("--serve", action="store_true",
                        help="serve the routers of DIR/routers.json over SSH (needs tarvix[serve])")
    parser.add_argument("--dialect", choices=simulator_dialects(),
                        help="the CLI dialect of the simulated devices: generic (the default) or commit (the "
                             "example plugin's, os and inventory platform \"commit\"); with --serve alone, of the "
                             "routers that name none")
    parser.add_argument("--force", action="store_true",
                        help="write over the inventory files already in DIR (by default they are kept and "
                             "nothing is written)")
    parser.add_argument("directory", metavar="DIR", help="the inventory's directory (with --serve alone, "
                                                        "or a routers file)")
    parser.set_defaults(handler=simulate)
