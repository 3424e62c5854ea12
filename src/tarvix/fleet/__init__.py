"""``tarvix run``: one job over a Nornir inventory, and ``tarvix simulate``:
an inventory of bundled-simulator devices to try it on.

``tarvix run`` reads a Nornir SimpleInventory (hosts.yaml, groups.yaml,
defaults.yaml), selects hosts by name, group or any inventory field, and
runs the ``--execute`` commands and ``--configure`` lines on each through
the "tarvix" connection plugin, ``--workers`` hosts at a time on Nornir's
threaded runner.  Each host is connected, worked and disconnected in its
own task, so that no more links are open than there are workers.  Every
file the run writes is made before the first device is connected.  Progress
goes to standard error: a bar on a terminal, else one line per device; the
table of devices, status, seconds and the reason of any failure goes to
standard output (or, with ``--json``, the whole run as one JSON document).
Exit status 1 when a device failed or its output could not be written, 2
for a usage error, 128 + the signal's number for an interrupt (Ctrl-C,
SIGTERM, SIGHUP), which ends the devices in flight and keeps what they did.

Nornir is imported only in this package, when ``run`` runs: the rest of tarvix works
without it.

The package's rooms: ``options`` (the commands and their options),
``inventory`` (the inventory's checks), ``credentials`` (the passwords
given besides the inventory's), ``naming`` (the hosts' files),
``job`` (the job on one device), ``timeline`` (each step's times),
``progress`` (the bar and the table),
``signals`` (the interrupt), ``passwords`` (every password of the
inventory, masked before the first host connects), ``command`` (the run on
the threaded runner), ``cluster`` (the run on a Dask cluster),
``simulate`` (``tarvix simulate``) and ``report`` (the run as one HTML
file, ``--report``).
"""
