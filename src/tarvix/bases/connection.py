"""The connection object that scripts build for a device."""

# The hostname pattern a connection falls back to when it cannot learn the
# device's hostname: any run of the characters a prompt's hostname is made of.
DEFAULT_LEARNED_HOSTNAME = r"[^\s#>()]+"
