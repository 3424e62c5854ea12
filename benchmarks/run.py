"""Times the native registry and brokers, in nanoseconds per call and in units.

One unit is the time, measured in the same run and the same way, of calling an
empty Python function f(os, series, model, chassis_type) with four positional
arguments.  Every operation is also timed on the plain-Python version of the
same algorithms (benchmarks/reference.py) and on that same file compiled by
Cython 3, so that the three can be compared on each interpreter.  Cython (and
setuptools where the interpreter has no distutils) is installed with pip into
a scratch folder when it is not importable; the compiled module is built there
too, and the folder is removed at the end.  Where Cython cannot be had, its
column stays empty and the run says why.

    python benchmarks/run.py [--quick] [--json FILE]
"""
from __future__ import print_function

import argparse
import gc
import importlib.util
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import reference  # noqa: E402
import tarvix  # noqa: E402
from tarvix.bases.routers import link_broker  # noqa: E402
from tarvix.core import implroster  # noqa: E402
from tarvix.core.errors import ConnectionInfraError  # noqa: E402

def best_ns(stmt, namespace, number, repeat):
    """Best time per execution of the statement over `repeat` runs of `number`."""
    timer = timeit.Timer(stmt, globals=namespace)
    best = min(timer.repeat(repeat=repeat, number=number))
    return best * 1e9 / number


def _last_line(text):
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    errors = [line for line in lines if line.startswith("ERROR")]
    return (errors or lines or ["no output"])[-1]


# setuptools, imported first, provides distutils where the interpreter has none.
_CYTHONIZE = """
try:
    import setuptools
except ImportError:
    pass
from Cython.Build.Cythonize import main
main()
"""


def cython_reference(scratch):
    """reference.py compiled by Cython 3 in `scratch`, as (module, version), or (None, reason)."""
    site = os.path.join(scratch, "site")
    wanted = []
    try:
        import Cython
        if int(Cython.__version__.split(".")[0]) < 3:
            wanted.append("Cython>=3")
    except ImportError:
        wanted.append("Cython>=3")
    if not (importlib.util.find_spec("distutils") or importlib.util.find_spec("setuptools")):
        wanted.append("setuptools")
    if wanted:
        done = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                               "--retries", "1", "--target", site] + wanted,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        if done.returncode:
            return None, "pip could not install %s: %s" % (" ".join(wanted), _last_line(done.stderr))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [site, env.get("PYTHONPATH")]))
    source = os.path.join(scratch, "reference_cython.py")
    shutil.copyfile(os.path.join(os.path.dirname(os.path.abspath(__file__)), "reference.py"), source)
    done = subprocess.run([sys.executable, "-c", "import Cython; print(Cython.__version__)"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env)
    version = done.stdout.strip()
    done = subprocess.run([sys.executable, "-c", _CYTHONIZE, "-i", "-q", source], cwd=scratch,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, env=env)
    if done.returncode:
        return None, "Cython %s could not build reference.py: %s" % (version, _last_line(done.stdout))
    sys.path.insert(0, scratch)
    try:
        import reference_cython
    except ImportError as exc:
        return None, "the Cython build of reference.py does not import: %s" % exc
    finally:
        sys.path.remove(scratch)
    return reference_cython, version


def _empty(os, series, model, chassis_type):
    pass


class Sample(object):
    pass


class Settings(object):
    HA_INIT_EXEC_COMMANDS = []
    HA_INIT_CONFIG_COMMANDS = []
    HA_STANDBY_UNLOCK_COMMANDS = ["redundancy", "main-cpu", "standby console enable"]
    EXEC_TIMEOUT = 1


class Log(object):
    def info(self, message):
        pass

    def warning(self, message):
        pass

    def debug(self, message):
        pass


class Answer(object):
    match_output = "my state = 13 -ACTIVE"


class State(object):
    pattern = r"host#"


class StateMachine(object):
    learn_hostname = False
    current_state = "enable"
    _current_state = "enable"

    def go_to(self, *args, **kwargs):
        pass

    def get_state(self, name):
        return State()


class Spawn(object):
    def sendline(self, text=""):
        pass

    def expect(self, pattern, timeout=None):
        return Answer()

    def close(self):
        pass

    def __str__(self):
        return "spawn"


class Handle(object):
    def __init__(self, role):
        self.spawn = Spawn()
        self.state_machine = StateMachine()
        self.role = role
        self.mode = None


class Connection(object):
    """Host objects whose methods do nothing."""

    def __init__(self):
        self.context = {}
        self.log = Log()
        self.hostname = "host"
        self.mit = False
        self.spawn = Spawn()
        self.state_machine = StateMachine()
        self.a = Handle("active")
        self.b = Handle("standby")
        self.learn_hostname = False
        self.learned_hostname = "host"
        self.connection_timeout = 10
        self.settings = Settings()
        self.init_exec_commands = None
        self.init_config_commands = None
        self._is_connected = False
        self._handles_designated = False

    @property
    def active(self):
        return self.a

    @property
    def standby(self):
        return self.b

    def execute(self, command, **kwargs):
        return "Redundancy State = sso"

    def configure(self, lines, **kwargs):
        return ""

    def _get_learned_hostname(self, spawn):
        return "host"


def filled(roster_cls, n_os, n_series, n_models):
    roster = roster_cls()
    names = ["os%02d" % i for i in range(n_os)]
    for os_name in names:
        for s in range(n_series):
            for m in range(n_models):
                for chassis in ("single_rp", "dual_rp"):
                    roster.register_plugin(Sample, os=os_name, series="s%d" % s, model="m%d" % m,
                                           chassis_type=chassis)
    return roster


def operations(impl, brokers):
    """(name, statement, namespace, executions per run) for one implementation."""
    roster = impl()
    roster.register_plugin(Sample, os="quilm", series="s3", model="m7", chassis_type="dual_rp")
    roster.register_plugin(Sample, os="quilm", chassis_type="single_rp")
    big = filled(impl, 18, 10, 10)
    one = impl()
    one.register_plugin(Sample, os="generic")
    con = Connection()
    ns = {"roster": roster, "big": big, "one": one, "Sample": Sample, "Error": ConnectionInfraError,
          "single": brokers.BaseSingleRpLinkBroker(con), "dual": brokers.BaseDualRpLinkBroker(con)}
    miss = "try:\n    roster.get_plugin('tovak', None, None, 'single_rp')\nexcept Error:\n    pass"
    return [
        ("validate_arguments", "roster.validate_arguments('quilm', 's3', 'm7', 'dual_rp')", ns, 20000),
        ("get_plugin hit", "roster.get_plugin('quilm', 's3', 'm7', 'dual_rp')", ns, 20000),
        ("get_plugin fallback", "roster.get_plugin('quilm', 'zz', None, 'single_rp')", ns, 20000),
        ("get_plugin miss", miss, ns, 10000),
        ("register_plugin existing", "roster.register_plugin(Sample, 'quilm', 's3', 'm7', 'dual_rp')", ns, 10000),
        ("repr 3600 leaves", "repr(big)", ns, 3),
        ("repr one record", "repr(one)", ns, 10000),
        ("single-RP connect", "single.connect()", ns, 10000),
        ("dual-RP connect", "dual.connect()", ns, 2000),
        ("single-RP disconnect", "single.disconnect()", ns, 20000),
        ("dual-RP disconnect", "dual.disconnect()", ns, 20000),
    ]


def growth(impl, sizes, repeat):
    """repr() cost per leaf for registries of the given numbers of leaves."""
    out = []
    for n_os, n_series, n_models in sizes:
        roster = filled(impl, n_os, n_series, n_models)
        leaves = n_os * n_series * n_models * 2
        ns = best_ns("repr(roster)", {"roster": roster}, 1, repeat)
        out.append((leaves, ns / leaves))
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats (a smoke run)")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args(argv)
    repeat = 2 if args.quick else 7
    scale = 0.1 if args.quick else 1.0

    scratch = tempfile.mkdtemp(prefix="tarvix-bench-")
    try:
        compiled, cython_note = cython_reference(scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    # Brokers wait 2 s in disconnect and log through the package; neither is timed here.
    for module in (link_broker, reference, compiled):
        if module is not None:
            module.sleep = lambda seconds: None
    implroster.log = reference.log  # os names outside the built-in list log at debug level

    unit = best_ns("f('quilm', 's3', 'm7', 'dual_rp')", {"f": _empty}, max(1000, int(200000 * scale)), repeat)
    rows = []
    native_ops = operations(implroster.ImplRoster, link_broker)
    plain_ops = operations(reference.ImplRoster, reference)
    cython_ops = operations(compiled.ImplRoster, compiled) if compiled else [None] * len(native_ops)
    for (name, stmt, native_ns_, number), plain, cython in zip(native_ops, plain_ops, cython_ops):
        number = max(1, int(number * scale))
        native_ns = best_ns(stmt, native_ns_, number, repeat)
        cython_ns = best_ns(stmt, cython[2], number, repeat) if cython else None
        plain_ns = best_ns(stmt, plain[2], number, repeat)
        rows.append({"operation": name, "native_ns": native_ns, "native_units": native_ns / unit,
                     "cython_ns": cython_ns, "cython_units": cython_ns / unit if cython else None,
                     "plain_ns": plain_ns, "plain_units": plain_ns / unit})

    sizes = [(18, 10, 1), (18, 10, 10), (18, 10, 100)] if not args.quick else [(18, 10, 1), (18, 10, 10)]
    per_leaf = growth(implroster.ImplRoster, sizes, 3 if not args.quick else 1)

    print("Python %s on %s (%s)" % (platform.python_version(), platform.machine(), platform.processor() or "cpu"))
    print("unit: %.1f ns (an empty Python function called with four positional arguments)" % unit)
    print("Cython %s: reference.py compiled" % cython_note if compiled else "Cython column empty: " + cython_note)
    print("%-26s %12s %10s %12s %10s %12s %10s %9s %9s" % (
        "operation", "native ns", "units", "cython ns", "units", "plain ns", "units", "vs cython", "vs plain"))
    for row in rows:
        if compiled:
            cython = "%12.1f %10.1f" % (row["cython_ns"], row["cython_units"])
            ahead = "%8.2fx" % (row["cython_ns"] / row["native_ns"])
        else:
            cython, ahead = "%12s %10s" % ("-", "-"), "%9s" % "-"
        print("%-26s %12.1f %10.1f %s %12.1f %10.1f %s %8.2fx" % (
            row["operation"], row["native_ns"], row["native_units"], cython, row["plain_ns"],
            row["plain_units"], ahead, row["plain_ns"] / row["native_ns"]))
    print("repr cost per leaf:")
    for leaves, ns in per_leaf:
        print("  %6d leaves: %8.1f ns per leaf (%.2f units)" % (leaves, ns, ns / unit))
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"python": platform.python_version(), "unit_ns": unit, "rows": rows,
                       "cython": cython_note if compiled else None,
                       "cython_missing": None if compiled else cython_note,
                       "repr_per_leaf": per_leaf}, fh, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
