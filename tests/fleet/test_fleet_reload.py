"""``tarvix run --reload --max-parallel N`` on 20 routers served over SSH:
never more than N of them down at once, as the simulator saw it."""
import json
import re
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


def test_switchover_over_a_fleet(tmp_path, capsys):
    from tarvix import simulator

    quick = ("--switchover-time", "0.5")
    for name in ("d1", "d2"):
        (tmp_path / name).mkdir()
    hosts = {"d1": {"start": simulator.pair("d1", str(tmp_path / "d1"), *quick), "chassis_type": "dual_rp"},
             # Its standby is not ready: the switchover is refused.
             "d2": {"start": simulator.pair("d2", str(tmp_path / "d2"), "--standby-not-ready"),
                    "chassis_type": "dual_rp"},
             "s1": {"start": simulator.command("s1", *quick)}}
    with open(str(tmp_path / "hosts.yaml"), "w") as out:
        for name, extras in sorted(hosts.items()):
            out.write("%s:\n  connection_options:\n    tarvix:\n      extras: %s\n" % (name, json.dumps(extras)))
    assert main(["run", "--inventory", str(tmp_path), "--switchover"]) == 1
    table = capsys.readouterr().out
    assert re.search(r"d1 +ok +[\d.]+ +switchover a: lost [\d.]+ s, back [\d.]+ s, ready [\d.]+ s; b: back", table), table
    assert main(["run", "--inventory", str(tmp_path), "--switchover", "--json"]) == 1
    hosts = dict((host["name"], host) for host in json.loads(capsys.readouterr().out)["hosts"])
    assert hosts["d1"]["status"] == "ok" and hosts["d1"]["done"] == ["switchover"]
    assert hosts["d1"]["outputs"][0]["output"]["rps"]["a"]["state"] == "ready"
    assert hosts["s1"]["status"] == "failed"
    assert hosts["s1"]["error"] == "s1: a single-RP device has no standby to switch over to"
    # Refused, by the device or for want of a standby: nothing began.
    assert "switchover refused, nothing changed" in hosts["d2"]["error"]
    assert hosts["d2"]["done"] == hosts["s1"]["done"] == []


@pytest.mark.parametrize("options, complaint", [
    (["--reload", "--switchover"], "--reload and --switchover: give one of them"),
    (["--save", "--execute", "show clock"], "--save goes with --reload, --intended or --rollback, --no-save with --reload"),
    (["--reload", "--max-parallel", "0"], "--max-parallel must be 1 or more"),
])
def test_reload_options_are_checked(tmp_path, capsys, options, complaint):
    write_fleet(str(tmp_path), 1)
    assert main(["run", "--inventory", str(tmp_path)] + options) == 2
    assert capsys.readouterr().err.strip() == "error: " + complaint
