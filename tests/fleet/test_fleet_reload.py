"""``tarvix run --reload --max-parallel N`` on 20 routers served over SSH:
never more than N of them down at once, as the simulator saw it."""
import json
import shutil
import time

import pytest

pytest.importorskip("nornir")

from tarvix.cli import main  # noqa: E402
from tarvix.fleet.simulate import write_fleet  # noqa: E402
from tarvix.simulator import server  # noqa: E402

pytestmark = [
    pytest.mark.skipif(not server.available(), reason="needs asyncssh (tarvix[serve])"),
    pytest.mark.skipif(shutil.which("ssh") is None, reason="needs the system ssh"),
]

COUNT, PARALLEL, BOOT = 20, 5, 0.5


def _most_at_once(spans):
    return max(sum(1 for begin, end in spans if begin <= moment < end) for moment, _ in spans)


def test_reload_a_fleet_five_at_a_time(tmp_path, capsys):
    names = ["sim-r%02d" % number for number in range(1, COUNT + 1)]
    routers = [{"hostname": name, "password": "pw", "options": ["--reload-time", str(BOOT)]} for name in names]
    spans = []
    with server.serving(routers) as running:
        for router in running.routers:
            boots = router.state.boots
            boots.listeners.append(lambda seats, boots=boots: spans.append((time.time(), boots.ends(seats[0]))))
        write_fleet(str(tmp_path), COUNT, ssh_ports=[running.ports[name][0] for name in names], password="pw")
        status = main(["run", "--inventory", str(tmp_path), "--execute", "show version", "--reload", "--no-save",
                       "--max-parallel", str(PARALLEL), "--json"])
    document = json.loads(capsys.readouterr().out)
    assert status == 0 and document["ok"] == COUNT, document
    assert len(spans) == COUNT and _most_at_once(spans) == PARALLEL
    timeline = document["hosts"][0]["outputs"][-1]
    assert timeline["command"] == "reload" and timeline["output"]["rps"]["a"]["state"] == "ready"
