"""tarvix run --intended on a simulated fleet, and the Nornir tasks of a
configuration change: dry run, replace, idempotence, a host without a file,
secrets masked in --json and the diffs; files that are empty or not text,
a change cut short and rolled back, backups, an interrupt mid-change."""
import contextlib
import json
import os
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("nornir")
pytest.importorskip("rich")
pytest.importorskip("hier_config")

from nornir import InitNornir  # noqa: E402

from tarvix.cli import main  # noqa: E402
from tarvix.fleet.simulate import write_fleet  # noqa: E402
from tarvix.nornir import tarvix_config_diff, tarvix_merge_config, tarvix_replace_config  # noqa: E402

INTENDED = ("hostname {0}\nno logging console\nusername ops secret Fleet-Secret-9\n"
            "interface Loopback5\n description fleet\n")


def _intended(directory, names, text=INTENDED):
    os.makedirs(directory, exist_ok=True)
    for name in names:
        with open(os.path.join(directory, name + ".cfg"), "w") as out:
            out.write(text.format(name))


def test_run_intended(tmp_path, capsys):
    fleet, wanted, out = str(tmp_path / "fleet"), str(tmp_path / "intended"), str(tmp_path / "out")
    write_fleet(fleet, 3)
    _intended(wanted, ["sim-r01", "sim-r02"])
    base = ["run", "--inventory", fleet, "--intended", wanted, "--output", out]
    assert main(base + ["--dry-run", "--json"]) == 1
    document = json.loads(capsys.readouterr().out)
    hosts = dict((host["name"], host) for host in document["hosts"])
    assert hosts["sim-r01"]["config"]["dry_run"] and hosts["sim-r01"]["config"]["lines"] > 0
    assert "no intended configuration for sim-r03" in hosts["sim-r03"]["error"]
    with open(os.path.join(out, "sim-r01.diff")) as diff:
        text = diff.read()
    assert "+interface Loopback5" in text and "Fleet-Secret-9" not in text
    assert "Fleet-Secret-9" not in json.dumps(document)
    assert main(base) == 1
    table = [line.split(None, 3) for line in capsys.readouterr().out.splitlines()[1:4]]
    assert [row[:2] for row in table] == [["sim-r01", "ok"], ["sim-r02", "ok"], ["sim-r03", "failed"]]
    assert table[0][3].startswith("changed, ") and "no intended configuration" in table[2][3]


def test_nornir_tasks_replace_and_diff(tmp_path):
    fleet = str(tmp_path / "fleet")
    write_fleet(fleet, 1)
    files = dict((kind + "_file", os.path.join(fleet, kind + "s.yaml")) for kind in ("host", "group"))
    files["defaults_file"] = os.path.join(fleet, "defaults.yaml")
    nr = InitNornir(inventory={"plugin": "SimpleInventory", "options": files}, runner={"plugin": "serial"},
                    logging={"enabled": False})
    intended = INTENDED.format("sim-r01")
    try:
        assert nr.run(task=tarvix_config_diff, intended=intended)["sim-r01"][0].changed
        result = nr.run(task=tarvix_replace_config, intended=intended)["sim-r01"][0]
        assert result.changed and not result.failed and "+interface Loopback5" in result.diff
        # (Another test of this process may have made the word "secret" a known secret too.)
        assert result.sent[0].startswith("username ops ") and result.sent[0].endswith(" ****")
        assert "Fleet-Secret-9" not in "".join(result.sent)
        assert not nr.run(task=tarvix_config_diff, intended=intended)["sim-r01"][0].changed
        assert not nr.run(task=tarvix_replace_config, intended=intended)["sim-r01"][0].changed
        # The lines to merge are lines=, as tarvix_configure's; config= still works.
        assert nr.run(task=tarvix_merge_config, lines=["interface Loopback6"])["sim-r01"][0].changed
        assert nr.run(task=tarvix_merge_config, config="interface Loopback7\n")["sim-r01"][0].sent[0] == (
            "interface Loopback7")
    finally:
        nr.close_connections(on_failed=True)


def test_a_dry_run_sends_nothing_and_files_that_would_wipe_or_are_not_text_are_refused(tmp_path, capsys):
    fleet, wanted = str(tmp_path / "fleet"), str(tmp_path / "intended")
    write_fleet(fleet, 3)
    _intended(wanted, ["sim-r01", "sim-r02", "sim-r03"])
    base = ["run", "--inventory", fleet, "--intended", wanted]
    for more, refused in [(["--dry-run", "--configure", "hostname X"], "--dry-run sends nothing: not with --configure"),
                          (["--dry-run", "--reload", "--no-save"], "--dry-run sends nothing: not with --reload"),
                          (["--confirm", "0.5"], "--confirm 0.5: give 1 second or more")]:
        assert main(base + more) == 2
        assert capsys.readouterr().err == "error: %s\n" % refused
    with open(os.path.join(wanted, "sim-r02.cfg"), "w") as out:
        out.write(" \n\t\n")
    with open(os.path.join(wanted, "sim-r03.cfg"), "wb") as out:
        out.write(b"hostname sim-r03\ninterface Loopback\xe9\n")
    assert main(base + ["--dry-run"]) == 1
    printed = capsys.readouterr().out
    assert printed.startswith("=== sim-r01\n--- running\n+++ intended\n") and "+interface Loopback5" in printed
    rows = dict((line.split()[0], line) for line in printed.splitlines() if line.startswith("sim-r0"))
    assert "sim-r02.cfg): it would remove the whole configuration; give --allow-empty" in rows["sim-r02"]
    assert "sim-r03.cfg: not UTF-8 text (byte 0xe9 at offset 35)" in rows["sim-r03"]
    assert main(base + ["--name", "sim-r02", "--allow-empty", "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["hosts"][0]["config"]["changed"]


@contextlib.contextmanager
def _served_fleet(directory, options):
    """A fleet of served simulated routers (their configuration lasts
    between sessions, as a device's), each with its console's options."""
    from tarvix.simulator import server

    if not server.available():
        pytest.skip("needs asyncssh (tarvix[serve])")
    names = sorted(options)
    routers = [{"hostname": name, "port": 0, "password": "pw", "options": options[name]} for name in names]
    with server.serving(routers) as served:
        write_fleet(directory, len(names), ssh_ports=[served.ports[name][0] for name in names], password="pw")
        yield


def _json_hosts(capsys):
    return dict((host["name"], host) for host in json.loads(capsys.readouterr().out)["hosts"])


def test_a_change_cut_short_is_told_and_rolled_back_from_the_output_and_backups_are_kept(tmp_path, capsys):
    hung = "ip route 10.7.0.0 255.255.0.0 Null0"
    fleet, wanted, out, backups = (str(tmp_path / name) for name in ("fleet", "intended", "out", "backups"))
    with _served_fleet(fleet, {"sim-r01": ["--hang", hung], "sim-r02": []}):
        # (Not "no logging console": the simulator shows the default it brings back.)
        _intended(wanted, ["sim-r01", "sim-r02"], INTENDED.replace("no logging console\n", ""))
        with open(os.path.join(wanted, "sim-r01.cfg"), "a") as more:
            more.write(hung + "\n")
        assert main(["run", "--inventory", fleet, "--intended", wanted, "--output", out, "--backup", backups,
                     "--timeout", "0.5", "--json"]) == 1
        hosts = _json_hosts(capsys)
        cut, done = hosts["sim-r01"], hosts["sim-r02"]
        assert cut["status"] == "failed" and cut["config"]["cut_short"] and cut["config"]["acknowledged"] > 0
        before = os.path.join(out, "sim-r01.before.cfg")
        assert cut["done"][-1] == ("the configuration change begun, cut short after %d line(s) acknowledged, NOT "
                                   "undone; the configuration before in %s" % (cut["config"]["acknowledged"], before))
        assert "sent without an answer: %r" % hung in cut["error"]
        assert done["status"] == "ok" and done["config"]["before"] == os.path.join(out, "sim-r02.before.cfg")
        for name in ("sim-r01", "sim-r02"):
            with open(os.path.join(backups, name + ".cfg")) as backup, open(os.path.join(out, name + ".before.cfg")) as kept:
                assert backup.read() == kept.read() == "hostname %s\n" % name
        assert main(["run", "--inventory", fleet, "--rollback", out, "--output", out]) == 2
        assert "--rollback and --output %s: give --output another directory" % out in capsys.readouterr().err
        assert main(["run", "--inventory", fleet, "--rollback", out, "--backup", backups]) == 0
        assert capsys.readouterr().out.count("changed, ") == 2
        # The backups taken before the rollback hold the changes; those after it, what was before.
        assert main(["run", "--inventory", fleet, "--backup", backups]) == 0
        for name in ("sim-r01", "sim-r02"):
            with open(os.path.join(backups, name + ".cfg")) as backup:
                assert backup.read() == "hostname %s\n" % name


def test_an_interrupt_mid_change_tells_how_far_it_came(tmp_path):
    hung = "ip route 10.7.0.0 255.255.0.0 Null0"
    fleet, wanted, out, logs = (str(tmp_path / name) for name in ("fleet", "intended", "out", "logs"))
    with _served_fleet(fleet, {"sim-r01": ["--hang", hung]}):
        _intended(wanted, ["sim-r01"])
        with open(os.path.join(wanted, "sim-r01.cfg"), "a") as more:
            more.write(hung + "\n")
        run = subprocess.Popen([sys.executable, "-m", "tarvix", "run", "--inventory", fleet, "--intended", wanted,
                                "--output", out, "--session-log", logs, "--json"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        log, deadline = os.path.join(logs, "sim-r01.log"), time.monotonic() + 30
        while not (os.path.exists(log) and hung in open(log).read()) and time.monotonic() < deadline:
            time.sleep(0.1)
        run.send_signal(signal.SIGINT)
        stdout, stderr = run.communicate(timeout=30)
        assert run.returncode == 130, stderr
        host = json.loads(stdout)["hosts"][0]
        assert host["status"] == "interrupted" and host["config"]["cut_short"]
        assert host["done"][-1].startswith("the configuration change begun, cut short after %d line(s) acknowledged"
                                           % host["config"]["acknowledged"])
        assert host["config"]["acknowledged"] > 0 and os.path.exists(os.path.join(out, "sim-r01.before.cfg"))
