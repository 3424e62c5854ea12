"""The fleet benchmark's options and its summary of a device's steps (no
devices: the benchmark itself is run by hand)."""
import importlib.util
import os

import pytest

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "benchmarks", "fleet.py")


@pytest.fixture(scope="module")
def fleet():
    found = importlib.util.spec_from_file_location("fleet_benchmark", PATH)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.mark.parametrize("argv, status", [
    (["--help"], 0),
    (["--tools", "tarvix,telnetlib"], 2),
    (["--devices", "0"], 2),
    (["--workers", "many"], 2),
])
def test_options_are_checked_before_anything_starts(fleet, capsys, argv, status):
    with pytest.raises(SystemExit) as stopped:
        fleet.main(argv)
    assert stopped.value.code == status
    out, err = capsys.readouterr()
    assert ("--devices" in out) if status == 0 else ("error:" in err)


def test_timeline_summary(fleet):
    # Two devices handled side by side, then a third; tarvix's steps for one.
    report = {"marks": {"r1": [0.0, 1.0, 1.4, 1.5], "r2": [0.0, 0.8, 1.0, 1.1], "r3": [1.1, 2.0, 2.2, 2.3]},
              "steps": {"r1": [("ssh started", 0.1), ("sent 'enable'", 0.6), ("link closed", 1.45)]}}
    summary = fleet.timeline_summary([report])
    assert [summary[step] for step in ("connect", "command", "close")] == pytest.approx([0.9, 0.2, 0.1])
    assert summary["at_once"] == 2
    assert [span for span, _, _ in summary["steps"]] == [
        "task began -> ssh started", "ssh started -> sent 'enable'", "sent 'enable' -> task done",
        "task done -> link closed", "link closed -> closed"]
    assert summary["steps"][1][1:] == (pytest.approx(0.5), 1)
    assert fleet.timeline_summary([{"wall": 1.0}]) is None
