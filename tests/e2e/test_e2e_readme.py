"""What a newcomer reads runs as written: every Python and shell example of
the README and the guides (docs/*.md), read from the files, and the hints
tarvix prints for a missing extra.

Each example runs as a user runs it, in a folder of its own that shows the
clone's files: a Python block as a script (with pytest where it defines
tests), a shell block in bash (each failing command fails it); both in a
network namespace of their own where one can be made, so that the fixed
ports of an example clash with nothing else on the machine.  The set-up
lines the examples give (``python3 -m venv .venv``, ``pip install ...``,
``. .venv/bin/activate``) stand for the environment these tests run in:
they are checked against it, not run again, and a block whose extra is not
installed here is skipped in one line.  A block with ``<!-- not run:
REASON -->`` on the line before its fence is not run (a real device, a
cluster of machines, a benchmark of minutes): the guide gives its
simulator form beside it."""
import collections
import configparser
import functools
import glob
import importlib.util
import json
import os
import re
import shutil
import signal
import subprocess
import sys

import pytest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
GUIDES = ["README.md"] + sorted(os.path.relpath(path, ROOT) for path in glob.glob(os.path.join(ROOT, "docs", "*.md")))
FENCE = re.compile(r"^```([^\n`]*)\n(.*?)^```[ \t]*$", re.M | re.S)
NOT_RUN = re.compile(r"<!--\s*not run:\s*(\S.*?)\s*-->\s*\Z")
# What an unlabeled block (an output, a transcript) must not begin with.
COMMAND = re.compile(r"(?:tarvix|python3?|pip|dask)\s")
# The modules each extra installs (setup.cfg's extras_require, but "test").
EXTRAS = {"parse": ("textfsm", "ntc_templates"), "nornir": ("nornir", "rich"), "config": ("hier_config",),
          "serve": ("asyncssh",), "ssh": ("ssh2",), "dask": ("distributed", "nornir"), "aio": ("greenlet",),
          "checks": ("yaml",)}
OPTIONAL = set(module for modules in EXTRAS.values() for module in modules) | {"dask"}
TIMEOUT = 300

Block = collections.namedtuple("Block", "where lang code not_run")


def guide_blocks():
    """Every fenced block of the README and the guides."""
    blocks = []
    for guide in GUIDES:
        with open(os.path.join(ROOT, guide), encoding="utf-8") as handle:
            text = handle.read()
        for match in FENCE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            above = text[:match.start()].rstrip("\n").rsplit("\n", 1)[-1]
            marked = NOT_RUN.search(above)
            blocks.append(Block("%s:%d" % (guide, line), match.group(1).split()[0] if match.group(1).split() else "",
                                match.group(2), marked.group(1) if marked else None))
    return blocks


BLOCKS = guide_blocks()
EXAMPLES = [block for block in BLOCKS if block.lang in ("python", "sh") and not block.not_run]


def installs(line):
    """The modules a ``pip install`` in a line (a command, or a comment of a
    Python block) names: an extra's, as ``.[x,y]`` or ``"tarvix[x]"``, and
    the example plugin's."""
    if "pip install" not in line:
        return []
    named = line.split("pip install", 1)[1]
    modules = [module for extras in re.findall(r"(?:tarvix|\.)\[([\w,-]+)\]", named)
               for extra in extras.split(",") for module in EXTRAS[extra]]
    return modules + (["tarvix_commit"] if "examples/commit-plugin" in named else [])


def needs(block):
    """The optional modules a block needs: those its ``pip install`` lines
    name, the extras' it imports, and Nornir for ``tarvix run``."""
    modules = [module for line in block.code.splitlines() for module in installs(line)]
    if block.lang == "python":
        modules += [name for name in re.findall(r"^\s*(?:from|import)\s+(\w+)", block.code, re.M) if name in OPTIONAL]
    elif re.search(r"\btarvix run\b", block.code):
        modules += EXTRAS["nornir"]
    return sorted(set(modules))


def missing(modules):
    return [module for module in modules if importlib.util.find_spec(module) is None]


def clone_view(folder):
    """``folder`` made to look like the clone (its files, linked), with a
    ``.venv`` that is this environment: wrappers of this interpreter and of
    tarvix, an ``activate``, and a pip that checks what it is told to
    install is here (it installs nothing)."""
    for name in os.listdir(ROOT):
        if not name.startswith("."):
            os.symlink(os.path.join(ROOT, name), os.path.join(folder, name))
    bin_dir = os.path.join(folder, ".venv", "bin")
    os.makedirs(bin_dir)
    scripts = {
        "tarvix": 'exec "%s" -m tarvix "$@"\n' % sys.executable,
        # `python3 -m venv .venv` made the environment these tests run in.
        "python": 'if [ "$1 $2" = "-m venv" ]; then exit 0; fi\nexec "%s" "$@"\n' % sys.executable,
        "pip": 'exec "%s" "%s" "$@"\n' % (sys.executable, os.path.join(bin_dir, "pip-check.py")),
    }
    for name, body in scripts.items():
        with open(os.path.join(bin_dir, name), "w") as out:
            out.write("#!/bin/sh\n" + body)
        os.chmod(os.path.join(bin_dir, name), 0o755)
    os.symlink("python", os.path.join(bin_dir, "python3"))
    with open(os.path.join(bin_dir, "activate"), "w") as out:
        out.write('VIRTUAL_ENV="%s"; export VIRTUAL_ENV; PATH="%s:$PATH"; export PATH\n'
                  % (os.path.dirname(bin_dir), bin_dir))
    with open(os.path.join(bin_dir, "pip-check.py"), "w") as out:
        out.write(PIP_CHECK % json.dumps(EXTRAS))
    return bin_dir


PIP_CHECK = '''import importlib.util, re, sys
EXTRAS = %s
if sys.argv[1:2] != ["install"]:
    sys.exit("pip %%s: the examples' test runs only pip install" %% " ".join(sys.argv[1:]))
for target in sys.argv[2:]:
    extras = re.match(r"(?:tarvix|\\.)\\[([\\w,-]+)\\]$", target)
    if extras:
        modules = [module for extra in extras.group(1).split(",") for module in EXTRAS[extra]]
    elif target in (".", "tarvix"):
        modules = ["tarvix"]
    elif target.rstrip("/") == "./examples/commit-plugin":
        modules = ["tarvix_commit"]
    else:
        sys.exit("pip install %%s: the examples' test knows no such package" %% target)
    absent = [module for module in modules if importlib.util.find_spec(module) is None]
    if absent:
        sys.exit("pip install %%s: %%s not installed here" %% (target, ", ".join(absent)))
'''


@functools.lru_cache(maxsize=None)
def isolated():
    """The words that run a command in a network namespace of its own with
    its loopback up, or none where none can be made."""
    if not (shutil.which("unshare") and shutil.which("ip")):
        return ()
    words = ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"]
    try:
        made = subprocess.call(words + ["true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return ()
    return tuple(words) if made == 0 else ()


@pytest.mark.slow
@pytest.mark.parametrize("block", EXAMPLES, ids=[block.where for block in EXAMPLES])
def test_the_example_runs_as_written(block, tmp_path):
    absent = missing(needs(block))
    if absent:
        pytest.skip("%s: needs %s, not installed here" % (block.where, ", ".join(absent)))
    folder = str(tmp_path / "clone")
    os.makedirs(folder)
    bin_dir = clone_view(folder)
    if block.lang == "sh":
        name, argv = "example.sh", ["bash", "-e", "-o", "pipefail", "example.sh"]
    elif re.search(r"^def test_", block.code, re.M):
        name, argv = "test_example.py", [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                         "test_example.py"]
    else:
        name, argv = "example.py", [sys.executable, "example.py"]
    with open(os.path.join(folder, name), "w") as out:
        out.write(block.code)
    home = str(tmp_path / "home")
    os.makedirs(home)
    env = dict((key, value) for key, value in os.environ.items() if not key.startswith("TARVIX_PASSWORD"))
    env.update(PATH=bin_dir + os.pathsep + env.get("PATH", ""), HOME=home)
    process = subprocess.Popen(list(isolated()) + argv, cwd=folder, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, universal_newlines=True, start_new_session=True)
    try:
        told, _ = process.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        told = "not done within %d s" % TIMEOUT
    finally:
        # Whatever the example left running ends with it.
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except OSError:
            pass
        process.wait()
    assert process.returncode == 0, "%s:\n%s" % (block.where, told[-3000:])


def test_every_example_is_run_or_says_why_not():
    assert EXAMPLES and {block.where.split(":")[0] for block in EXAMPLES} >= {"README.md", "docs/fleets.md"}
    for block in BLOCKS:
        # (ini and yaml: an inventory's or a configuration's text)
        assert block.lang in ("python", "sh", "ini", "yaml", ""), "%s: a block of %r, which nothing runs" % block[:2]
        if block.lang == "":
            assert not COMMAND.match(block.code), "%s: commands in an unlabeled block: label it sh" % block.where
        if block.not_run:
            assert block.lang in ("python", "sh"), "%s: a not-run mark above what is not run anyway" % block.where


def test_the_extras_and_the_install_hints_hold_from_a_clone():
    """The test's table of extras is setup.cfg's, and every hint tarvix
    prints for a missing extra names packages of that extra, which pip
    installs whether tarvix came from an index or from a clone (where
    "tarvix[parse]" is not found)."""
    from tarvix.bases.config.remediation import INSTALL_HINT as CONFIG
    from tarvix.bases.parsing import INSTALL_HINT as PARSE
    from tarvix.fleet.command import NEEDS_NORNIR
    from tarvix.nornir.dask_cluster import NEEDS_DASK
    from tarvix.simulator.server import NEEDS_ASYNCSSH

    setup = configparser.ConfigParser()
    setup.read(os.path.join(ROOT, "setup.cfg"))
    declared = dict((extra, set(re.match(r"[\w.-]+", line.strip()).group(0).lower()
                                for line in lines.strip().splitlines()))
                    for extra, lines in setup["options.extras_require"].items() if extra != "test")
    assert sorted(declared) == sorted(EXTRAS)
    for extra, hint in (("parse", PARSE), ("config", CONFIG), ("dask", NEEDS_DASK), ("serve", NEEDS_ASYNCSSH),
                        ("nornir", NEEDS_NORNIR)):
        packages = hint.split("pip install ", 1)[1].split(" (")[0].split()
        names = set(re.match(r"[\w.-]+", package.strip("'\"")).group(0).lower() for package in packages)
        assert names and names <= declared[extra] and "tarvix[" not in hint, (extra, hint)
