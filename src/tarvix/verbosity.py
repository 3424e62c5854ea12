"""What ``-v`` lets through to standard error: once, the framework's debug
records (each line sent, never a password); twice, the plugin registry's
too (each plugin it loads, each os that is not among its own names)."""
import logging

# The registry logs through the package's own logger (``tarvix.log``), the
# rest of the framework through the loggers under it.
REGISTRY_LOGGER = "tarvix"


class Verbosity(logging.Filter):
    """Keeps the registry's debug records from a handler below ``-vv``."""

    def __init__(self, verbose):
        logging.Filter.__init__(self)
        self.verbose = verbose or 0

    def filter(self, record):
        return self.verbose > 1 or record.levelno > logging.DEBUG or record.name != REGISTRY_LOGGER
