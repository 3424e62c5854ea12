"""The network's state as data: the getters of a connection (``facts``,
``interfaces``, ``bgp_neighbors``, ``lldp_neighbors`` and ``state``), the
same keys on every platform (``schema``), read by each platform's data
(``mapping``: the commands and the way from their output to the keys, beside
the platform's dialect) through one reader (``reading``); ``compare`` tells
what changed between two states."""
