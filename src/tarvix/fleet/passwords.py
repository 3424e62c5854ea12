"""Every password a ``tarvix run`` inventory holds, gathered before the
first host connects: a line sent to one host may hold another's password,
so each is masked from the start, in the threaded runner's logs as in what
a cluster's workers forward."""
from tarvix.eal import secrets
from tarvix.eal.ssh.options import option_secrets


def _option_secrets(password, extras):
    """The passwords of a connection's options: its own, the extras'
    credentials', an SSH key's passphrase and the jump hosts' passwords, and
    those of a start command."""
    found = [password]
    extras = extras if isinstance(extras, dict) else {}
    found.append(extras.get("password"))
    credentials = extras.get("credentials")
    for credential in (credentials.values() if isinstance(credentials, dict) else ()):
        found.append(credential.get("password") if isinstance(credential, dict) else None)
    ssh = extras.get("ssh")
    found.extend(option_secrets(ssh) if isinstance(ssh, dict) else ())
    start = extras.get("start")
    if isinstance(start, (list, tuple)):
        start = " ".join(map(str, start))
    found.extend(secrets.command_secrets(start) if isinstance(start, str) else ())
    return set(secret for secret in found if isinstance(secret, str) and secret.strip())


def hosts_secrets(hosts):
    """Every password the Nornir ``hosts`` connect with, their groups' and
    the defaults' that they take included."""
    found = set()
    for host in hosts:
        found |= _option_secrets(host.password, None)
        names = set(host.connection_options)
        for group in host.extended_groups():
            names |= set(group.connection_options)
        names |= set(host.defaults.connection_options)
        for name in names:
            params = host.get_connection_parameters(name)
            found |= _option_secrets(params.password, params.extras)
    return found


def inventory_secrets(inventory):
    """Every password a Nornir inventory holds: its hosts', its groups' and
    the defaults', in any connection's options."""
    found = hosts_secrets(inventory.hosts.values())
    for element in list(inventory.groups.values()) + [inventory.defaults]:
        found |= _option_secrets(element.password, None)
        for options in (element.connection_options or {}).values():
            found |= _option_secrets(options.password, options.extras)
    return found
