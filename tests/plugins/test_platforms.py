"""Every built-in platform on the simulator, over its console and over the
SSH simulator: connects, learns the hostname, runs a command, has a
rejected command and a rejected configuration line raise CommandError
with the device's words, and applies a configuration line."""
import pytest

from tarvix import simulator
from tarvix.bases.connection import Connection
from tarvix.cli import main
from tarvix.core.errors import CommandError, ReloadError

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
BAD_LINE = "snmp-server community refused"
# The simulator refuses it, in either form.
REJECT = ["--reject", BAD_LINE, "--reject", "set " + BAD_LINE]


def _start(os_name, link, stack):
    if link == "console":
        return simulator.command("r1", "--dialect", os_name, *REJECT), {}
    from tarvix.simulator import server

    if not server.available():
        pytest.skip("the SSH simulator needs asyncssh")
    running = stack.enter_context(server.serving(
        [{"hostname": "r1", "dialect": os_name, "options": REJECT}]))
    credentials = {"default": {"username": "admin", "password": "admin"}}
    return "ssh://admin@127.0.0.1:%d" % running.ports["r1"][0], {"credentials": credentials,
                                                                    "ssh": {"host_key_checking": "off"}}


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
                con.configure([BAD_LINE if not line.startswith("set ") else "set " + BAD_LINE])
            assert con.execute(running).splitlines().count(line) == 1
            if con.dialect.save:
                # The platform's save, its questions answered as the dialect says.
                saved = con.execute(con.dialect.save[0], reply=con.dialect.save_questions, timeout=5)
                assert saved and con.state_machine.current_state == "enable"


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
    from tarvix.bases.connection import plugin_class

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
