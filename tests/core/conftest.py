"""Fixtures shared by the registry tests."""
import os
import subprocess
import sys
import textwrap

import pytest

import tarvix
from tarvix.core import implroster as _implroster


class RecordingLog(object):
    """Stands in for the framework's log object: keeps every debug line."""

    def __init__(self, events=None):
        self.messages = []
        self.events = events

    def debug(self, message):
        self.messages.append(message)
        if self.events is not None:
            self.events.append(("debug", message))


@pytest.fixture
def implroster():
    return _implroster


@pytest.fixture
def roster():
    return _implroster.ImplRoster()


@pytest.fixture
def debug_log(monkeypatch):
    log = RecordingLog()
    monkeypatch.setattr(_implroster, "log", log)
    return log


@pytest.fixture
def event_log(monkeypatch):
    """A log whose debug lines go into a shared list of events."""
    log = RecordingLog(events=[])
    monkeypatch.setattr(_implroster, "log", log)
    return log


@pytest.fixture
def fresh_global_roster(monkeypatch):
    """A fresh registry as tarvix.__impl_roster__ for the duration of a test."""
    fresh = _implroster.ImplRoster()
    monkeypatch.setattr(tarvix, "__impl_roster__", fresh)
    return fresh


def run_python(code, cwd=None, env_extra=None):
    """Runs code in a fresh interpreter of the one running the tests."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if env_extra:
        env.update(env_extra)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        cwd=cwd,
        env=env,
    )
    return proc


@pytest.fixture
def python():
    return run_python
