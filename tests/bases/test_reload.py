"""Reload and switchover on the bundled simulator's console lines: the
connection follows the router through the boot and back to its state."""
import _thread
import os
import signal
import threading
import time

import pytest

from tarvix import simulator
from tarvix.bases.connection import Connection
from tarvix.core.errors import ConnectionError, ReloadError, ReloadTimeoutError

QUICK = ("--reload-time", "0.6", "--switchover-time", "0.6")


def single(hostname, *options, **kwargs):
    con = Connection(hostname=hostname, start=simulator.command(hostname, *(QUICK + options)), connection_timeout=5,
                     **kwargs)
    con.connect()
    return con


def dual(hostname, tmp_path, *options):
    con = Connection(hostname=hostname, start=simulator.pair(hostname, str(tmp_path), *(QUICK + options)),
                     connection_timeout=5)
    con.connect()
    return con


def test_reload_asks_about_the_change_and_drops_it_unsaved(tmp_path):
    log = tmp_path / "r1.log"
    con = single("r1", "--login", "--boot-message", "BOOT one", "--boot-message", "BOOT two",
                 credentials={"default": {"username": "admin", "password": "pw"}}, session_log=str(log),
                 env=dict(os.environ, TARVIX_SIM_PASSWORD="pw"))
    try:
        con.configure(["interface lo7", "description unsaved"])
        with pytest.raises(ReloadError, match=r"asks 'System configuration has been modified\. Save\? "
                                              r"\[yes/no\]:'.*nothing was reloaded"):
            con.reload(timeout=10)
        assert "interface lo7" in con.execute("show running-config")
        report = con.reload(save=False, timeout=10)
        rp = report.rps["a"]
        assert 0 < rp.link_lost < rp.first_answer < rp.ready <= report.seconds
        assert rp.state == "ready" and rp.boot_messages.splitlines()[:2] == ["BOOT one", "BOOT two"]
        # Logged in again, the setup configuration applied again, the change gone.
        assert con.execute("show running-config").splitlines() == ["hostname r1", "no logging console", "end"]
    finally:
        con.disconnect()
    assert "BOOT two" in log.read_text()


def test_dual_rp_switchover_then_reloads(tmp_path):
    con = dual("r2", tmp_path)
    try:
        assert (con.active.name, con.standby.name) == ("a", "b")
        report = con.switchover(timeout=15)
        assert (con.active.name, con.standby.name) == ("b", "a")
        assert report.rps["a"].link_lost < report.rps["a"].ready and report.rps["b"].ready
        # The new standby came back locked and is open again.
        assert con.standby.state_machine.current_state != "standby_locked"
        assert "STANDBY HOT" in con.execute("show redundancy | include my state", target="standby")
        seen = []

        def meanwhile():
            seen.append(con.execute("show version", target="active"))
            try:
                con.execute("show version", target="standby")
            except ConnectionError as error:
                seen.append(str(error))

        threading.Timer(0.2, meanwhile).start()
        report = con.reload(rp="standby", timeout=15)
        assert list(report.rps) == ["a"] and report.rps["a"].state == "ready"
        # The active served another thread while the standby booted.
        assert len(seen) == 2 and "2 route processor(s)" in seen[0] and seen[1] == "r2/a: reloading, not back yet"
        assert con.standby.mode == con.active.mode == "sso"
        # Back locked, and unlocked again.
        assert "STANDBY HOT" in con.execute("show redundancy | include my state", target="standby")
        report = con.reload(save=True, timeout=15)
        assert sorted(report.rps) == ["a", "b"] and all(rp.boot_messages for rp in report.rps.values())
        assert con.active.name == "b" and "13 -ACTIVE" in con.execute("show redundancy | include my state")
    finally:
        con.disconnect()


@pytest.mark.parametrize("case, message", [
    ("not ready", r"r3: switchover refused, nothing changed: % Standby RP is not ready for switchover"),
    ("single-RP", r"r3: a single-RP device has no standby to switch over to"),
    ("standby of single-RP", r"r3: there is no standby RP to reload on this device"),
])
def test_refusals_change_nothing(tmp_path, case, message):
    con = dual("r3", tmp_path, "--standby-not-ready") if case == "not ready" else single("r3")
    try:
        with pytest.raises(ReloadError, match=message):
            if case == "standby of single-RP":
                con.reload(rp="standby")
            else:
                con.switchover(timeout=10)
        assert con.execute("show version").startswith("Generic router simulator")
        if case == "not ready":
            assert con.active.name == "a"
    finally:
        con.disconnect()


def test_a_platform_without_reload_says_so():
    con = Connection(hostname="f1", os="frr", start="vtysh")
    with pytest.raises(ReloadError, match=r"^f1: the frr platform has no reload$"):
        con.reload()


def test_a_reload_that_never_comes_back_times_out():
    con = single("r4", "--no-return")
    began = time.monotonic()
    try:
        with pytest.raises(ReloadTimeoutError) as raised:
            con.reload(save=True, timeout=2.5)
    finally:
        con.disconnect()
    assert time.monotonic() - began < 10
    assert str(raised.value).startswith("r4: reload not done after 2.5 s; the device said last: "
                                        "System Bootstrap, Version 1.0")
    assert str(raised.value).endswith("RP a booting")
    assert con.spawn.closed


def test_ctrl_c_mid_reload_closes_the_link():
    con = single("r5", "--reload-time", "5")
    # As at a terminal, whatever the run was started with (a shell's
    # background job ignores SIGINT, and Python 3.6 then fails the interrupt).
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(1.0, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt, match=r"r5: reload interrupted; every link to the device is closed"):
            con.reload(save=True, timeout=20)
        assert con.spawn.closed and not con.connected
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, handler)
        con.disconnect()
    with pytest.raises(ProcessLookupError):
        os.kill(con.spawn.pid, 0)


def test_other_threads_wait_for_the_reload_and_abort_ends_it():
    con = single("r6", "--reload-time", "1.5")
    seen = []
    waiter = threading.Thread(target=lambda: seen.append((con.execute("show version"), time.monotonic())))
    try:
        began = time.monotonic()
        starter = threading.Timer(0.3, waiter.start)
        starter.start()
        report = con.reload(save=True, timeout=15)
        waiter.join(15)
        # The command of the other thread ran on the device once it was back.
        assert seen and seen[0][0].startswith("Generic router simulator") and seen[0][1] - began >= report.seconds
        threading.Timer(1.0, con.abort).start()
        with pytest.raises(ReloadError, match=r"^r6: reload aborted; RP a "):
            con.reload(save=True, timeout=20)
    finally:
        con.disconnect()
