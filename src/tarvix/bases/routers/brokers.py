"""Link brokers for connections that speak a ``Dialect``.

The base brokers' ``disconnect`` waits 2 seconds after closing the links,
whatever the links are.  These wait only where the connection asks for it
(``console_settle``: console lines behind a terminal server) and for as long
as its settings say (``CONSOLE_SETTLE_TIME``, from the dialect's
``settle_time``).  ``SingleRpConnection`` and ``DualRpConnection`` use them
unless a plugin names brokers of its own.
"""
from tarvix.bases.routers.link_broker import BaseDualRpLinkBroker, BaseSingleRpLinkBroker
# (On an event loop's thread, the loop goes on while it sleeps.)
from tarvix.eal.waits import sleep


def settle(con):
    """Waits after closing the links where the connection asks for it: a
    terminal server's console line needs a moment before it can be reached
    again; an ssh or telnet session to the device itself does not."""
    seconds = getattr(con.settings, "CONSOLE_SETTLE_TIME", 0)
    if con.console_settle and seconds:
        sleep(seconds)


class SingleRpLinkBroker(BaseSingleRpLinkBroker):
    """Link broker for a single-RP router: disconnects without the settling
    wait unless the connection is a console line that needs it."""

    def disconnect(self):
        """Disconnect from the device"""
        con = self.connection
        con.spawn.close()
        settle(con)
        con._is_connected = False


class DualRpLinkBroker(BaseDualRpLinkBroker):
    """Link broker for a dual-RP router: disconnects without the settling
    wait unless the connection's console lines need it."""

    def disconnect(self):
        """Disconnect the connection to both RP's"""
        con = self.connection
        con.a.spawn.close()
        con.b.spawn.close()
        settle(con)
        con._is_connected = False
