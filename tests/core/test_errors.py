"""Every error tarvix raises derives from one public root, so that a caller
catches them all with one name; the registry's native code raises them too."""
import importlib

import pytest

from tarvix import __impl_roster__
from tarvix.core.errors import TarvixError


@pytest.mark.parametrize("name", [
    "tarvix.core.errors.ConnectionInfraError", "tarvix.core.errors.ConnectionError",
    "tarvix.core.errors.ParseError", "tarvix.exits.UsageError", "tarvix.cli.OutputError",
    "tarvix.nornir.dask_cluster.ClusterError", "tarvix.nornir.dask_cluster.WorkerError",
    "tarvix.nornir.dask_cluster.WorkerLost",
])
def test_each_error_derives_from_the_root(name):
    module, _, attribute = name.rpartition(".")
    assert issubclass(getattr(importlib.import_module(module), attribute), TarvixError)


def test_the_registry_raises_under_the_root():
    with pytest.raises(TarvixError, match="Plugin data not found for \\(no-such-os\\)"):
        __impl_roster__.get_plugin(os="no-such-os")
