"""Connection classes for a switch of the fastiron CLI."""
from tarvix.bases.dialect_classes import connection_classes
from tarvix.plugins.fastiron.dialect import DIALECT
from tarvix.plugins.fastiron.getters import GETTERS

(FastironSingleRpConnection,) = connection_classes(__name__, DIALECT, "a switch of the fastiron CLI", getters=GETTERS)
