"""The plugin packages walked so that their connection classes are
registered (once per process unless asked again), the class the registry
holds for a kind of device, and a platform's settings."""
import threading

_discovery_lock = threading.Lock()
_discovered = False
# The thread walking the plugin packages (under None) while it does.
_walking = {}


class Settings(object):
    """A platform's settings: plain attributes, copied for each connection."""

    def __init__(self, **values):
        self.__dict__.update(values)

    def __repr__(self):
        return "Settings(%s)" % ", ".join("%s=%r" % item for item in sorted(self.__dict__.items()))


def discover_plugins(rediscover=False):
    """Imports the builtin plugin modules and loads the external plugins, so
    that they register their connection classes; done once per process
    unless ``rediscover`` is set.  Returns the registry."""
    global _discovered
    import tarvix

    roster = tarvix.__impl_roster__
    if _discovered and not rediscover or _walking.get(None) == threading.get_ident():
        # (A module the walk imports that asks, on the walk's thread: the
        # registry as it stands, not a wait for the walk it is part of.)
        return roster
    with _discovery_lock:
        if rediscover or not _discovered:
            _walking[None] = threading.get_ident()
            try:
                roster.discover_builtin_plugins()
                roster.discover_external_plugins()
            finally:
                del _walking[None]
            _discovered = True
    return roster


def plugin_class(os="generic", series=None, model=None, chassis_type="single_rp", rediscover=False):
    """The connection class the registry holds for this kind of device."""
    return discover_plugins(rediscover).get_plugin(os, series, model, chassis_type)
