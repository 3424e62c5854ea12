"""The benchmark runs to the end where Cython cannot be had, and leaves nothing behind."""
import importlib.util
import json
import os
import subprocess
import sys

import pytest

RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "benchmarks", "run.py")


@pytest.mark.skipif(importlib.util.find_spec("Cython") is not None, reason="Cython is importable here")
@pytest.mark.slow
def test_quick_run_without_cython(tmp_path):
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    figures = tmp_path / "figures.json"
    env = dict(os.environ, PIP_NO_INDEX="1", TMPDIR=str(scratch))
    done = subprocess.run([sys.executable, RUN, "--quick", "--json", str(figures)], env=env, timeout=300,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert done.returncode == 0, done.stderr
    assert "Cython column empty: pip could not install Cython>=3" in done.stdout
    result = json.loads(figures.read_text())
    assert result["cython"] is None and result["cython_missing"].startswith("pip could not install")
    assert {"validate_arguments", "single-RP connect", "dual-RP connect"} <= {r["operation"] for r in result["rows"]}
    for row in result["rows"]:
        assert row["cython_ns"] is None and row["cython_units"] is None
        assert row["native_units"] > 0 and row["plain_units"] > 0
    assert os.listdir(str(scratch)) == []
