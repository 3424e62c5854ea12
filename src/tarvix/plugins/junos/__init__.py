"""Connection classes for a router of the junos CLI, its configuration staged and committed."""
from tarvix.bases.dialect_classes import connection_classes
from tarvix.plugins.junos.dialect import DIALECT
from tarvix.plugins.junos.getters import GETTERS

JunosSingleRpConnection, JunosDualRpConnection = connection_classes(__name__, DIALECT, "a router of the junos CLI",
                                                                    getters=GETTERS)
