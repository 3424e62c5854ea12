"""The conformance check of every built-in platform that has a bed here: the
simulator for the platforms it speaks, real FRRouting (as the program vtysh
and over ssh:// as a user whose login shell is vtysh), a real OpenSSH sshd
for the shell (over ssh:// and through the system ssh); and the shell's own
calls (exit statuses, a plain sh) on that sshd."""
import contextlib
import copy
import re
import socket

import pytest

try:
    import ntc_templates
except ImportError:  # tarvix[parse] not installed
    ntc_templates = None

from tarvix import simulator
from tarvix.bases.connection import Connection, discover_plugins, plugin_class
from tarvix.cli import main
from tarvix.core.errors import CommandError, ConnectionInfraError, NotSupportedError
from tarvix.eal.ssh import link as sshlink
from tarvix.plugins.generic import GenericSingleRpConnection
from tarvix.plugins.generic.dialect import DIALECT as GENERIC
from tarvix.testing import assert_conforms, passed, run_check, table
from tarvix.testing.command import simulator_start

import frrbed
import sshdbed

SYSTEM_SSH = "ssh -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -p %d %s@127.0.0.1"


def _ready(missing):
    reason = missing()
    if reason:
        pytest.skip(reason)


def _url(user, port):
    if not sshlink.AVAILABLE:
        pytest.skip(sshlink.UNAVAILABLE or "no in-process SSH link")
    return "ssh://%s@127.0.0.1:%d" % (user, port)


@contextlib.contextmanager
def _frr(link):
    _ready(frrbed.missing)
    bed = frrbed.FrrBed(saves=True)
    try:
        bed.start()
        if link == "vtysh":
            yield bed.vtysh, {}
            return
        bed.serve_ssh()
        yield _url(bed.user, bed.ssh_port), {"default": {"username": bed.user, "password": frrbed.PASSWORD}}
    finally:
        bed.stop()


@contextlib.contextmanager
def _shell(link, shell="/bin/bash"):
    _ready(lambda: sshdbed.missing(user=True))
    with sshdbed.Sshd(login_shell=shell) as bed:
        start = _url(bed.user, bed.port) if link == "ssh://" else SYSTEM_SSH % (bed.port, bed.user)
        yield start, bed.credentials


@contextlib.contextmanager
def _simulated(os_name):
    yield simulator_start(os_name), {}


# The real beds beside the simulator (which speaks every platform but linux), by link.
BEDS = {"frr": {"vtysh": _frr, "ssh://": _frr}, "linux": {"ssh://": _shell, "system ssh": _shell}}


def _cases():
    """(os, link) for every built-in platform registered that has a bed."""
    cases = []
    for os_name in sorted(discover_plugins().plugins):
        try:
            builtin = plugin_class(os_name).__module__.startswith("tarvix.plugins.")
        except ConnectionInfraError:  # a dual-RP plugin alone
            continue
        if not builtin:
            continue
        if os_name in simulator.DIALECTS:
            cases.append((os_name, "simulator"))
        cases += [(os_name, link) for link in BEDS.get(os_name, ())]
    return cases


def _bed(os_name, link):
    return _simulated(os_name) if link == "simulator" else BEDS[os_name][link](link)


@pytest.mark.parametrize("os_name, link", _cases())
def test_every_builtin_platform_conforms_and_is_detected(os_name, link):
    with _bed(os_name, link) as (start, credentials):
        con = Connection(hostname="device", start=start, os=os_name, credentials=credentials, learn_hostname=True,
                         connection_timeout=20, ssh={"host_key_checking": False})
        steps = assert_conforms(con, change=True, save=True)
        with Connection(hostname="device", start=start, os="auto", credentials=credentials, learn_hostname=True,
                        connection_timeout=20, ssh={"host_key_checking": False}) as found:
            assert (found.os, found.dialect.name, bool(found.execute(found.dialect.recognise[0]))) == (os_name, os_name, True)
    assert [step.name for step in steps if step.outcome == "pass"][:5] == \
        ["connect", "hostname", "paging", "rejected_exec", "rejected_config"]
    # The prompt's hostname, without what a shell's prompt adds around it.
    assert steps[1].detail == ("sim-router" if link == "simulator" else socket.gethostname().split(".")[0])


@pytest.mark.parametrize("shell", ["/bin/bash", "/bin/sh"])
def test_shell_exit_status_and_escapes(shell):
    with _shell("ssh://", shell) as (start, credentials):
        con = Connection(hostname="device", start=start, os="linux", credentials=credentials, learn_hostname=True,
                         connection_timeout=20, ssh={"host_key_checking": False})
        with con:
            assert con.execute("printf 'a\\033[1;31mb\\033[0m\\n'") == "ab"
            assert con.execute("echo one; echo two", check=True) == "one\ntwo"
            with pytest.raises(CommandError, match="exited with status 3") as raised:
                con.execute("echo gone >&2; exit_with() { return $1; }; exit_with 3", check=True)
            assert raised.value.status == 3 and "gone" in raised.value.output
            # Without check the status is not asked: the output comes back.
            assert con.execute("false") == ""
            if shell == "/bin/bash" and ntc_templates is not None:
                assert "lo" in [record["interface"] for record in con.execute("ip link show", parse=True)]
            with pytest.raises(NotSupportedError, match="linux platform has no configuration mode.*execute"):
                con.configure(["anything"])
            with pytest.raises(NotSupportedError, match="no save"):
                con.save_config()


@pytest.mark.slow
@pytest.mark.parametrize("link", ["ssh://", "system ssh"])
def test_shell_output_is_what_the_command_printed(link):
    words = " ".join("t%d" % n for n in range(1, 150))
    with _shell(link) as (start, credentials):
        with Connection(hostname="device", start=start, os="linux", credentials=credentials, learn_hostname=True,
                        connection_timeout=20, ssh={"host_key_checking": False}) as con:
            # Longer than the terminal is wide: the line editor scrolls its echo.
            assert con.execute("echo " + words) == words
            # Lines of a prompt's shape, each followed by a pause, then the rest.
            assert con.execute("printf 'a\\n#\\n'; sleep 0.7; printf '$ '; sleep 0.7; echo end") == "a\n#\n$ end"
            assert con.execute("echo next") == "next"


@pytest.mark.parametrize("options, status, shown", [
    (["--change", "--save"], 0, r"changed +pass .*\nsaved +pass .*\[OK\]"),
    (["--start", simulator.command("r1", "--tech-lines", "10", "--reject", "tarvix-no-such-line")], 1,
     r"paging +fail .*gave 10 lines"),
    # Refused on the way into configuration: not the line's refusal.
    (["--start", simulator.command("r1", "--no-config")], 1, r"rejected_config +fail .*'configure terminal'"),
    # Detected first, then checked as the platform found.
    (["--os", "auto", "--start", "env -i PS1='me@box:~$ ' bash --norc --noprofile -i"], 0,
     r"^linux: conformance check\n(?:.*\n)*paging +pass .*'seq 1 500'"),
    # Lines taken and kept nowhere: the configuration read back tells.
    (["--change", "--start", simulator.command("r1", "--forget")], 1,
     r"changed +fail .*'interface Loopback4093' is not in the running configuration"),
    # Each step within --timeout, the paging one too.
    pytest.param(["--timeout", "1", "--start", simulator.command("r1", "--hang", "show tech-support")], 1,
                 r"paging +fail .*within 1(?:\.0)? s", marks=pytest.mark.slow),
    # The example plugin states what each step sends: every step runs.
    (["--os", "commit", "--change"], 0, r"(?:\w+ +pass .*\n){6}saved +skip .*--save\)\ndisconnect +pass .*\nskipped: saved\n\Z"),
])
def test_check_command_tells_each_step(capsys, options, status, shown):
    assert main(["check", "--os", "generic"] + options) == status
    assert re.search(shown, capsys.readouterr().out)


def test_check_command_refuses_an_unknown_os(capsys):
    assert main(["check", "--os", "tarvix-no-such-os"]) == 2
    assert re.match(r"error: --os tarvix-no-such-os: no such platform; the platforms: .*\bgeneric\b",
                    capsys.readouterr().err)


def test_a_check_that_cannot_run_what_the_platform_claims_fails():
    # A router with a configuration mode and a save whose dialect states
    # nothing the check sends.
    bare = copy.copy(GENERIC)
    bare.long_output = bare.rejected_exec = bare.rejected_config = bare.harmless_config = None

    class Bare(GenericSingleRpConnection):
        dialect = bare

    steps = run_check(Bare(hostname="r1", start=[simulator.command("r1")], learn_hostname=True), change=True,
                      save=True)
    assert [(step.name, step.outcome) for step in steps if step.outcome != "pass"] == \
        [("paging", "unproven"), ("rejected_exec", "unproven"), ("rejected_config", "unproven"),
         ("changed", "unproven")]
    assert not passed(steps) and table(steps).endswith("\nunproven: paging, rejected_exec, rejected_config, changed")
