"""tarvix.aio on routers of the SSH simulator (and one console program on a
pseudo-terminal): the coroutines, a fleet from one loop and its threads,
timeouts, cancellation that leaves no descriptor, a loop never held up by
the ssh configuration's lookups."""
import asyncio
import os
import subprocess
import sys
import threading
import time

import pytest

from tarvix import simulator
from tarvix.core.errors import CommandError, LinkClosedError, LinkTimeoutError
from tarvix.eal.ssh import config as sshconfig, link as sshlink
from tarvix.simulator import server as simulated

pytest.importorskip("greenlet", reason="tarvix.aio needs greenlet (tarvix[aio])")
if not (sshlink.AVAILABLE and simulated.available()):
    pytest.skip(sshlink.UNAVAILABLE or "needs asyncssh (tarvix[serve])", allow_module_level=True)

from tarvix.aio import AsyncConnection, bridge, gather_devices  # noqa: E402
from tarvix.eal import waits  # noqa: E402

PASSWORD = "aio-Test-pw-3"
LOGIN = {"default": {"username": "admin", "password": PASSWORD}}


@pytest.fixture(scope="module")
def ports():
    routers = [{"hostname": "r%d" % n, "password": PASSWORD} for n in range(1, 41)]
    routers.append({"hostname": "hangs", "password": PASSWORD, "options": ["--hang", "show clock"]})
    with simulated.serving(routers) as running:
        yield dict((name, found[0]) for name, found in running.ports.items())


def ssh_args(port, name="r1", config=False, **options):
    options.update(hostname=name, start="ssh://127.0.0.1:%d" % port, credentials=LOGIN,
                   ssh={"host_key_checking": False, "config": config})
    return options


def links_to(port):
    """This process's TCP sockets whose far end is ``port`` (the clients'
    of a router; its server, in this process too, has it at the near end)."""
    inodes = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink("/proc/self/fd/%s" % fd)
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as rows:
            next(rows)
            for row in rows:
                fields = row.split()
                if int(fields[2].rpartition(":")[2], 16) == port and fields[9] in inodes:
                    found += 1
    return found


def terminals():
    return sum(1 for fd in os.listdir("/proc/self/fd") if _target(fd) == "/dev/ptmx")


def _target(fd):
    try:
        return os.readlink("/proc/self/fd/%s" % fd)
    except OSError:
        return None


def test_every_method_is_a_coroutine_over_both_kinds_of_link(ports, monkeypatch, tmp_path):
    monkeypatch.setenv(simulator.PASSWORD_ENV, PASSWORD)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))

    async def main():
        async with AsyncConnection(**ssh_args(ports["r1"])) as con:
            assert con.connected and con.hostname == "r1"
            assert "uptime is" in await con.execute("show version")
            await con.configure(["interface lo7", "description aio"])
            assert "description aio" in await con.running_config()
            assert "[OK]" in await con.save_config()
            # Those of the connection's class that are not listed too: the
            # getters, the files.
            assert (await con.facts())["hostname"] == "r1"
            source = tmp_path / "small.bin"
            source.write_bytes(b"aio" * 1000)
            await con.put_file(str(source), "small.bin")
            assert len(await con.file_checksum("small.bin")) == 64
            with pytest.raises(CommandError):
                await con.execute("show nothing-of-that-name")
        assert not con.connected
        async with AsyncConnection(hostname="r9", start=simulator.command("r9"), credentials=LOGIN) as con:
            assert con.spawn.pid and "uptime is" in await con.execute("show version")
            pid = con.spawn.pid
        return pid

    pid = asyncio.run(main())
    assert not os.path.exists("/proc/%d" % pid) or "zombie" in open("/proc/%d/status" % pid).read().lower()


def test_a_fleet_from_one_loop_with_its_limit_and_a_handful_of_threads(ports):
    hosts = dict(("r%d" % n, ssh_args(ports["r%d" % n], "r%d" % n)) for n in range(1, 41))
    hosts["r40"]["start"] = "ssh://127.0.0.1:%d" % _closed_port()
    at_once, threads = [0, 0], set()

    async def task(con):
        at_once[0] += 1
        at_once[1] = max(at_once[1], at_once[0])
        try:
            # (Not the simulator's: its loop's, its sessions', its loop's
            # executor's, which signs its host key.)
            threads.update(t.name for t in threading.enumerate()
                           if not t.name.startswith(("simulated-", "asyncio_")))
            return await con.execute("show version")
        finally:
            at_once[0] -= 1

    results = asyncio.run(gather_devices(hosts, task, limit=15))
    assert sorted(results) == sorted(hosts)
    assert all("uptime is" in results["r%d" % n] for n in range(1, 40))
    assert isinstance(results["r40"], LinkClosedError) and "Connection refused" in str(results["r40"])
    assert 1 < at_once[1] <= 15
    # The loop's own and at most the four of the calls that block.
    assert threads <= set(["MainThread"] + ["tarvix-aio_%d" % n for n in range(4)]), threads
    assert not any(links_to(port) for port in ports.values())


def _closed_port():
    import socket

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return port


@pytest.mark.slow
def test_timeouts_are_kept_and_cancelling_closes_the_link(ports, monkeypatch):
    """A server that never speaks fails the connect at its timeout, a
    command that gets no answer at its own; a call cancelled closes its
    link at once and leaves no descriptor (a session, a terminal)."""
    import socket

    monkeypatch.setenv(simulator.PASSWORD_ENV, PASSWORD)
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(8)
    quiet = silent.getsockname()[1]
    terminals_before = terminals()

    async def timed(awaitable):
        began = time.monotonic()
        try:
            await awaitable
        except (LinkTimeoutError, asyncio.TimeoutError) as error:
            return time.monotonic() - began, error
        raise AssertionError("no timeout")

    async def main():
        seen = {}
        con = AsyncConnection(**ssh_args(quiet, connection_timeout=1))
        seen["connect"] = await timed(con.connect())
        seen["connect cancelled"] = await timed(asyncio.wait_for(con.connect(), 0.4))
        con = AsyncConnection(**ssh_args(ports["hangs"], "hangs"))
        await con.connect()
        seen["command"] = await timed(con.execute("show clock", timeout=1))
        seen["command cancelled"] = await timed(asyncio.wait_for(con.execute("show clock", timeout=30), 0.4))
        seen["after"] = con.connected, links_to(ports["hangs"])
        await con.connect()
        assert "uptime is" in await con.execute("show version")
        await con.disconnect()
        console = AsyncConnection(hostname="hangs", start=simulator.command("hangs", "--hang", "show clock"),
                                  credentials=LOGIN)
        await console.connect()
        seen["console cancelled"] = await timed(asyncio.wait_for(console.execute("show clock"), 0.4))
        seen["console after"] = console.connected, terminals() - terminals_before
        return seen

    try:
        seen = asyncio.run(main())
    finally:
        silent.close()
    for case, limit in (("connect", 1), ("command", 1), ("connect cancelled", 0.4), ("command cancelled", 0.4),
                        ("console cancelled", 0.4)):
        took, error = seen[case]
        assert limit - 0.05 < took < limit + 0.2, (case, took, error)
    assert "timed out after 1" in str(seen["connect"][1]) and "show clock" in str(seen["command"][1])
    assert seen["after"] == (False, 0) and seen["console after"] == (False, 0)
    assert links_to(quiet) == 0


@pytest.mark.slow
def test_the_ssh_configuration_lookups_never_hold_the_loop(ports, tmp_path, monkeypatch):
    """ssh -G made to take 0.4 s: the devices' lookups run on threads
    while the loop goes on (a probe sees it late by far less)."""
    real = sshconfig.program()
    if real is None:
        pytest.skip("needs the system ssh")
    slow = tmp_path / "ssh"
    slow.write_text("#!/bin/sh\nsleep 0.4\nexec %s \"$@\"\n" % real)
    slow.chmod(0o755)
    monkeypatch.setenv("PATH", "%s:%s" % (tmp_path, os.environ["PATH"]))
    assert sshconfig.program() == str(slow)

    async def main():
        lag, done = [0.0], []

        async def probe():
            while not done:
                began = time.monotonic()
                await asyncio.sleep(0.01)
                lag[0] = max(lag[0], time.monotonic() - began - 0.01)

        probing = asyncio.ensure_future(probe())
        hosts = dict(("r%d" % n, ssh_args(ports["r%d" % n], "r%d" % n, config=None)) for n in range(1, 6))
        results = await gather_devices(hosts, lambda con: con.execute("show version"))
        done.append(True)
        await probing
        return results, lag[0]

    try:
        results, lag = asyncio.run(main())
    finally:
        sshconfig.forget()
    assert all("uptime is" in output for output in results.values()), results
    assert lag < 0.2, lag


def test_a_device_s_changes_take_turns_among_calls_on_one_loop_and_threads():
    """Calls over one loop share its thread: the turn is each call's own,
    and one waits for it while the loop goes on."""
    turn, held = waits.TakingTurns(), []

    def change(name):
        with turn:
            with turn:
                held.append(name)
                waits.sleep(0.05)
                held.append(name)

    async def main():
        loop = asyncio.get_running_loop()
        await asyncio.gather(bridge.run(change, "a"), bridge.run(change, "b"),
                             loop.run_in_executor(None, change, "thread"), bridge.run(change, "c"))

    asyncio.run(main())
    assert sorted(held) == sorted(["a", "b", "c", "thread"] * 2)
    assert all(held[i] == held[i + 1] for i in range(0, len(held), 2)), held


def test_calls_that_wake_together_leave_the_loop_its_turns():
    """A hundred calls working 2 ms of CPU between waits: the loop's other
    tasks still come in every few of them, not after all (measured in the
    loop thread's CPU time, which other processes do not stretch)."""
    def busy():
        for _ in range(3):
            end = time.thread_time() + 0.002
            while time.thread_time() < end:
                pass
            waits.sleep(0)

    async def main():
        worst, done = [0.0], []

        async def probe():
            while not done:
                began = time.thread_time()
                await asyncio.sleep(0.001)
                worst[0] = max(worst[0], time.thread_time() - began)

        probing = asyncio.ensure_future(probe())
        await asyncio.gather(*[bridge.run(busy) for _ in range(100)])
        done.append(True)
        await probing
        return worst[0]

    assert asyncio.run(main()) < 0.06


def test_waits_on_descriptors_share_one_reader_of_the_loop():
    """Two hundred calls waiting on sockets cost the loop one reader; each
    wakes when its peer writes, a wait with nothing to read runs out, and a
    socket closed while waited on leaves the next wait on its number intact."""
    import socket

    pairs = [socket.socketpair() for _ in range(200)]

    def wait(sock, timeout=5):
        return waits.ready(sock.fileno(), timeout=timeout)

    async def main():
        loop = asyncio.get_running_loop()
        readers = len(loop._selector.get_map())
        calls = [asyncio.ensure_future(bridge.run(wait, near)) for near, far in pairs[:-1]]
        quiet = asyncio.ensure_future(bridge.run(wait, pairs[-1][0], 0.05))
        await asyncio.sleep(0.05)
        seen = {"readers while waiting": len(loop._selector.get_map()) - readers}
        for near, far in pairs[:-1]:
            far.send(b"x")
        seen["woken"] = await asyncio.gather(*calls)
        seen["ran out"] = await quiet
        # Closed while its call waits; the number, made again, waited on by another.
        gone, peer = socket.socketpair()
        stale = asyncio.ensure_future(bridge.run(wait, gone, 0.2))
        await asyncio.sleep(0.02)
        number = gone.fileno()
        gone.close()
        again, writer = socket.socketpair()
        if again.fileno() != number:
            os.dup2(again.fileno(), number)
            again.close()
            again = socket.socket(fileno=number)
        fresh = asyncio.ensure_future(bridge.run(wait, again, 2))
        seen["stale"] = await stale
        writer.send(b"x")
        seen["fresh"] = await fresh
        await asyncio.sleep(0)
        seen["readers after"] = len(loop._selector.get_map()) - readers
        for sock in (again, writer, peer):
            sock.close()
        return seen

    try:
        seen = asyncio.run(main())
    finally:
        for near, far in pairs:
            near.close()
            far.close()
    assert seen == {"readers while waiting": 1, "woken": [True] * 199, "ran out": False, "stale": False,
                    "fresh": True, "readers after": 0}, seen


def test_without_greenlet_the_import_says_what_it_needs():
    said = subprocess.run([sys.executable, "-c", "import sys; sys.modules['greenlet'] = None; import tarvix.aio"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert said.returncode == 1
    assert said.stderr.strip().splitlines()[-1] == \
        "ImportError: tarvix.aio needs greenlet and Python 3.8 or later: pip install greenlet"
