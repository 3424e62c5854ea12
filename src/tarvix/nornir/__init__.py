"""tarvix as a Nornir connection plugin, and Nornir tasks that use it.

Installed with ``pip install "tarvix[nornir]"``; the plugin is registered
under the entry-point group ``nornir.plugins.connections`` as "tarvix", so
that a task gets a connected ``Connection`` with::

    con = host_connection(task.host, task.nornir.config)

(one per host however many threads ask at once; Nornir's own
``task.host.get_connection("tarvix", task.nornir.config)`` gives the same
connection once it is open, but two threads that open it together each
open one)

or runs the tasks of this package::

    from tarvix.nornir import tarvix_execute

    results = nr.run(task=tarvix_execute, command="show version")

The names below are imported on first use: the plugin discovery walks
tarvix's packages, and must neither pay for importing Nornir nor fail where
it is not installed.
"""
import importlib

_EXPORTS = {
    "CONNECTION_NAME": "tarvix.nornir.connection",
    "TarvixConnection": "tarvix.nornir.connection",
    "host_connection": "tarvix.nornir.connection",
    "tarvix_execute": "tarvix.nornir.tasks",
    "tarvix_configure": "tarvix.nornir.tasks",
    "tarvix_reload": "tarvix.nornir.tasks",
    "tarvix_switchover": "tarvix.nornir.tasks",
    "tarvix_replace_config": "tarvix.nornir.tasks",
    "tarvix_merge_config": "tarvix.nornir.tasks",
    "tarvix_config_diff": "tarvix.nornir.tasks",
    "tarvix_state": "tarvix.nornir.tasks",
    "tarvix_check": "tarvix.nornir.tasks",
    "tarvix_put_file": "tarvix.nornir.filetasks",
    "tarvix_get_file": "tarvix.nornir.filetasks",
    "tarvix_upgrade": "tarvix.nornir.filetasks",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))
