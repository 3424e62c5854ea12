"""``tarvix simulate``: an inventory of bundled-simulator devices to try
``tarvix run`` on, and the SSH simulator serving the routers of one."""
import errno
import json
import os

from tarvix.eal.secrets import random_token
from tarvix.exits import FAILED, USAGE, fail
from tarvix.fleet.inventory import INVENTORY_FILES
from tarvix.simulator import ROUTERS_FILE


def _yaml(value):
    """A scalar as YAML: JSON's double-quoted strings are YAML's too."""
    return json.dumps(value)


# Where the spawned devices keep their configuration across runs (and a
# dual-RP pair its shared state), inside the inventory's directory.
STATE_FOLDER = "state"
CHASSIS = ("single_rp", "dual_rp")


def write_fleet(directory, count, prefix="sim-r", force=True, ssh_ports=None, password=None, dialect="generic",
                chassis="single_rp"):
    """Writes a SimpleInventory of ``count`` bundled-simulator devices into
    ``directory`` (made if missing) and returns their names.  The hosts
    belong to group "simulated" and alternate between sites "lab1" and
    "lab2" (inventory data ``site``).  By default each host's start command
    spawns a simulator of its own, so no server runs; it keeps its
    configuration across runs in ``STATE_FOLDER/<host>.json``.  With
    ``ssh_ports`` (the first port, or a port per RP) the hosts are the SSH
    simulator's routers on 127.0.0.1, reached by the plugin's default ssh
    start command without host key checking; the server's file of them,
    ``routers.json``, is written too (``tarvix simulate --serve`` serves
    it), and so is ``password`` (default: a new random one) for user
    "admin".  Unless ``force`` is set, an inventory file already there is
    FileExistsError, and nothing is written.  ``dialect``: the CLI dialect
    the simulated devices speak (tarvix.simulator.DIALECTS), which is the os
    plugin the inventory names as their platform.  ``chassis``: "dual_rp"
    makes routers of two RPs (two consoles, or two ports, each)."""
    from tarvix import simulator

    if dialect not in simulator.DIALECTS:
        raise ValueError("the simulator speaks no dialect %r (%s)" % (dialect, ", ".join(simulator.DIALECTS)))
    if chassis not in CHASSIS:
        raise ValueError("a simulated router's chassis is %s, not %r" % (" or ".join(CHASSIS), chassis))
    if count < 1:
        raise ValueError("a fleet has at least one device")
    rps = 2 if chassis == "dual_rp" else 1
    if isinstance(ssh_ports, int):
        ssh_ports = list(range(ssh_ports, ssh_ports + count * rps))
    if ssh_ports is not None and (len(ssh_ports) != count * rps or not all(0 < port < 65536 for port in ssh_ports)):
        raise ValueError("a fleet over SSH needs a port from 1 to 65535 for each of its %d RPs" % (count * rps))
    files = INVENTORY_FILES + ((ROUTERS_FILE,) if ssh_ports is not None else ())
    if not force:
        present = [name for name in files if os.path.lexists(os.path.join(directory, name))]
        if present:
            raise FileExistsError(errno.EEXIST, "an inventory is there already (%s)" % ", ".join(present),
                                  directory)
    width = max(2, len(str(count)))
    names = ["%s%0*d" % (prefix, width, number) for number in range(1, count + 1)]
    ports = None if ssh_ports is None else [ssh_ports[number * rps:(number + 1) * rps] for number in range(count)]
    os.makedirs(directory, exist_ok=True)
    if ssh_ports is not None and password is None:
        password = random_token(8)
    starts = ([_spawned(directory, name, dialect, rps) for name in names] if ports is None
              else [None if rps == 1 else ["ssh://admin@127.0.0.1:%d" % port for port in each] for each in ports])
    contents = (_host_lines(names, ports, starts), _group_lines(dialect, ssh_ports),
                _default_lines(ssh_ports, password))
    for filename, lines in zip(INVENTORY_FILES, contents):
        with open(os.path.join(directory, filename), "w") as out:
            out.write("---\n" + "\n".join(lines) + "\n")
    if ssh_ports is not None:
        _write_routers(directory, names, ports, password, dialect)
    return names


def _spawned(directory, name, dialect, rps):
    """The start command(s) of a spawned device: its configuration, and a
    pair's shared state, in the inventory's state folder (made here)."""
    from tarvix import simulator

    state = os.path.join(os.path.abspath(directory), STATE_FOLDER)
    options = (["--dialect", dialect] if dialect != "generic" else []) + [
        "--config-file", os.path.join(state, name + ".json")]
    if rps == 1:
        os.makedirs(state, exist_ok=True)
        return simulator.command(name, *options)
    pair_dir = os.path.join(state, name + ".pair")
    os.makedirs(pair_dir, exist_ok=True)
    return simulator.pair(name, pair_dir, *options)


def _host_lines(names, ports, starts):
    """hosts.yaml of a simulated fleet: each host's start, where it has one
    of its own (a spawned device; a dual-RP router's two sessions)."""
    hosts = []
    for number, name in enumerate(names):
        hosts += [
            "%s:" % name,
            "  hostname: %s" % _yaml(name if ports is None else "127.0.0.1"),
        ]
        if ports is not None and starts[number] is None:
            hosts.append("  port: %d" % ports[number][0])
        hosts += [
            "  groups: [simulated]",
            "  data:",
            "    site: %s" % _yaml("lab%d" % (number % 2 + 1)),
        ]
        if starts[number] is not None:
            hosts += [
                "  connection_options:",
                "    tarvix:",
                "      extras:",
                "        start: %s" % _yaml(starts[number]),
            ]
            if ports is not None:
                # As the default start's, the keys are not checked.
                hosts.append("        ssh: %s" % _yaml({"host_key_checking": "off"}))
    return hosts


def _group_lines(dialect, ssh_ports):
    """groups.yaml of a simulated fleet."""
    return [
        "simulated:",
        "  platform: %s" % dialect,
        "  data:",
        "    kind: %s" % ("bundled simulator" if ssh_ports is None else "bundled simulator over SSH"),
    ]


def _default_lines(ssh_ports, password):
    """defaults.yaml of a simulated fleet."""
    defaults = []
    if ssh_ports is not None:
        defaults += ["username: admin", "password: %s" % _yaml(password)]
    defaults += [
        "connection_options:",
        "  tarvix:",
        "    extras:",
        "      connection_timeout: 30",
    ]
    if ssh_ports is not None:
        # The server keeps its host keys in the lab's folder, but a lab
        # made again on the same ports has new ones: they are not checked,
        # nor recorded in the user's known hosts.
        defaults.append("      host_key_checking: false")
    return defaults


def _write_routers(directory, names, ports, password, dialect):
    """The SSH simulator's file of the fleet's routers (``ports``: each one's)."""
    routers = [dict([("hostname", name)] + ([("port", each[0])] if len(each) == 1 else [("ports", each)])
                    + [("username", "admin"), ("password", password)])
               for name, each in zip(names, ports)]
    if dialect != "generic":
        for router in routers:
            router["dialect"] = dialect
    with open(os.path.join(directory, ROUTERS_FILE), "w") as out:
        out.write('{"routers": [\n%s\n]}\n' % ",\n".join(json.dumps(router) for router in routers))


def serve(directory, dialect=None):
    """Serves the SSH simulator's routers of ``directory`` until Ctrl-C or
    SIGTERM; returns the exit status.  ``dialect``: the CLI dialect of the
    routers that name none."""
    from tarvix.simulator import server

    if not server.available():
        return fail(server.NEEDS_ASYNCSSH, FAILED)
    path = os.path.join(directory, ROUTERS_FILE) if os.path.isdir(directory) else directory
    try:
        routers = server.load(path)
        if dialect:
            for router in routers:
                if isinstance(router, dict):
                    router.setdefault("dialect", dialect)
        server.Server(routers)
    except (OSError, ValueError) as error:
        return fail("%s: %s" % (path, getattr(error, "strerror", None) or error), USAGE)

    def ready(running):
        ports = sorted(port for each in running.ports.values() for port in each)
        print("serving %d simulated routers over SSH on %s ports %d..%d (Ctrl-C stops)"
              % (len(running.ports), running.host, ports[0], ports[-1]), flush=True)

    try:
        # Its host keys are kept beside the routers, so that a lab served
        # again shows the keys its clients learnt.
        server.serve(routers, ready=ready, keys_folder=os.path.dirname(os.path.abspath(path)))
    except (OSError, ValueError) as error:
        return fail("cannot serve the routers: %s" % error, FAILED)
    return 0


def _chassis_refused(dialect, chassis):
    """Why the platform of ``dialect`` has no connection for ``chassis``, or None."""
    from tarvix.bases.connection import plugin_class
    from tarvix.core.errors import ConnectionInfraError

    if chassis == "single_rp":
        return None
    try:
        plugin_class(dialect, chassis_type=chassis)
    except ConnectionInfraError:
        return "--chassis %s: the %s platform has no %s connection" % (chassis, dialect, chassis.replace("_", "-"))
    return None


def simulate(args):
    if args.fleet is None and not args.serve:
        return fail("tarvix simulate needs --fleet N or --serve", USAGE)
    if args.fleet is not None and args.fleet < 1:
        return fail("--fleet must be 1 or more", USAGE)
    if args.ssh_port is not None and args.fleet is None:
        return fail("--ssh-port goes with --fleet N", USAGE)
    if args.fleet is None:
        return serve(args.directory, args.dialect)
    rps = 2 if args.chassis == "dual_rp" else 1
    if args.ssh_port is not None and not 0 < args.ssh_port <= 65536 - args.fleet * rps:
        return fail("--ssh-port: the %d ports from it must lie from 1 to 65535" % (args.fleet * rps), USAGE)
    refused = _chassis_refused(args.dialect or "generic", args.chassis)
    if refused:
        return fail(refused, USAGE)
    if args.serve and args.ssh_port is None:
        return fail("--serve with --fleet N needs --ssh-port", USAGE)
    if os.path.exists(args.directory) and not os.path.isdir(args.directory):
        return fail("%s: a file is there, not a directory" % args.directory, USAGE)
    try:
        names = write_fleet(args.directory, args.fleet, force=args.force, ssh_ports=args.ssh_port,
                            dialect=args.dialect or "generic", chassis=args.chassis)
    except FileExistsError as error:
        return fail("%s: %s; --force writes over it" % (args.directory, error.strerror), USAGE)
    except OSError as error:
        return fail("%s: cannot write the inventory: %s"
                    % (error.filename or args.directory, error.strerror or error), FAILED)
    print("wrote an inventory of %d simulated devices (%s .. %s) to %s"
          % (len(names), names[0], names[-1], args.directory))
    if args.ssh_port is not None and not args.serve:
        print("serve them: tarvix simulate --serve %s" % args.directory)
    print("try: tarvix run --inventory %s --execute \"show clock\"" % args.directory, flush=True)
    if args.serve:
        return serve(args.directory, args.dialect)
    return 0
