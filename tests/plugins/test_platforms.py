"""Every built-in platform on the simulator, over its console and over the
SSH simulator: connects, learns the hostname, runs a command, has a
rejected command and a rejected configuration line raise CommandError
with the device's words, applies a configuration line and saves; the
shell's prompts and escapes as a Linux host shows them; which platform
detection takes for a prompt and an answer."""
import importlib
import re
import shlex
import sys
import types

import pytest

from tarvix import simulator
from tarvix.bases.connection import Connection, plugin_class
from tarvix.bases.dialect_classes import connection_classes
from tarvix.cli import main
from tarvix.bases.commands import _clean
from tarvix.core.errors import CommandError, ConnectionError, ReloadError
from tarvix.plugins import auto
from tarvix.eal.dialect import Dialect
from tarvix.plugins.linux.dialect import DIALECT as LINUX

# os: (the show keyword, the running configuration command, a line to apply,
# the device's words for an unknown command)
PLATFORMS = {
    "generic": ("show", "show running-config", "logging host 192.0.2.9", "% Invalid input detected."),
    "frr": ("show", "show running-config", "log syslog informational", "% Unknown command: show bogus"),
    "eos": ("show", "show running-config", "logging host 192.0.2.9", "% Invalid input"),
    "junos": ("show", "show configuration", "set system syslog host 192.0.2.9 any any",
              "syntax error, expecting <command>."),
    "vrp": ("display", "display current-configuration", "info-center loghost 192.0.2.9",
            "Error: Unrecognized command found at '^' position."),
    "vyos": ("show", "show configuration", "set system syslog host 192.0.2.9 facility all level info",
             "Invalid command: show bogus"),
    "fastiron": ("show", "show running-config", "logging host 192.0.2.9", "Invalid input -> show bogus"),
}
PASTE_ON, PASTE_OFF = "\x1b[?2004h", "\x1b[?2004l\r"


def _start(os_name, link, stack):
    # The simulator refuses the dialect's rejected configuration line.
    reject = ["--reject", plugin_class(os_name).dialect.rejected_config]
    if link == "console":
        return simulator.command("r1", "--dialect", os_name, *reject), {}
    from tarvix.simulator import server

    if not server.available():
        pytest.skip("the SSH simulator needs asyncssh")
    running = stack.enter_context(server.serving(
        [{"hostname": "r1", "dialect": os_name, "options": reject, "password": "sim-secret"}]))
    # Not the username: the process masks every password it was given from then on.
    credentials = {"default": {"username": "admin", "password": "sim-secret"}}
    return "ssh://admin@127.0.0.1:%d" % running.ports["r1"][0], {"credentials": credentials,
                                                                    "ssh": {"host_key_checking": "off"}}


def test_a_platform_is_made_from_its_dialect(monkeypatch):
    import tarvix
    from tarvix.core.implroster import ImplRoster

    # A new platform: its classes, named after it, in its module, registered.
    roster = ImplRoster()
    monkeypatch.setattr(tarvix, "__impl_roster__", roster)
    module = types.ModuleType("tarvix_quilm")
    module.__file__ = "/opt/plugins/tarvix_quilm.py"
    monkeypatch.setitem(sys.modules, module.__name__, module)
    both = Dialect("quilm", prompt="{host}{mode}", states=[("enable", "#")], standby_unlock=["unlock"])
    single, dual = connection_classes(module.__name__, both, "a quilm router")
    assert [roster.get_plugin("quilm", None, None, kind) for kind in ("single_rp", "dual_rp")] == [single, dual]
    assert (single.__name__, dual.__module__, dual.os, dual.dialect, dual.chassis_type) == (
        "QuilmSingleRpConnection", "tarvix_quilm", "quilm", both, "dual_rp")
    assert "path = /opt/plugins/tarvix_quilm.py" in repr(roster)
    assert len(connection_classes(module.__name__, Dialect("solo", prompt="{host}{mode}", states=[("enable", "#")]),
                                  "a router")) == 1
    monkeypatch.undo()
    # Every built-in platform is its dialect's: a dual-RP class where it unlocks a standby.
    for os_name in PLATFORMS:
        dialect = importlib.import_module("tarvix.plugins.%s.dialect" % os_name).DIALECT
        kinds = ("single_rp", "dual_rp") if dialect.standby_unlock else ("single_rp",)
        for kind in kinds:
            cls = plugin_class(os_name, chassis_type=kind)
            assert (cls.dialect, cls.os, cls.__module__) == (dialect, os_name, "tarvix.plugins." + os_name)


@pytest.mark.parametrize("link", ["console", "ssh"])
@pytest.mark.parametrize("os_name", sorted(PLATFORMS))
def test_platform_on_the_simulator(os_name, link):
    import contextlib

    show, running, line, unknown = PLATFORMS[os_name]
    with contextlib.ExitStack() as stack:
        start, options = _start(os_name, link, stack)
        with Connection(hostname="device", start=start, os=os_name, learn_hostname=True, connection_timeout=10,
                        **options) as con:
            assert con.os == os_name and con.learned_hostname == "r1"
            assert "router simulator, software version 1.0" in con.execute(show + " version").splitlines()[0]
            with pytest.raises(CommandError) as refused:
                con.execute(show + " bogus")
            assert unknown in str(refused.value)
            con.configure([line])
            assert line in con.execute(running).splitlines()
            with pytest.raises(CommandError):
                con.configure([con.dialect.rejected_config])
            # Nothing of the refused line stays staged or applied.
            assert con.execute(running).splitlines().count(line) == 1
            if con.dialect.save:
                # The platform's save, its questions answered as the dialect says.
                assert con.save_config(timeout=5) and con.state_machine.current_state == "enable"


@pytest.mark.parametrize("os_name", ["eos", "fastiron", "junos", "vrp", "vyos"])
def test_platform_reload_on_the_simulator(os_name):
    running, line = PLATFORMS[os_name][1:3]
    start = simulator.command("r1", "--dialect", os_name, "--reload-time", "0.4")
    with Connection(hostname="r1", start=start, os=os_name, connection_timeout=10) as con:
        con.configure([line])
        if con.dialect.reload_save_question:
            # The platform asks whether to save the change: no guess.
            with pytest.raises(ReloadError, match="nothing was reloaded"):
                con.reload(timeout=10)
        assert con.reload(save=False, timeout=10).rps["a"].state == "ready"
        # The unsaved change is gone, except where a commit is what the device boots from.
        assert (line in con.execute(running).splitlines()) == (os_name == "junos")


@pytest.mark.parametrize("os_name", sorted(set(PLATFORMS) - {"generic"}))
def test_connect_without_a_device_starts_the_simulator_in_the_platforms_dialect(os_name, capsys):
    assert main(["connect", "--os", os_name, "--execute", PLATFORMS[os_name][0] + " version"]) == 0
    out = capsys.readouterr().out
    assert "connected to sim-router (%s, single_rp)" % os_name in out
    assert "router simulator, software version 1.0" in out


def test_connect_and_check_take_the_peers_platform_names(capsys):
    from tarvix.bases.platforms import PLATFORM_OS

    for os_name in ("generic", "junos"):
        name = min(name for name, found in PLATFORM_OS.items() if name and found == os_name)
        assert main(["connect", "--os", name, "--execute", "show version"]) == 0, name
        assert "connected to sim-router (%s, single_rp)" % os_name in capsys.readouterr().out
        # A script's Connection takes them too.
        con = Connection(hostname="r1", start="x", os=name)
        assert con.os == os_name and type(con) is plugin_class(os_name)
    assert main(["check", "--os", name, "--json"]) == 0
    assert '"os": "junos"' in capsys.readouterr().out


def test_tarvix_run_takes_the_peers_platform_names(tmp_path, capsys):
    pytest.importorskip("nornir")
    from tarvix.nornir.platforms import PLATFORM_OS

    # One host for each peer name of a platform whose commands start "show".
    names = sorted(name for name, os_name in PLATFORM_OS.items() if name and PLATFORMS[os_name][0] == "show")
    hosts = ["---"]
    for number, name in enumerate(names):
        start = simulator.command("h%02d" % number, "--dialect", PLATFORM_OS[name])
        hosts += ["h%02d:" % number, "  hostname: h%02d" % number, "  platform: %s" % name,
                  "  connection_options:", "    tarvix:", "      extras:", "        start: '%s'" % start]
    (tmp_path / "hosts.yaml").write_text("\n".join(hosts) + "\n")
    assert main(["run", "--inventory", str(tmp_path), "--execute", "show version",
                 "--output", str(tmp_path / "out")]) == 0
    for number, name in enumerate(names):
        with open(str(tmp_path / "out" / ("h%02d.txt" % number))) as text:
            banner = text.read().splitlines()[1]
        assert banner.startswith(PLATFORM_OS[name] if PLATFORM_OS[name] != "generic" else "Generic"), name


@pytest.mark.parametrize("os_name, command", [
    ("eos", "show version"), ("junos", "show version"), ("vrp", "display version"),
    ("vyos", "show interfaces"), ("fastiron", "show version")])
def test_parse_finds_the_platforms_templates(os_name, command):
    pytest.importorskip("ntc_templates")
    from tarvix.bases import parsing
    template = parsing.find_template(plugin_class(os_name).dialect.template_platform, command)
    assert template.names


def test_junos_dual_rp_from_a_root_shell(tmp_path):
    # Both RPs start in a root login's shell, the standby's console locked.
    start = simulator.pair("r2", str(tmp_path), "--dialect", "junos", "--start-state", "shell", active="b")
    with Connection(hostname="r2", start=start, os="junos", chassis_type="dual_rp", connection_timeout=10) as con:
        assert (con.a.role, con.b.role) == ("standby", "active")
        assert con.configure(["set system syslog host 192.0.2.9 any any"]) == "commit complete"
        assert con.execute("show configuration").splitlines()[-1] == "set system syslog host 192.0.2.9 any any"
        # The standby's console was opened while connecting.
        assert con.execute("show version", target="standby").startswith("junos router simulator")


@pytest.mark.parametrize("shown, hostname", [
    ("alice@web1:~$ ", "web1"), ("root@web1:/etc/ssh# ", "web1"), ("[alice@web1 ~]$ ", "web1"),
    (PASTE_ON + "alice@web1:~/a b$ ", "web1"), ("web1:~# ", "web1"), ("$ ", None), ("# ", None),
])
def test_shell_prompts_and_the_hostname_learnt(shown, hostname):
    text = "last line of output\r\n" + shown
    found = re.search(LINUX.pattern("enable", LINUX.learn_pattern), text)
    assert found and found.group("hostname") == hostname
    # Once learnt, the prompt of another host is not taken for it.
    assert hostname is None or re.search(LINUX.pattern("enable", "web2"), text.replace("web1", "web3")) is None


def test_shell_escapes_never_reach_the_output():
    raw = "ls --color\r\n" + PASTE_OFF + "\x1b[0m\x1b[01;34mdir\x1b[0m  file\r\n\x1b]0;title\x07done\r\n"
    assert _clean(raw, "ls --color", dropped=LINUX.output_filter) == "dir  file\ndone"


@pytest.mark.parametrize("prompt, asked, answer, chosen", [
    ("r1#", "show version", "Generic router simulator, software version 1.0", "generic"),
    ("r1#", "show version", "FRRouting 8.4.4 (r1) on Linux(6.1.0).", "frr"),
    ("SSH@r1#", "show version", "fastiron router simulator, software version 1.0", "fastiron"),
    # A router's prompt of a shell's shape: its command is asked, not the shell's.
    (PASTE_ON + "alice@web1:~$", "show version", PASTE_OFF + "-bash: show: command not found", "linux"),
    ("admin@r1:~$", "show version", "Version:          VyOS 1.4", "vyos"),
    ("<r1>", "show version", "Error: Unrecognized command found at '^' position.", "vrp"),
    ("$", "uname -s", "Linux", "linux"),
    ("r1#", "show version", "% Unknown command: show version", None),
])
def test_detection_chooses_by_the_prompt_and_one_answer(prompt, asked, answer, chosen):
    classes = [cls for cls in auto.candidates() if cls.__module__.startswith("tarvix.plugins.")]
    shown = [cls for cls in classes if re.search(auto._shape(cls.dialect) + r"\s*\Z", prompt)]
    assert auto._probe(shown) == asked
    picked = auto.choose(shown, prompt, asked, answer)
    assert (picked.os if picked else None) == chosen


def test_detection_reads_past_a_banner_line_of_a_prompts_shape():
    # A banner line shaped like a router's prompt, then a shell slow to start.
    shell = "echo 'admin@edge>'; sleep 0.6; exec env -i PS1='me@box:~$ ' bash --norc --noprofile -i"
    with Connection(hostname="box", start=["sh -c " + shlex.quote(shell)], os="auto", learn_hostname=True,
                    connection_timeout=5) as con:
        assert (con.os, con.execute("echo hi")) == ("linux", "hi")


def test_detection_of_what_no_platform_fits_fails_in_one_line():
    # A prompt of the generic router's shape whose answer is no version report.
    program = ("import sys\nfor answer in ('', 'huh\\n', ''):\n    sys.stdout.write(answer + 'odd>')\n"
               "    sys.stdout.flush()\n    sys.stdin.readline()\n")
    con = Connection(hostname="odd", start=[sys.executable + " -c " + shlex.quote(program)], os="auto",
                     connection_timeout=5)
    with pytest.raises(ConnectionError, match=r"^odd: no installed platform fits: prompt 'odd>', 'show version' "
                                              r"answered 'huh' \(candidates: .*generic\); give the os$"):
        con.connect()
    assert con.spawn is None or con.spawn.closed
