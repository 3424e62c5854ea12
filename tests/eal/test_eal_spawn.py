"""Device links on real pseudo-terminals, with small stand-in programs."""
import logging
import os
import select
import shlex
import sys
import time
from unittest import mock

import pytest

from tarvix.core.errors import LinkClosedError, LinkTimeoutError
from tarvix.eal.dialogs import Dialog, Statement
from tarvix.eal.echo import Echo
from tarvix.eal.spawn import Spawn

ECHO_LINES = "import sys\nfor line in sys.stdin:\n    print('got ' + line.strip() + '\\nready>', flush=True)"


def program(source):
    return "%s -c %s" % (shlex.quote(sys.executable), shlex.quote(source))


@pytest.fixture
def link():
    made = []

    def make(source, **kwargs):
        spawn = Spawn(program(source), "dev1", **kwargs)
        made.append(spawn)
        return spawn

    yield make
    for spawn in made:
        spawn.close()


def test_expect_returns_the_text_read_up_to_the_match(link):
    spawn = link(ECHO_LINES)
    spawn.sendline("hello")
    result = spawn.expect([r"nothing", r"ready>"], timeout=3)
    assert result.index == 1 and result.matched == "ready>"
    assert result.match_output.replace("\r\n", "\n") == "hello\ngot hello\n"


LONG = "echo " + " ".join("t%d" % n for n in range(1, 60))


@pytest.mark.parametrize("printed, output", [
    # A line editor that scrolls sideways: the start, then the line redrawn
    # from its first column with its end, the rest erased and the cursor back.
    ([LONG[:70], "\r<" + LONG[-50:-20], LONG[-20:] + " " * 19 + "\x08" * 19, "\r\n" + LONG[5:] + "\r\n"], LONG[5:]),
    # A line editor that wraps: each row's first character written twice.
    ([LONG[:70] + "\r" + LONG[69:140] + "\r" + LONG[139:] + "\r\n" + LONG[5:] + "\r\n"], LONG[5:]),
    # No echo at all, and an output line that ends as the command does.
    ([LONG[30:] + "\r\n"], None),
])
def test_the_echo_of_a_line_longer_than_the_terminal(printed, output):
    echo = Echo(LONG, 0)
    for text in printed:
        echo.feed(text)
    text = "".join(printed)
    assert (text[echo.end:].strip() if echo.end is not None else None) == output


@pytest.mark.parametrize("source, error, words", [
    ("import time; time.sleep(5)", LinkTimeoutError, "dev1: (nothing printed)\ntimed out after 0.3 s waiting for 'never'"),
    ("print('bye')", LinkClosedError, "dev1: bye\nlink closed while waiting for 'never'"),
])
def test_failures_name_the_device_and_what_was_awaited(link, source, error, words):
    spawn = link(source)
    began = time.monotonic()
    with pytest.raises(error) as caught:
        spawn.expect("never", timeout=0.3)
    assert time.monotonic() - began < 2
    assert str(caught.value) == words


@pytest.mark.parametrize("source", [
    "import time; time.sleep(30)",
    # A program that ignores the hangup is killed.
    "import signal, time; signal.signal(signal.SIGHUP, signal.SIG_IGN); print('ready', flush=True); time.sleep(30)",
])
def test_close_ends_the_program_and_can_be_repeated(link, source):
    spawn = link(source)
    if "ready" in source:
        spawn.expect("ready", timeout=10)
    pid = spawn.pid
    began = time.monotonic()
    spawn.close()
    assert time.monotonic() - began < 1
    spawn.close()
    assert spawn.closed and not spawn.isalive()
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


def test_flush_drops_unread_output(link):
    spawn = link(ECHO_LINES)
    spawn.sendline("old")
    spawn.expect("ready>", timeout=3)
    spawn.sendline("stale")
    time.sleep(0.3)
    spawn.flush()
    spawn.sendline("new")
    assert "stale" not in spawn.expect("ready>", timeout=3).match_output


def test_string_form_names_device_and_command(link):
    spawn = link("pass")
    assert str(spawn).startswith("dev1 via '%s -c" % shlex.quote(sys.executable))


def test_empty_command_is_refused():
    with pytest.raises(ValueError, match="empty start command for dev2"):
        Spawn("  ", "dev2")


def test_statement_actions(link):
    spawn = link(ECHO_LINES)
    seen = []
    Statement(r"x", action="as line").run(spawn, {}, None)
    assert "got as line" in spawn.expect("ready>", timeout=3).match_output
    Statement(r"x", action=lambda s, c, m: seen.append((c, m))).run(spawn, {"k": 1}, "m")
    assert seen == [({"k": 1}, "m")]
    dialog = Dialog([Statement("a")]) + [Statement("b")]
    assert [s.name for s in dialog] == ["a", "b"] and len(Dialog([])) == 0


def test_hidden_lines_are_masked_in_error_messages(link):
    spawn = link("import sys\nfor line in sys.stdin:\n    print('echo ' + line.strip(), flush=True)")
    spawn.send_secret("hunter2-secret")
    with pytest.raises(LinkTimeoutError) as caught:
        spawn.expect("never", timeout=0.5)
    assert "hunter2-secret" not in str(caught.value) and "echo ****" in str(caught.value)


# What a link's program finds, as ssh needs it to ask for a password: a
# session of its own with the link's terminal as its controlling terminal,
# of the size asked for.
TERMINAL = ("import os\n"
            "with open('/dev/tty', 'w') as tty: tty.write('tty ok\\n')\n"
            "print('session leader', os.getsid(0) == os.getpid(), os.get_terminal_size(0), flush=True)\n"
            "print('ready>', flush=True)")


@pytest.mark.parametrize("start", ["posix_spawn", "fork"])
def test_the_program_owns_its_terminal(link, monkeypatch, start):
    from tarvix.eal import linkprocess as spawn_module

    if start == "fork":
        monkeypatch.setattr(spawn_module, "_setsid", [None])
    elif spawn_module._setsid_ctty() is None:
        pytest.skip("no posix_spawn or no setsid with --ctty here")
    spawn = link(TERMINAL, dimensions=(30, 150))
    output = spawn.expect("ready>", timeout=5).match_output
    assert "tty ok" in output
    assert "session leader True os.terminal_size(columns=150, lines=30)" in output


@pytest.mark.parametrize("start", ["posix_spawn", "posix_spawn closing each", "fork"])
def test_the_program_inherits_no_other_descriptor(link, monkeypatch, start):
    from tarvix.eal import linkprocess as spawn_module

    if start == "fork":
        monkeypatch.setattr(spawn_module, "_setsid", [None])
    elif spawn_module._setsid_ctty() is None:
        pytest.skip("no posix_spawn or no setsid with --ctty here")
    if start == "posix_spawn closing each":
        monkeypatch.delattr(os, "POSIX_SPAWN_CLOSEFROM", raising=False)
    read, write = os.pipe()
    try:
        os.set_inheritable(write, True)
        spawn = link("print('ready>', flush=True)\nimport time\ntime.sleep(30)")
        spawn.expect("ready>", timeout=5)
        os.close(write)
        write = None
        # The pipe ends at once unless the program holds its writing end.
        assert select.select([read], [], [], 2)[0] and os.read(read, 1) == b""
    finally:
        os.close(read)
        if write is not None:
            os.close(write)


@pytest.mark.parametrize("breaks", ["the terminal object", "the spawn after the program runs"])
def test_a_failure_once_the_program_runs_leaves_no_process(monkeypatch, breaks):
    from tarvix.eal import linkprocess as spawn_module

    if spawn_module._setsid_ctty() is None:
        pytest.skip("no posix_spawn or no setsid with --ctty here")
    started = []
    posix_spawn = os.posix_spawn
    monkeypatch.setattr(os, "posix_spawn", lambda *a, **k: started.append(posix_spawn(*a, **k)) or started[-1])
    log = logging.getLogger("test.broken")
    if breaks == "the terminal object":
        monkeypatch.setattr(spawn_module.ptyprocess, "PtyProcess", mock.Mock(side_effect=RuntimeError("broken")))
    else:
        monkeypatch.setattr(log, "debug", mock.Mock(side_effect=RuntimeError("broken")))
    with pytest.raises(RuntimeError, match="broken"):
        Spawn(program("import time; time.sleep(30)"), "dev1", log=log)
    [pid] = started
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)
