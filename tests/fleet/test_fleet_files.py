"""``tarvix run --put``, ``--get`` and ``--upgrade`` over routers served
over SSH: the reports in --json, the table's notes, a device whose flash
is too small failing alone, and the options refused before any device is
reached."""
import hashlib
import json
import os
import re
import shutil

import pytest

pytest.importorskip("nornir")

from tarvix.cli import main  # noqa: E402
from tarvix.eal.ssh import link as sshlink  # noqa: E402
from tarvix.fleet.simulate import write_fleet  # noqa: E402
from tarvix.simulator import server  # noqa: E402

pytestmark = [
    pytest.mark.skipif(not server.available(), reason="needs asyncssh (tarvix[serve])"),
    pytest.mark.skipif(shutil.which("ssh") is None, reason="needs the system ssh"),
    pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or ""),
]

NAMES = ["sim-r01", "sim-r02", "sim-r03"]


@pytest.fixture
def fleet(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    image = tmp_path / "tarvix-2.1.bin"
    image.write_bytes(os.urandom(2 * 1024 * 1024))
    routers = [{"hostname": name, "password": "pw", "options": ["--reload-time", "0.3"]} for name in NAMES]
    routers[-1]["options"] += ["--flash-size", "1000000"]
    with server.serving(routers) as running:
        inventory = tmp_path / "inventory"
        write_fleet(str(inventory), len(NAMES), ssh_ports=[running.ports[name][0] for name in NAMES], password="pw")
        yield str(inventory), str(image), tmp_path


@pytest.mark.slow
def test_upgrade_put_and_get_over_a_fleet(fleet, capsys):
    inventory, image, folder = fleet
    status = main(["run", "--inventory", inventory, "--upgrade", image, "--expect-version", "2.1",
                   "--max-parallel", "1", "--json"])
    hosts = dict((host["name"], host) for host in json.loads(capsys.readouterr().out)["hosts"])
    assert status == 1 and [hosts[name]["status"] for name in NAMES] == ["ok", "ok", "failed"]
    assert hosts["sim-r01"]["upgrade"]["version"] == "2.1"
    assert [step["step"] for step in hosts["sim-r01"]["upgrade"]["steps"]] == \
        ["copy", "boot", "save", "reload", "version"]
    assert hosts["sim-r01"]["transfers"][0]["verified"] is True
    assert hosts["sim-r03"]["upgrade"]["failed"] == "copy"
    assert re.search(r"failed at its copy step: .*needs 2097152 bytes, the device has 1000000 bytes free",
                     hosts["sim-r03"]["error"])

    output = str(folder / "out")
    status = main(["run", "--inventory", inventory, "--name", "sim-r01", "--name", "sim-r02",
                   "--put", "%s:flash:copy.bin" % image, "--get", "flash:tarvix-2.1.bin", "--output", output])
    table = capsys.readouterr().out
    assert status == 0, table
    assert re.search(r"sim-r01 +ok .*put flash:copy.bin: copied [\d.]+ MB/s, sha256 verified; "
                     r"get flash:tarvix-2.1.bin: copied [\d.]+ MB/s, sha256 verified", table), table
    want = hashlib.sha256(open(image, "rb").read()).hexdigest()
    for name in NAMES[:2]:
        with open(os.path.join(output, "%s_tarvix-2.1.bin" % name), "rb") as got:
            assert hashlib.sha256(got.read()).hexdigest() == want
    assert main(["run", "--inventory", inventory, "--name", "sim-r01", "--put", "%s:flash:copy.bin" % image]) == 0
    assert "put flash:copy.bin: skipped (there already), sha256 verified" in capsys.readouterr().out


@pytest.mark.slow
def test_nornir_tasks(fleet):
    from nornir import InitNornir

    from tarvix.nornir import tarvix_get_file, tarvix_put_file, tarvix_upgrade

    inventory, image, folder = fleet
    nr = InitNornir(inventory={"plugin": "SimpleInventory", "options": {
        "host_file": os.path.join(inventory, "hosts.yaml"), "group_file": os.path.join(inventory, "groups.yaml"),
        "defaults_file": os.path.join(inventory, "defaults.yaml")}}, logging={"enabled": False}).filter(
        name="sim-r01")
    try:
        put = nr.run(task=tarvix_put_file, local=image, remote="flash:n.bin")["sim-r01"][0]
        assert put.changed and put.result["verified"] and put.result["protocol"] == "sftp"
        got = nr.run(task=tarvix_get_file, remote="flash:n.bin", local=str(folder))["sim-r01"][0]
        assert got.result["local"] == str(folder / "n.bin") and got.result["verified"]
        up = nr.run(task=tarvix_upgrade, image=image, reload=False)["sim-r01"][0]
        assert [step["step"] for step in up.result["steps"]] == ["copy", "boot"] and not up.failed
        missing = nr.run(task=tarvix_get_file, remote="flash:absent.bin", local=str(folder))["sim-r01"][0]
        assert missing.failed and "flash:absent.bin: No such file or directory" in missing.result
    finally:
        nr.close_connections(on_failed=True)


@pytest.mark.parametrize("options, complaint", [
    (["--put", "/nonexistent/image.bin:flash:x"], "--put /nonexistent/image.bin: no such local file"),
    (["--put", "{folder}:flash:x"], "is a directory"),
    (["--get", "flash:x"], "--get needs --output DIR"),
    (["--upgrade", "{image}", "--reload"], "--upgrade reloads each device itself"),
    (["--expect-version", "2.1", "--execute", "show clock"], "--expect-version goes with --upgrade"),
])
def test_options_refused_before_any_device(tmp_path, capsys, options, complaint):
    image = tmp_path / "image.bin"
    image.write_bytes(b"x")
    write_fleet(str(tmp_path), 1)
    options = [o.format(folder=str(tmp_path), image=str(image)) for o in options]
    assert main(["run", "--inventory", str(tmp_path)] + options) == 2
    assert complaint in capsys.readouterr().err
