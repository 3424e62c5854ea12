"""Markers shared by the whole suite, and the mark of this run's processes."""
import os
import uuid

import pytest

# Every process this run starts inherits the mark, so a check for processes
# left running counts this run's own and never those of a run beside it
# (the build matrix runs two suites at a time on one machine).
os.environ["TARVIX_TEST_RUN"] = uuid.uuid4().hex


# The suites that drive the native modules themselves: the registry, the
# brokers (and the connections on them), the plugins they find, the fuzzers,
# the leak checks and the stubs.  Every build of the native modules runs
# them (marked "native"); the others (links, state machines, the simulator,
# fleets, Dask, the end-to-end runs) do not depend on how the native modules
# were built and run once per interpreter.
NATIVE_SUITES = ("core", "bases", "plugins", "fuzz", "leaks", "typing")
HERE = os.path.dirname(os.path.abspath(__file__))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: waits seconds on consoles or clocks; the hardening runs of the native "
                   "builds (scripts/matrix, scripts/sanitize) leave these out")
    config.addinivalue_line(
        "markers", "native: drives the native modules, run on every build of them (given to the suites of "
                   "NATIVE_SUITES); the rest runs once per interpreter")


def pytest_collection_modifyitems(config, items):
    for item in items:
        suite = os.path.relpath(str(item.fspath), HERE).split(os.sep)[0]
        if suite in NATIVE_SUITES:
            item.add_marker(pytest.mark.native)


def _of_this_run(pid):
    try:
        with open("/proc/%s/environ" % pid, "rb") as handle:
            environ = handle.read().split(b"\0")
    except (IOError, OSError):
        return False
    return ("TARVIX_TEST_RUN=" + os.environ["TARVIX_TEST_RUN"]).encode() in environ


def _simulators_running(token):
    """This run's simulator processes with the token in their command line."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as handle:
                argv = handle.read().split(b"\0")
        except (IOError, OSError):
            continue
        if b"tarvix.simulator" in argv and any(token.encode() in arg for arg in argv) and _of_this_run(pid):
            found.append(pid)
    return found


@pytest.fixture
def simulators_running():
    return _simulators_running
