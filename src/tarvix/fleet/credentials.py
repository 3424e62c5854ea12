"""The passwords a ``tarvix run`` is given besides those its inventory
writes down: ``$TARVIX_PASSWORD`` or ``--ask-password``, for the hosts the
inventory gives none, and the output of each ``password_command`` (a secret
manager's command) that the hosts run name in their "tarvix" connection's
extras.  They are set into the inventory, as if written there, before its
passwords are gathered and masked (tarvix.fleet.passwords) and before any
host connects; a cluster's workers get them with the hosts and run no
command."""
import os

from tarvix.credentials import command_password, login_password
from tarvix.fleet.inventory import INVENTORY_FILES


def _elements(hosts):
    """Each host run, each of their groups and the defaults, once each,
    with where each is written."""
    seen = set()
    for host in hosts:
        places = [(host, "%s: host %s" % (INVENTORY_FILES[0], host.name))]
        places += [(group, "%s: group %s" % (INVENTORY_FILES[1], group.name)) for group in host.extended_groups()]
        places.append((host.defaults, INVENTORY_FILES[2]))
        for element, where in places:
            if id(element) not in seen:
                seen.add(id(element))
                yield element, where


def set_passwords(args, inventory, hosts):
    """Sets the given password (``--ask-password``, else
    ``$TARVIX_PASSWORD``) as the defaults' where they have none, and runs
    the password commands of the ``hosts``' connection options (each
    command once); LoginError when one fails, UsageError when the password
    cannot be asked."""
    from tarvix.nornir import CONNECTION_NAME

    hosts = list(hosts)
    password = login_password(None, args.ask_password)
    if password is not None and inventory.defaults.password is None:
        inventory.defaults.password = password
    printed = {}
    for element, where in _elements(hosts):
        options = element.connection_options.get(CONNECTION_NAME)
        command = (options.extras or {}).get("password_command") if options is not None else None
        if command and options.password is None:
            if command not in printed:
                printed[command] = command_password(command, os.path.join(args.inventory, where))
            options.password = printed[command]
