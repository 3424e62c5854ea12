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


def connection_maker(caplog, secrets, require_links=False, **defaults):
    """A ``connections`` fixture's body: builds connections (``defaults``
    for their options), remembers their links' programs, and checks at the
    end that none is left running and that no log record holds a secret."""
    caplog.set_level(logging.DEBUG, logger="tarvix")
    made = []

    def make(start, **options):
        for name, value in defaults.items():
            options.setdefault(name, value)
        con = Connection(start=start, **options)
        made.append(con)
        return con

    # The programs of the links that run one (an in-process SSH link has none).
    make.pids = lambda: [h.spawn.pid for con in made for h in con.handles
                         if h.spawn is not None and h.spawn.pid is not None]
    yield make
    pids = make.pids()
    for con in made:
        con._close_links()
    assert (pids or not require_links) and not [pid for pid in pids if alive(pid)]
    for record in caplog.records:
        message = record.getMessage()
        assert not [secret for secret in secrets if secret in message]


@pytest.fixture
def connections(caplog):
    yield from connection_maker(caplog, [PASSWORD, ENABLE_PASSWORD], require_links=True, connection_timeout=3)


def credentials(password=PASSWORD):
    return {"default": {"username": "admin", "password": password}, "enable": {"password": ENABLE_PASSWORD}}
