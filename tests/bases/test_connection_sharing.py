"""One connection shared by threads, one-line commands, and where the setup
configuration meant for console lines is applied (bundled simulator)."""
import os
import re
import stat
import sys
import threading

import pytest

from tarvix import simulator
from tarvix.bases.connection import Connection
from tarvix.core.errors import LinkClosedError


CLOCK = re.compile(r"\d\d:\d\d:\d\d UTC \w{3} \w{3} \d\d \d{4}\Z")
VERSION = "Generic router simulator, software version 1.0\nr1 uptime is 0 minutes\n1 route processor(s)"


def test_threads_sharing_a_connection_take_turns():
    con = Connection(hostname="r1", start=simulator.command("r1", "--echo-delay", "0.001", "--chunked",
                                                            "--reply-delay", "0.02"), connection_timeout=5)
    seen, errors = {"show clock": [], "show version": []}, []

    def worker(command):
        try:
            for _ in range(4):
                seen[command].append(con.execute(command, timeout=5))
        except Exception as error:  # told by the assertion below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(command,)) for command in seen]
    try:
        # Connecting from both threads at once opens one link.
        openers = [threading.Thread(target=con.connect) for _ in range(2)]
        for thread in openers + threads:
            thread.start()
        for thread in openers + threads:
            thread.join(30)
        pid = con.spawn.pid
    finally:
        con.disconnect()
    assert not errors
    versions = seen["show version"]
    assert len(versions) == 4 and len(set(versions)) == 1 and versions[0].startswith(VERSION + "\n")
    assert len(seen["show clock"]) == 4 and all(CLOCK.match(clock) for clock in seen["show clock"])
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


def test_abort_ends_a_command_another_thread_holds():
    con = Connection(hostname="r2", start=simulator.command("r2", "--hang", "show hang"), connection_timeout=5)
    con.connect()
    failures = []

    def hang():
        try:
            con.execute("show hang", timeout=30)
        except LinkClosedError as error:
            failures.append(error)

    runner = threading.Thread(target=hang)
    try:
        runner.start()
        # Until the echo of the command shows: the command is under way.
        for _ in range(200):
            if "show hang" in con.spawn.unread() or not runner.is_alive():
                break
            runner.join(0.02)
        con.abort()
        runner.join(10)
        assert not runner.is_alive() and failures
    finally:
        con.disconnect()


def test_a_command_is_one_line():
    con = Connection(hostname="r3", start=simulator.command("r3"))
    for call in (lambda: con.execute("show clock\nshow version"), lambda: con.execute("show clock\r"),
                 lambda: con.configure(["interface lo1", "description a\ndescription b"])):
        with pytest.raises(ValueError, match="one line"):
            call()
    assert con.spawn is None


@pytest.mark.parametrize("start, options, console", [
    ("ssh -p 2222 admin@10.0.0.1", {}, False),
    ("env LC_ALL=C /usr/bin/ssh r1", {}, False),
    ("telnet r1", {}, False),
    ("telnet -l admin r1 23", {}, False),
    ("telnet ts1 2001", {}, True),
    ("ssh admin@ts1", {"console_settle": True}, True),
    ("ssh r1", {"console": True}, True),
    ("picocom -b 9600 /dev/ttyUSB0", {}, True),
    ("telnet ts1 2001", {"console": False}, False),
    (["ssh r1-a", "telnet ts1 2002"], {}, True),
])
def test_which_links_are_console_lines(start, options, console):
    con = Connection(hostname="r1", start=start, **options)
    assert con.console_line is console
    assert con.init_config_commands == (None if console else [])
    con.init_config_commands = ["no ip domain-lookup"]
    assert con.init_config_commands == ["no ip domain-lookup"]


def fake_ssh(directory, hostname):
    """A program named ssh that opens the simulator: a session, not a console line."""
    path = os.path.join(directory, "ssh")
    with open(path, "w") as out:
        out.write("#!/bin/sh\nexec %s\n" % simulator.command(hostname))
    os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)
    return path


@pytest.mark.skipif(sys.platform == "win32", reason="a shell script stands in for ssh")
def test_setup_configuration_only_on_console_lines(tmp_path):
    ssh = fake_ssh(str(tmp_path), "r4")
    for start, options, configured in [(ssh, {}, False), (ssh, {"console": True}, True),
                                       (simulator.command("r4"), {}, True)]:
        log = str(tmp_path / "session.log")
        with Connection(hostname="r4", start=start, session_log=log, **options) as con:
            running = con.execute("show running-config")
        assert ("no logging console" in running) is configured
        with open(log) as sent:
            text = sent.read()
        os.remove(log)
        assert ("terminal length 0" in text) and (("configure terminal" in text) is configured)
