"""A device's connection for asyncio: ``Connection``'s every method as a
coroutine, run by the same connection, brokers, dialects and state machines
over the running event loop (see tarvix.aio.bridge)."""
import asyncio

from tarvix.aio import bridge
from tarvix.bases.connection import Connection, discover_plugins

# The plugins are found as this is imported, not by the first connection
# made on an event loop's thread (the walk of their packages takes a few
# tens of milliseconds, which the loop would wait).
discover_plugins()

# Connection's methods, each a coroutine here (any other public method of
# the connection class is one too, through __getattr__).
METHODS = ("connect", "disconnect", "execute", "configure", "save_config", "running_config", "config_diff",
           "replace_config", "merge_config", "confirm_config", "rollback_config", "reload", "switchover")


class AsyncConnection(object):
    """A connection to one device whose methods are coroutines::

        import asyncio

        from tarvix.aio import AsyncConnection

        async def main():
            async with AsyncConnection(hostname="r1", start="ssh://admin@r1",
                                       credentials={"default": {"username": "admin", "password": "pw"}}) as con:
                print(await con.execute("show version"))

        asyncio.run(main())

    It takes ``Connection``'s arguments, or ``connection=`` a Connection
    already made (not in use by a thread meanwhile).  Every method of the
    connection (``connect``, ``execute``, ``configure``, the configuration
    transaction, ``reload``, ``switchover``...) is awaited with the
    arguments it takes; its other attributes read through (``connected``,
    ``hostname``, ``handles``...); ``connection`` is the Connection itself.

    Calls on one connection take turns, as threads sharing a Connection
    do.  Every timeout is the connection's own, kept by the event loop's
    clock.  A call whose task is cancelled (``asyncio.wait_for``, a
    TaskGroup) ends the device's links at once and closes them: the
    connection is then disconnected, and ``connect`` opens it again.
    """

    def __init__(self, *args, **kwargs):
        connection = kwargs.pop("connection", None)
        if connection is not None and (args or kwargs):
            raise TypeError("AsyncConnection takes a connection or Connection's arguments, not both")
        self.connection = connection if connection is not None else Connection(*args, **kwargs)
        self._turns = None

    def _turn(self):
        # Made here: a lock of Python 3.8 and 3.9 belongs to the loop of its making.
        if self._turns is None:
            self._turns = asyncio.Lock()
        return self._turns

    async def call(self, name, *args, **kwargs):
        """Awaits the connection's method ``name`` with these arguments."""
        method = getattr(self.connection, name)
        async with self._turn():
            try:
                return await bridge.run(method, *args, on_cancel=self.connection.abort, **kwargs)
            except asyncio.CancelledError:
                await _shielded(self._drop)
                raise

    def _drop(self):
        """Closes the links of a call cancelled (ended already)."""
        con = self.connection
        for handle in con.handles:
            if handle.spawn is not None:
                handle.spawn.close()
        if con.broker is not None and con.connected:
            con.disconnect()

    async def abort(self):
        """Ends the device's links at once (``Connection.abort``): a call in
        progress fails with LinkClosedError.  Disconnect afterwards."""
        self.connection.abort()

    async def __aenter__(self):
        await self.connect()
        return self

    async def aclose(self):
        """Disconnects, or closes what links are left open."""
        if self.connection.connected:
            await self.disconnect()
        else:
            await _shielded(self._drop)

    async def __aexit__(self, *exc):
        await self.aclose()

    def __getattr__(self, name):
        if name in ("connection", "_turns"):  # not made yet
            raise AttributeError(name)
        value = getattr(self.connection, name)
        if name.startswith("_") or not callable(value) or isinstance(value, type):
            return value

        async def method(*args, **kwargs):
            return await self.call(name, *args, **kwargs)

        method.__name__ = name
        method.__doc__ = getattr(value, "__doc__", None)
        return method

    def __repr__(self):
        return "<AsyncConnection %r>" % (self.connection,)


def _coroutine(name):
    async def method(self, *args, **kwargs):
        return await self.call(name, *args, **kwargs)

    method.__name__ = method.__qualname__ = name
    method.__doc__ = getattr(Connection, name).__doc__
    return method


for _name in METHODS:
    setattr(AsyncConnection, _name, _coroutine(_name))


async def _shielded(function):
    """Runs ``function`` over the loop to its end, a cancellation of the
    task meanwhile put off until it has ended."""
    task = asyncio.ensure_future(bridge.run(function))
    try:
        await asyncio.shield(task)
    except asyncio.CancelledError:
        await task
        raise
