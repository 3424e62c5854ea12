"""The FastAPI example (examples/fastapi-pool) under uvicorn, driven with
httpx: versions from a pool of connections opened once and kept."""
import asyncio
import json
import os
import signal
import socket
import subprocess
import sys

import pytest

from tarvix.eal.ssh import link as sshlink
from tarvix.simulator import server as simulated

for _needed in ("greenlet", "fastapi", "uvicorn", "httpx"):
    pytest.importorskip(_needed, reason="the example's test needs greenlet, fastapi, uvicorn and httpx")
if not (sshlink.AVAILABLE and simulated.available()):
    pytest.skip(sshlink.UNAVAILABLE or "needs asyncssh (tarvix[serve])", allow_module_level=True)

import httpx  # noqa: E402

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                       "examples", "fastapi-pool")
PASSWORD = "api-Test-pw-6"
NAMES = ["r%d" % n for n in range(1, 6)]


def sessions(ports):
    """The near ends (ports) of the TCP connections established to the
    routers' ports: the service's sessions (nothing else connects)."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as rows:
            next(rows)
            for row in rows:
                fields = row.split()
                if fields[3] == "01" and int(fields[2].rpartition(":")[2], 16) in ports:
                    found.add(int(fields[1].rpartition(":")[2], 16))
    return found


@pytest.mark.slow
def test_the_service_answers_from_connections_it_keeps_open(tmp_path):
    routers = [{"hostname": name, "password": PASSWORD} for name in NAMES]
    with simulated.serving(routers) as running:
        ports = dict((name, found[0]) for name, found in running.ports.items())
        devices = dict((name, {"hostname": name, "start": "ssh://admin@127.0.0.1:%d" % port,
                               "credentials": {"default": {"username": "admin", "password": PASSWORD}},
                               "ssh": {"host_key_checking": False, "config": False}})
                       for name, port in ports.items())
        (tmp_path / "devices.json").write_text(json.dumps(devices))
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        url = "http://127.0.0.1:%d" % listener.getsockname()[1]
        service = subprocess.Popen(
            [sys.executable, "-m", "uvicorn", "--factory", "app:create_app", "--fd", str(listener.fileno()),
             "--log-level", "warning"], cwd=EXAMPLE, pass_fds=[listener.fileno()],
            env=dict(os.environ, TARVIX_DEVICES=str(tmp_path / "devices.json")))
        listener.close()
        try:
            rounds, missing = asyncio.run(_requests(url, lambda: sessions(set(ports.values()))))
            service.send_signal(signal.SIGTERM)
            # (uvicorn ends by the signal once it has shut down.)
            assert service.wait(20) in (0, -signal.SIGTERM)
        finally:
            if service.poll() is None:
                service.kill()
                service.wait()
        left = sessions(set(ports.values()))
    for devices, versions, held in rounds:
        assert sorted(devices) == sorted(NAMES * 2)
        assert all("uptime is" in version for version in versions)
        # One session a device, the same for every request.
        assert len(held) == len(NAMES) and held == rounds[0][2]
    assert missing == (404, {"detail": "no device r9"})
    # Closed as the service stopped.
    assert not left


async def _requests(url, look):
    """Two rounds of two requests a device at once: (the devices answered,
    their versions, the sessions open after) each; the answer for a device
    not in the file."""
    async with httpx.AsyncClient(base_url=url, timeout=30) as client:
        for _ in range(100):
            try:
                await client.get("/devices/r1/version")
                break
            except httpx.TransportError:
                await asyncio.sleep(0.1)
        rounds = []
        for _ in range(2):
            replies = await asyncio.gather(*[client.get("/devices/%s/version" % name) for name in NAMES * 2])
            assert [reply.status_code for reply in replies] == [200] * len(replies), [r.text for r in replies]
            bodies = [reply.json() for reply in replies]
            rounds.append(([body["device"] for body in bodies], [body["version"] for body in bodies], look()))
        missing = await client.get("/devices/r9/version")
    return rounds, (missing.status_code, missing.json())
