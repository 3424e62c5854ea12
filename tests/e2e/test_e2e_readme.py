"""The README's shell commands that need no device run as written: the
bundled simulator stands in for the routers."""
import os
import re
import shlex
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


def readme_commands():
    """Each `tarvix ...` command of the README's sh blocks, as words, in order."""
    with open(README, encoding="utf-8") as handle:
        blocks = re.findall(r"```sh\n(.*?)```", handle.read(), re.S)
    commands = []
    for block in blocks:
        for line in block.splitlines():
            for part in line.split("&&"):
                words = shlex.split(part, comments=True)
                if words and os.path.basename(words[0]) == "tarvix":
                    commands.append(words[1:])
    return commands


@pytest.mark.slow
def test_the_readme_commands_run(tmp_path):
    pytest.importorskip("nornir")
    commands = readme_commands()
    assert [words[0] for words in commands] == ["connect", "simulate", "run"]
    for words in commands:
        done = subprocess.run([sys.executable, "-m", "tarvix"] + words, cwd=str(tmp_path), timeout=120,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        assert done.returncode == 0, (words, done.stderr)
    with open(str(tmp_path / "out" / "sim-r01.txt")) as handle:
        assert handle.read().startswith("--- show clock\n")
