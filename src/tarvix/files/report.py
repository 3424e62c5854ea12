"""What a copy to or from a device did: ``FileTransfer``."""


class FileTransfer(object):
    """One copy: ``direction`` ("put" or "get"), ``local`` and ``remote``
    (the device's path), ``protocol`` ("sftp", "scp"; None when skipped),
    ``bytes`` moved, ``seconds`` taken, ``skipped`` (the same file was
    there already), ``checksum`` ((algorithm, value) of the file, None when
    not verified) and ``verified`` (the device's sum matched the local
    file's)."""

    def __init__(self, direction, local, remote, protocol=None, bytes=0, seconds=0.0, skipped=False,
                 checksum=None, verified=False, size=0):
        self.direction, self.local, self.remote = direction, local, remote
        self.protocol, self.bytes, self.seconds = protocol, bytes, seconds
        self.skipped, self.checksum, self.verified = skipped, checksum, verified
        self.size = size

    @property
    def rate(self):
        """Megabytes (10^6 bytes) a second moved; None when nothing moved."""
        if not self.bytes or self.seconds <= 0:
            return None
        return self.bytes / self.seconds / 1e6

    def as_dict(self):
        return {"direction": self.direction, "local": self.local, "remote": self.remote,
                "protocol": self.protocol, "bytes": self.bytes, "size": self.size,
                "seconds": round(self.seconds, 3), "skipped": self.skipped,
                "checksum": {"algorithm": self.checksum[0], "value": self.checksum[1]} if self.checksum else None,
                "verified": self.verified, "mb_per_s": round(self.rate, 2) if self.rate is not None else None}

    def __repr__(self):
        what = "skipped" if self.skipped else "%d bytes over %s in %.1f s" % (self.bytes, self.protocol, self.seconds)
        return "<FileTransfer %s %s -> %s %s%s>" % (self.direction, self.local if self.direction == "put"
                                                    else self.remote, self.remote if self.direction == "put"
                                                    else self.local, what, " verified" if self.verified else "")
