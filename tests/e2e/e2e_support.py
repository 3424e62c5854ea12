"""Fixtures and helpers of the end-to-end tests: connections to the bundled
simulator over real pseudo-terminals.  (A module of its own, not a conftest,
so that its name cannot clash with the conftest modules of other test folders.)"""
import logging
import os

import pytest

from tarvix import simulator
from tarvix.bases.connection import Connection

PASSWORD = "e2e-Secret-41"
ENABLE_PASSWORD = "e2e-Enable-42"


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.fixture
def sim_passwords(monkeypatch):
    monkeypatch.setenv(simulator.PASSWORD_ENV, PASSWORD)
    monkeypatch.setenv(simulator.ENABLE_PASSWORD_ENV, ENABLE_PASSWORD)


@pytest.fixture
def connections(caplog):
    """Builds connections, remembers their child pids, and checks at the end
    that no child is left running and that no password reached a log record."""
    caplog.set_level(logging.DEBUG, logger="tarvix")
    made = []

    def make(start, **options):
        options.setdefault("connection_timeout", 3)
        con = Connection(start=start, **options)
        made.append(con)
        return con

    make.pids = lambda: [h.spawn.pid for con in made for h in con.handles if h.spawn is not None]
    yield make
    pids = make.pids()
    for con in made:
        con._close_links()
    assert pids and not [pid for pid in pids if alive(pid)]
    for record in caplog.records:
        message = record.getMessage()
        assert PASSWORD not in message and ENABLE_PASSWORD not in message


def credentials(password=PASSWORD):
    return {"default": {"username": "admin", "password": password}, "enable": {"password": ENABLE_PASSWORD}}
