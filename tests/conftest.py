"""Markers shared by the whole suite."""


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: waits seconds on consoles or clocks; the hardening runs of the native "
                   "builds (scripts/matrix, scripts/sanitize) leave these out")
