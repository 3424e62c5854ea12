"""The connection classes of a built-in platform, made from its dialect.

A platform is its dialect (``tarvix.eal.dialect.Dialect``): its connection
classes differ in nothing else.  ``connection_classes`` makes them in the
plugin's module, registers them under the dialect's name and returns them:
a single-RP class, and a dual-RP one where the dialect states how a standby
console is opened (``standby_unlock``).  They are named after the platform
(``EosSingleRpConnection``, ``JunosDualRpConnection``), defined in the
plugin's module as if written there, so that the registry's tree, their
reprs and ``type(con).__name__`` read as before.
"""
import tarvix
from tarvix.bases.connection import DualRpConnection, Settings, SingleRpConnection
from tarvix.bases.routers.brokers import DualRpLinkBroker, SingleRpLinkBroker

# Seconds an exec command may take before its prompt shows.
EXEC_TIMEOUT = 60

# chassis type: (base class, broker, name's ending, what the docstring says of the RPs)
_CHASSIS = (
    ("single_rp", SingleRpConnection, SingleRpLinkBroker, "SingleRpConnection", "with one route processor"),
    ("dual_rp", DualRpConnection, DualRpLinkBroker, "DualRpConnection",
     "with an active and a standby route processor"),
)


def connection_classes(module, dialect, device, settings=None, names=None, getters=None):
    """Makes, registers and returns (single-RP first) the connection classes
    of the platform ``dialect`` states, defined in the module named
    ``module`` (the plugin's ``__name__``).  ``device``: what the docstrings
    call the device ("a switch of the fastiron CLI"); ``settings``: the
    classes' ``Settings`` (default: an exec timeout of ``EXEC_TIMEOUT``);
    ``names``: a class name other than the platform's, by chassis type;
    ``getters``: the platform's state getters (tarvix.state), if any."""
    settings = settings if settings is not None else Settings(EXEC_TIMEOUT=EXEC_TIMEOUT)
    title = dialect.name[:1].upper() + dialect.name[1:]
    made = []
    for chassis, base, broker, ending, rps in _CHASSIS:
        if chassis == "dual_rp" and not dialect.standby_unlock:
            continue
        name = (names or {}).get(chassis, title + ending)
        cls = type(name, (base,), {
            "__module__": module,
            "__qualname__": name,
            "__doc__": "Connection to %s %s." % (device, rps),
            "os": dialect.name,
            "dialect": dialect,
            "broker_class": broker,
            "settings": settings,
        })
        if getters is not None:
            cls.getters = getters
        tarvix.__impl_roster__.register_plugin(cls, os=dialect.name, chassis_type=chassis)
        made.append(cls)
    return tuple(made)
