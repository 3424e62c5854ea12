"""The report of a run (``tarvix run --report``, ``tarvix.fleet.report.write``):
each step's times in threaded runs and Nornir's results, what the page
holds, secrets masked, long texts shortened, the file checked first."""
import json
import os
import re

import pytest

pytest.importorskip("nornir")
pytest.importorskip("rich")

from nornir import InitNornir  # noqa: E402

from tarvix import simulator  # noqa: E402
from tarvix.cli import main  # noqa: E402
from tarvix.eal import secrets  # noqa: E402
from tarvix.fleet import report  # noqa: E402
from tarvix.fleet.report import content  # noqa: E402
from tarvix.nornir import tarvix_execute  # noqa: E402

PASSWORD = "Inv-Secret-42"
LINE_SECRET = "Cfg-Secret-7"


def _lab(directory, hosts):
    """hosts.yaml of spawned simulators ({name: options}), a password in
    the defaults."""
    os.makedirs(directory)
    with open(os.path.join(directory, "hosts.yaml"), "w") as out:
        for name, options in sorted(hosts.items()):
            out.write("%s:\n  platform: generic\n  connection_options:\n    tarvix:\n      extras: %s\n"
                      % (name, json.dumps({"start": simulator.command(name, *options)})))
    with open(os.path.join(directory, "defaults.yaml"), "w") as out:
        out.write("username: admin\npassword: %s\n" % PASSWORD)
    return directory


def test_a_runs_report(tmp_path, capsys):
    lab = _lab(str(tmp_path / "lab"), {"r1": [], "r2": ["--reject", "show clock"]})
    page, logs = str(tmp_path / "run.html"), str(tmp_path / "logs")
    command = ["run", "--inventory", lab, "--execute", "show clock", "--configure",
               "username ops secret %s" % LINE_SECRET, "--session-log", logs, "--output", str(tmp_path / "out")]
    # A report that cannot be written stops the run before anything connects.
    os.mkdir(str(tmp_path / "folder"))
    assert main(command + ["--report", str(tmp_path / "folder")]) == 2
    assert capsys.readouterr().err.startswith("error: --report %s: a directory" % (tmp_path / "folder"))
    assert os.listdir(logs) == []

    assert main(command + ["--report", page, "--json"]) == 1
    document = json.loads(capsys.readouterr().out)
    hosts = {host["name"]: host for host in document["hosts"]}
    steps = hosts["r1"]["steps"]
    assert [(step["step"], step["kind"]) for step in steps] == [
        ("connect", "connect"), ("show clock", "command"), ("configuration of 1 line(s)", "configuration"),
        ("disconnect", "disconnect")]
    assert document["started"] <= steps[0]["start"] and steps[-1]["end"] <= document["ended"]
    assert all(a["start"] <= a["end"] <= b["start"] for a, b in zip(steps, steps[1:]))
    assert [step["status"] for step in hosts["r2"]["steps"]] == ["ok", "failed", "ok"]
    assert "secret ****" in document["command_line"] and LINE_SECRET not in document["command_line"]
    assert hosts["r1"]["session_logs"] == [os.path.join(logs, "r1.log")]

    with open(page, encoding="utf-8") as handle:
        text = handle.read()
    # Nothing from anywhere: its own style and script only.
    policy = re.search(r'http-equiv="Content-Security-Policy" content="([^"]+)"', text).group(1)
    assert policy.startswith("default-src 'none'; script-src 'sha256-") and "http" not in policy
    assert LINE_SECRET not in text and PASSWORD not in text
    data = report.read(page)
    shown = {host["name"]: host for host in data["hosts"]}
    assert shown["r2"]["status"] == "failed" and "show clock" in shown["r2"]["note"]
    assert "r1#show clock" in shown["r1"]["session_log"][0]["text"]
    assert data["command_line"] == document["command_line"] and data["report"]["generator"].startswith("tarvix ")



def test_the_report_of_nornirs_results_and_of_a_document(tmp_path, monkeypatch):
    lab = _lab(str(tmp_path / "lab"), {"r1": [], "r2": ["--reject", "show clock"]})
    nr = InitNornir(runner={"plugin": "threaded"}, logging={"enabled": False},
                    inventory={"plugin": "SimpleInventory",
                               "options": {"host_file": os.path.join(lab, "hosts.yaml"),
                                           "defaults_file": os.path.join(lab, "defaults.yaml")}})
    try:
        results = nr.run(task=tarvix_execute, command="show clock")
        results_again = nr.run(task=tarvix_execute, command="show version")
    finally:
        nr.close_connections(on_failed=True)
    page = str(tmp_path / "nornir.html")
    report.write(results, page, command_line=["check.py", "--password", PASSWORD])
    data = report.read(page)
    hosts = {host["name"]: host for host in data["hosts"]}
    assert [(step["step"], step["kind"], step["status"]) for step in hosts["r1"]["steps"]] == [
        ("connect", "connect", "ok"), ("show clock", "command", "ok")]
    assert hosts["r1"]["outputs"][0]["command"] == "show clock" and hosts["r1"]["platform"] == "generic"
    assert hosts["r2"]["status"] == "failed" and "show clock" in hosts["r2"]["error"]
    assert data["command_line"] == "check.py --password ****" and data["title"] == "tarvix_execute"
    # A task on a connection open already has no connect of its own.
    again = report.page_data(results_again)["hosts"][0]["steps"]
    assert [step["kind"] for step in again] == ["command"]

    # The document tarvix run --json printed, as text: secrets masked, the
    # longest texts shortened alike to keep within the budget, short ones whole.
    secrets.remember("Doc-Secret-5")
    monkeypatch.setattr(content, "TEXT_BUDGET", 3000)
    document = {"hosts": [{"name": "a", "status": "ok", "outputs": [
        {"command": "show tech", "output": "Doc-Secret-5 " + "A" * 2500 + "Z" * 2500},
        {"command": "show clock", "output": "12:00 " * 50}]},
        {"name": "b", "status": "interrupted", "error": "not begun: the run was interrupted before it began",
         "config": {"changed": True, "undone": True}, "outputs": [{"command": "x", "output": "B" * 1500}]},
        {"name": "c", "status": "failed", "error": "a check failed", "rollback": {"done": True, "healthy": True}},
        {"name": "d", "status": "failed", "error": "a check failed", "rollback": {"done": False}}]}
    data = report.page_data(json.dumps(document))
    tech, clock = data["hosts"][0]["outputs"][0]["output"], data["hosts"][0]["outputs"][1]["output"]
    other = data["hosts"][1]["outputs"][0]["output"]
    assert clock == "12:00 " * 50
    kept = [len(cut["text_head"]) + len(cut["text_tail"]) for cut in (tech, other)]
    assert kept[0] == kept[1] >= content.SHORTEST and other["left_out"] == 1500 - kept[1]
    assert tech["text_head"].startswith("**** AAA") and tech["text_tail"].endswith("ZZZ")
    assert _characters(data["hosts"]) <= 3000 and "Doc-Secret-5" not in json.dumps(data)
    assert data["hosts"][1]["status"] == "skipped"
    assert [host["rolled_back"] for host in data["hosts"]] == [False, True, True, False]


def _characters(value):
    """The characters of every text in a value (its keys aside)."""
    if isinstance(value, dict):
        value = list(value.values())
    if isinstance(value, list):
        return sum(_characters(item) for item in value)
    return len(value) if isinstance(value, str) else 0
