"""Fixtures of the link-broker tests; the doubles are in broker_doubles."""
import pytest

from tarvix.bases.routers import link_broker as lb_module

from broker_doubles import FakeConnection, Journal


@pytest.fixture
def lb():
    return lb_module


@pytest.fixture
def journal():
    return Journal()


@pytest.fixture
def single_con(journal):
    return FakeConnection(journal)


@pytest.fixture
def dual_con(journal):
    return FakeConnection(journal, dual=True)


@pytest.fixture(autouse=True)
def quick_sleep(request, monkeypatch, journal):
    """Replaces the module's sleep by a journalled no-op, unless the test is
    marked real_sleep."""
    if request.node.get_closest_marker("real_sleep"):
        yield None
        return

    def fake_sleep(*args, **kwargs):
        journal.record("time", "sleep", args, kwargs)

    monkeypatch.setattr(lb_module, "sleep", fake_sleep)
    yield fake_sleep


def pytest_configure(config):
    config.addinivalue_line("markers", "real_sleep: keep the module's real sleep")
