"""tarvix run --check, --snapshot and --compare on simulated devices, and
the change loop: checked before, changed, settled, checked again, rolled
back when it fails (healthy again, or the rollback failed: exit 3)."""
import json
import os

import pytest

pytest.importorskip("nornir")
pytest.importorskip("yaml")
pytest.importorskip("hier_config")

from tarvix import simulator  # noqa: E402
from tarvix.cli import main  # noqa: E402

CHECKS = "facts: {hostname: '~ ^r[124]$'}\ninterfaces:\n  GigabitEthernet0/0: {up: true, enabled: true}\n"
SHUT = "hostname {0}\nno logging console\ninterface GigabitEthernet0/0\n shutdown\n"
INTENDED = {"r1": SHUT, "r2": "hostname {0}\nno logging console\ninterface Loopback9\n description new\n",
            "r3": SHUT, "r4": SHUT}
# r4's device refuses the line that removes the shut interface again.
OPTIONS = {"r4": ["--reject", "no interface GigabitEthernet0/0"]}


def _lab(tmp_path):
    lab, wanted = tmp_path / "lab", tmp_path / "intended"
    lab.mkdir()
    wanted.mkdir()
    with open(str(lab / "hosts.yaml"), "w") as out:
        for name in sorted(INTENDED):
            out.write("%s:\n  connection_options:\n    tarvix:\n      extras: %s\n"
                      % (name, json.dumps({"start": simulator.command(name, *OPTIONS.get(name, []))})))
            (wanted / (name + ".cfg")).write_text(INTENDED[name].format(name))
    (lab / "defaults.yaml").write_text("username: admin\npassword: Lab-Secret-1\n")
    (tmp_path / "checks.yaml").write_text(CHECKS)
    return str(lab), str(wanted), str(tmp_path / "checks.yaml")


def _hosts(capsys):
    """The hosts of the run's --json, and what it wrote to stderr."""
    out, err = capsys.readouterr()
    return dict((host["name"], host) for host in json.loads(out)["hosts"]), err


def test_the_change_loop_rolls_back_what_fails_its_checks(tmp_path, capsys):
    lab, wanted, checks = _lab(tmp_path)
    status = main(["run", "--inventory", lab, "--intended", wanted, "--check", checks, "--rollback-on-fail",
                   "--settle", "0.5", "--json"])
    hosts, err = _hosts(capsys)
    assert status == 3
    assert [hosts[name]["status"] for name in sorted(hosts)] == ["failed", "ok", "failed", "failed"]
    r1 = hosts["r1"]
    assert r1["error"] == ("after the change, 2 of 3 check(s) failed: interfaces[GigabitEthernet0/0].up: expected true, "
                           "got false; interfaces[GigabitEthernet0/0].enabled: expected true, got false; rolled back, "
                           "healthy again")
    assert all(check["passed"] for check in r1["checks_before"]) and r1["rollback"]["healthy"]
    assert {"path": "interfaces[GigabitEthernet0/0].up", "before": True, "after": False,
            "what": "interface down"} in r1["state_diff"]
    assert r1["state_before"]["interfaces"]["GigabitEthernet0/0"]["up"] and r1["config"]["changed"]
    assert hosts["r2"]["error"] is None and all(check["passed"] for check in hosts["r2"]["checks"])
    assert hosts["r3"]["error"].startswith("failing before the change, so left unchanged (--force changes it")
    assert "config" not in hosts["r3"] and hosts["r3"]["checks_before"][0]["actual"] == "r3"
    assert "the rollback FAILED: r4: " in hosts["r4"]["error"] and hosts["r4"]["rollback"]["failed"]
    assert err.splitlines()[-1].startswith("r4: the rollback FAILED: ")


def test_a_snapshot_compared_after_a_change(tmp_path, capsys):
    lab, wanted, checks = _lab(tmp_path)
    snapshots = str(tmp_path / "snapshots")
    assert main(["run", "--inventory", lab, "--name", "r1", "--snapshot", snapshots]) == 0
    capsys.readouterr()
    with open(os.path.join(snapshots, "r1.json")) as saved:
        assert json.load(saved)["facts"]["hostname"] == "r1"
    assert main(["run", "--inventory", lab, "--name", "r1", "--intended", wanted, "--compare", snapshots,
                 "--json"]) == 0
    r1 = _hosts(capsys)[0]["r1"]
    diff = r1["state_diff"]
    assert r1["outputs"][-1]["note"].startswith("changed since the snapshot: interface down interfaces[")
    assert [(change["path"], change["what"]) for change in diff] == [
        ("interfaces[GigabitEthernet0/0].up", "interface down"),
        ("interfaces[GigabitEthernet0/0].enabled", "interface disabled"),
        ("lldp_neighbors[GigabitEthernet0/0]", "neighbour gone")]


def test_the_nornir_task_checks_a_host(tmp_path):
    from nornir import InitNornir

    from tarvix.nornir import tarvix_check

    lab, _, _ = _lab(tmp_path)
    nr = InitNornir(inventory={"plugin": "SimpleInventory", "options": {
        "host_file": os.path.join(lab, "hosts.yaml"), "defaults_file": os.path.join(lab, "defaults.yaml")}},
        runner={"plugin": "serial"}, logging={"enabled": False}).filter(name="r3")
    try:
        result = nr.run(task=tarvix_check, checks={"facts": {"hostname": "r1"}, "interfaces": {"Loopback0": "present"}})
    finally:
        nr.close_connections(on_failed=True)
    outcome = result["r3"][0]
    assert outcome.failed and outcome.result == [
        {"path": "facts.hostname", "expected": "r1", "actual": "r3", "passed": False},
        {"path": "interfaces.Loopback0", "expected": "present", "actual": "present", "passed": True}]
    assert outcome.state["facts"]["hostname"] == "r3"


@pytest.mark.parametrize("text,words", [
    ("interfaces:\n  Gi0/0:\n    upp: true\n", ":3: interfaces[Gi0/0].upp: unknown key upp"),
    ("interfaces: {Gi0/0: {mtu: '> big'}}\n", ":1: interfaces[Gi0/0].mtu: '> big': > compares with a number"),
])
def test_a_checks_file_that_cannot_be_checked_stops_the_run(tmp_path, capsys, text, words):
    lab, _, checks = _lab(tmp_path)
    with open(checks, "w") as out:
        out.write(text)
    assert main(["run", "--inventory", lab, "--check", checks]) == 2
    err = capsys.readouterr().err
    assert err.startswith("error: %s%s" % (checks, words)) and err.count("\n") == 1
