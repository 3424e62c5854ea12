"""The getters of a connection: the network's state as plain dicts and
lists, the same keys on every platform (``tarvix.state.schema``), read by
the platform's data (the connection class's ``getters``, a
``tarvix.state.mapping.Getters`` beside its dialect)."""
from tarvix.state import reading, schema


class StateApi(object):
    """The getters, for a ``Connection``: ``facts``, ``interfaces``,
    ``bgp_neighbors``, ``lldp_neighbors`` and ``state``.  A getter the
    platform cannot answer raises NotSupportedError naming the platform and
    the getter; an output its data cannot read, ParseError."""

    # The platform's getters (a tarvix.state.mapping.Getters); None: it has none.
    getters = None

    def _getter(self, name):
        device = self.hostname or getattr(self, "learned_hostname", None) or "device"
        platform = getattr(self.getters, "platform", None) or self.os
        reads = self.getters.reads(name) if self.getters is not None else None
        if not reads:
            raise reading.not_supported(device, platform, name)
        depth = len(schema.LEVELS[name])
        data = {}
        with self._lock:
            outputs = [(read, self.execute(read.command)) for read in reads]
        for read, output in outputs:
            try:
                part = reading.records(read, output, self.template_platform)
            except reading.Unreadable as error:
                raise reading.unreadable(device, platform, read.command, output, error)
            reading.merge(data, part, depth)
        return reading.complete(name, data)

    def facts(self):
        """{"hostname", "os", "version", "model", "serial", "uptime"
        (seconds), "interfaces" (names)}."""
        return self._getter("facts")

    def interfaces(self):
        """{name: {"up", "enabled", "description", "mtu", "mac",
        "addresses" (["10.9.0.1/30", ...])}}."""
        return self._getter("interfaces")

    def bgp_neighbors(self):
        """{vrf: {peer: {"remote_as", "state", "up", "uptime" (seconds),
        "prefixes_received"}}}, the VRF "default" for the global table."""
        return self._getter("bgp_neighbors")

    def lldp_neighbors(self):
        """{local_interface: [{"system_name", "port"}]}."""
        return self._getter("lldp_neighbors")

    def state(self, getters=None):
        """The getters' data in one dict, by getter name: those named
        (NotSupportedError for one the platform cannot answer), or all that
        the platform answers."""
        if getters is None:
            names = list(self.getters.names) if self.getters is not None else []
            if not names:
                device = self.hostname or getattr(self, "learned_hostname", None) or "device"
                raise reading.not_supported(device, self.os, "state")
        else:
            names = [getters] if isinstance(getters, str) else list(getters)
            unknown = [name for name in names if name not in schema.GETTERS]
            if unknown:
                raise ValueError("no getter %s (there are: %s)" % (", ".join(unknown), ", ".join(schema.GETTERS)))
        for name in names:  # before any command is sent
            if self.getters is None or not self.getters.reads(name):
                device = self.hostname or getattr(self, "learned_hostname", None) or "device"
                raise reading.not_supported(device, getattr(self.getters, "platform", None) or self.os, name)
        with self._lock:
            return dict((name, self._getter(name)) for name in names)
