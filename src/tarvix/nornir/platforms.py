"""The platform names of the peers' Nornir plugins and inventories, and the
tarvix os plugin that speaks each: kept in tarvix.bases.platforms, which
every command reads."""
from tarvix.bases.platforms import PLATFORM_OS, platform_os  # noqa: F401 (where callers found them)
