import os
import subprocess
import sys

import pytest

from fuzzkit import COUNTS

HERE = os.path.dirname(os.path.abspath(__file__))


def run_scenario(name, timeout=600):
    """Runs crashprone/<name>.py in a fresh interpreter; a crash (a signal,
    a sanitizer report or any non-zero exit) fails the calling test.
    Returns the per-method case counts the scenario printed."""
    env = dict(os.environ)
    env["PYTHONPATH"] = HERE + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run([sys.executable, os.path.join(HERE, "crashprone", name + ".py")],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=env, timeout=timeout)
    assert proc.returncode == 0, "scenario %s ended with %d\n%s\n%s" % (
        name, proc.returncode, proc.stdout[-3000:], proc.stderr[-6000:])
    counts = {}
    for line in proc.stdout.splitlines():
        if line.startswith("cases "):
            _, label, n = line.split()
            counts[label] = int(n)
    assert counts, "scenario %s ran no case:\n%s" % (name, proc.stdout[-2000:])
    for label, n in counts.items():
        COUNTS[label] += n
    return counts


@pytest.fixture
def scenario():
    return run_scenario


def pytest_terminal_summary(terminalreporter):
    if COUNTS:
        terminalreporter.write_sep("-", "fuzz cases per method")
        for label in sorted(COUNTS):
            terminalreporter.write_line("%-50s %d" % (label, COUNTS[label]))
