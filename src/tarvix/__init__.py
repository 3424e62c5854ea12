"""tarvix: command-line connections to network devices.

The package holds the framework's log object and its one plugin registry,
``tarvix.__impl_roster__``, through which plugin modules register their
connection classes while they are imported.
"""
import logging

# Bound before the registry is imported: the registry module imports it.
log = logging.getLogger("tarvix")

from .core.implroster import ImplRoster  # noqa: E402

__impl_roster__ = ImplRoster()

__version__ = "0.1.0"
