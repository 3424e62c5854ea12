"""Markers shared by the whole suite, and the mark of this run's processes."""
import os
import uuid

# Every process this run starts inherits the mark, so a check for processes
# left running counts this run's own and never those of a run beside it
# (the build matrix runs two suites at a time on one machine).
os.environ["TARVIX_TEST_RUN"] = uuid.uuid4().hex


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: waits seconds on consoles or clocks; the hardening runs of the native "
                   "builds (scripts/matrix, scripts/sanitize) leave these out")
