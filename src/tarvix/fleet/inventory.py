"""The inventory of ``tarvix run``, read before Nornir reads it.

Nornir's SimpleInventory takes whatever the YAML holds and fails later, on
the first field it reaches, in words of its own code ("'list' object has no
attribute 'items'"), or the host fails when it connects.  Each file is read
here first, and the first thing wrong is told by file, host and field."""
import logging
import os
import re

from tarvix.eal.ssh.link import is_url, parse_url
from tarvix.eal.ssh.options import check_options as check_ssh_options
from tarvix.exits import UsageError

INVENTORY_FILES = ("hosts.yaml", "groups.yaml", "defaults.yaml")
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
    for start in starts:
        if is_url(start):
            try:
                parse_url(start)
            except ValueError as error:
                raise UsageError("%s: %s" % (where, error))


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
    command = extras.get("password_command")
    if command is not None and (not isinstance(command, str) or not command.strip()):
        raise UsageError("%s.password_command: a command line belongs there (e.g. 'pass show lab/r1'), not %s"
                         % (where, "an empty one" if isinstance(command, str) else _shown(command)))
    for name, credential in _mapping(where + ".credentials", extras.get("credentials"), optional=True).items():
        _mapping("%s.credentials.%s" % (where, name), credential)
    try:
        check_ssh_options(extras.get("ssh"), where)
    except ValueError as error:
        raise UsageError(str(error))


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
            if extras.get("password_command") and option.get("password") is not None:
                raise UsageError("%s: a password and a password_command: give one of them" % place)


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


def check_platforms(hosts):
    """Refuses, before any host connects, a host whose platform (or os in
    its extras) names no installed plugin, in words that list the
    platforms."""
    from tarvix.bases.platforms import platform_complaint
    from tarvix.nornir import CONNECTION_NAME

    for host in hosts:
        params = host.get_connection_parameters(CONNECTION_NAME)
        extras = params.extras or {}
        field, name = ("os", extras["os"]) if extras.get("os") else ("platform", params.platform)
        chassis = extras.get("chassis_type")
        if chassis is None and isinstance(extras.get("start"), list) and len(extras["start"]) == 2:
            chassis = "dual_rp"
        complaint = platform_complaint(name, chassis if isinstance(chassis, str) else None)
        if complaint:
            raise UsageError("host %s: %s %r: %s" % (host.name, field, name, complaint))


def open_nornir(args):
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
