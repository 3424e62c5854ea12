"""The in-process SSH link and what it is made of: ``link`` the link itself
(libssh2 through ssh2-python), ``options`` its options checked, ``route``
the way to a device (the user's ssh configuration through ``config``, jump
hosts, ProxyCommand), ``hops`` the socket that way gives, ``jump`` the jump
host sessions shared in the process, ``session`` a session while it
connects, ``knownhosts`` the known hosts file, ``algos`` the algorithms
offered."""
