"""tarvix run --intended on a simulated fleet, and the Nornir tasks of a
configuration change: dry run, replace, idempotence, a host without a file,
secrets masked in --json and the diffs."""
import json
import os

import pytest

pytest.importorskip("nornir")
pytest.importorskip("rich")
pytest.importorskip("hier_config")

from nornir import InitNornir  # noqa: E402

from tarvix.cli import main  # noqa: E402
from tarvix.fleet.simulate import write_fleet  # noqa: E402
from tarvix.nornir import tarvix_config_diff, tarvix_replace_config  # noqa: E402

INTENDED = ("hostname {0}\nno logging console\nusername ops secret Fleet-Secret-9\n"
            "interface Loopback5\n description fleet\n")


def _intended(directory, names):
    os.makedirs(directory, exist_ok=True)
    for name in names:
        with open(os.path.join(directory, name + ".cfg"), "w") as out:
            out.write(INTENDED.format(name))


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
    finally:
        nr.close_connections(on_failed=True)
