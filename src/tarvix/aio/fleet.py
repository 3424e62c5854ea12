"""A fleet worked from one event loop: each host's connection opened, a
task awaited on it, at most so many at once."""
import asyncio

from tarvix.aio.connection import AsyncConnection
from tarvix.bases.connection import Connection
from tarvix.eal import fdlimit

# Hosts worked at once unless told.
LIMIT = 100
# Workers started in one turn of the loop (a thousand started together
# would hold it up together).
STARTED_AT_ONCE = 50
# The plugin name under which a Nornir inventory gives a host's options.
NORNIR_PLUGIN = "tarvix"


async def gather_devices(inventory_or_hosts, task, limit=LIMIT):
    """Opens each host's connection, awaits ``task(con)`` (``con`` its
    AsyncConnection) with at most ``limit`` hosts at once, and returns
    ``{host: result}``, the exception in place of the result of a host that
    failed (its connect or its task).

    The hosts: a Nornir object or inventory (each host's connection as the
    Nornir plugin "tarvix" makes it, see tarvix.nornir.connection); a mapping
    of names to ``Connection``'s keyword arguments, to Connections or to
    AsyncConnections; or a list of Connections or AsyncConnections (named
    by their ``name``, else hostname).  A connection made here from
    arguments or an inventory is disconnected once its task is done; one
    given is opened if it is not, and left open for its owner.

    Cancelling the call cancels every host's task (their links closed).
    """
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError("limit is a number of hosts of at least 1, not %r" % (limit,))
    hosts = _hosts(inventory_or_hosts)
    # A descriptor for each host's link.
    fdlimit.room_for(len(hosts) + 3 * limit)
    results = dict((name, None) for name in hosts)
    # ``limit`` workers, each taking the next host when done with one: a
    # task a host would be thousands made at once, each run once in the
    # same turn of the loop.
    waiting = iter(list(hosts))

    async def worker():
        for name in waiting:
            results[name] = await _work(task, *hosts[name])
            # A host's work may end without waiting once (a close): the
            # loop's other work goes first before the next.
            await asyncio.sleep(0)

    workers = []
    try:
        for number in range(min(limit, len(hosts))):
            if number and not number % STARTED_AT_ONCE:
                await asyncio.sleep(0)
            workers.append(asyncio.ensure_future(worker()))
        await asyncio.gather(*workers)
    except BaseException:
        for started in workers:
            started.cancel()
        raise
    return results


async def _work(task, made, given):
    """``task``'s result on a host's connection (made, or given), or the
    exception of its connect or task."""
    try:
        con = made() if given is None else given
    except Exception as error:
        return error
    try:
        if not con.connected:
            await con.connect()
        return await task(con)
    except Exception as error:
        return error
    finally:
        if given is None:
            await con.aclose()


def _hosts(given):
    """{name: (what makes its AsyncConnection, or None; the one given, or
    None)} of what gather_devices takes."""
    inventory = getattr(given, "inventory", given)
    if hasattr(inventory, "hosts") and not isinstance(inventory, dict):
        from tarvix.nornir.connection import connection_from_parameters

        def of_host(host):
            parameters = host.get_connection_parameters(NORNIR_PLUGIN)
            extras = dict(parameters.extras or {})
            extras.setdefault("name", host.name)
            return lambda: AsyncConnection(connection=connection_from_parameters(
                parameters.hostname, parameters.username, parameters.password, parameters.port,
                parameters.platform, extras))

        return dict((name, (of_host(host), None)) for name, host in inventory.hosts.items())
    if isinstance(given, dict):
        items = list(given.items())
    else:
        items = [(con.name or con.hostname, con) for con in given]
    hosts = {}
    for name, value in items:
        if isinstance(value, dict):
            hosts[name] = (_maker(name, value), None)
        elif isinstance(value, Connection):
            hosts[name] = (None, AsyncConnection(connection=value))
        elif isinstance(value, AsyncConnection):
            hosts[name] = (None, value)
        else:
            raise TypeError("host %s: Connection's keyword arguments, a Connection or an AsyncConnection, not %r"
                            % (name, value))
    return hosts


def _maker(name, arguments):
    arguments = dict(arguments)
    arguments.setdefault("name", name)
    return lambda: AsyncConnection(**arguments)
