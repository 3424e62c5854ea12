"""Files to and from a device over SFTP or SCP, proven there by the
device's own checksum, and the software upgrade built on them.

``report`` holds what a copy did (``FileTransfer``), ``local`` the local
file's checks and sums, ``device`` the device's file commands (from its
dialect's ``FileCommands``), ``sessions`` the SSH session a copy runs on,
``transport`` SFTP and SCP over it, ``copy`` a put or a get from start to
end, ``leftovers`` the partial files a failed copy could not remove,
``api`` the methods a ``Connection`` offers, ``upgrade`` the upgrade."""
