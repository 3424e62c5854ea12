"""tarvix for asyncio: ``AsyncConnection``, a device's connection whose
methods are coroutines, and ``gather_devices``, a fleet worked from one
event loop.  The threaded API's connection logic runs underneath (its
brokers, dialects and state machines), each call in a greenlet whose waits
are the loop's: no thread per link.  Needs greenlet (``pip install
tarvix[aio]``) and Python 3.8 or later.
"""
import sys

NEEDS_GREENLET = "tarvix.aio needs greenlet and Python 3.8 or later: pip install greenlet"

if sys.version_info < (3, 8):
    raise ImportError(NEEDS_GREENLET)
try:
    import greenlet  # noqa: F401
except ImportError:
    raise ImportError(NEEDS_GREENLET) from None

from tarvix.aio.connection import AsyncConnection  # noqa: E402
from tarvix.aio.fleet import gather_devices  # noqa: E402

__all__ = ["AsyncConnection", "gather_devices"]
