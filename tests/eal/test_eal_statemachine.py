"""The router console state machine driving the simulator."""
import re
import sys

import pytest

from tarvix import simulator
from tarvix.bases.connection import DEFAULT_LEARNED_HOSTNAME
from tarvix.core.errors import ConnectionError, LinkTimeoutError, LoginError
from tarvix.eal.dialogs import Dialog, Statement
from tarvix.eal.spawn import Spawn
from tarvix.eal.statemachine import RouterStateMachine


@pytest.fixture
def console(monkeypatch):
    monkeypatch.setenv(simulator.PASSWORD_ENV, "pw-right")
    made = []

    def make(*options, **kwargs):
        spawn = Spawn(simulator.command("sm1", *options), "sm1", timeout=3)
        made.append(spawn)
        hostname = kwargs.pop("hostname", "sm1")
        machine = RouterStateMachine("sm1", lambda: re.escape(hostname), DEFAULT_LEARNED_HOSTNAME, timeout=3, **kwargs)
        return spawn, machine

    yield make
    for spawn in made:
        spawn.close()


@pytest.mark.parametrize("path", [
    ["enable"], ["config"], ["config", "disable"], ["enable", "config", "enable"], ["disable", "any"],
])
def test_go_to_reaches_each_state(console, path):
    spawn, machine = console()
    for state in path:
        reached = machine.go_to(state, spawn)
        assert reached == machine.current_state
    expected = path[-2] if path[-1] == "any" else path[-1]
    assert machine.current_state == expected
    spawn.sendline()
    assert spawn.expect(machine.get_state(expected).pattern, timeout=2).match_output.strip() == ""


def test_learning_accepts_any_hostname_and_keeps_it(console):
    spawn, machine = console(hostname="not-this-one")
    machine.learn_hostname = True
    assert machine.go_to("any", spawn) == "disable"
    assert machine.seen_hostname == "sm1"
    machine.learn_hostname = False
    pattern = machine.get_state("enable").pattern
    assert re.search(pattern, "\r\nnot-this-one#") and not re.search(pattern, "\r\nsm1#")


def test_login_tries_each_credential_in_turn(console):
    credentials = {"old": {"username": "admin", "password": "pw-old"}, "new": {"username": "admin", "password": "pw-right"}}
    spawn, machine = console("--login", "--banner", credentials=credentials)
    assert machine.go_to("enable", spawn, context={"cred_list": ["old", "new"]}) == "enable"


@pytest.mark.parametrize("credentials, message", [
    ({"default": {"username": "admin", "password": "pw-wrong"}},
     "sm1: % Login invalid | User Access Verification | Username:\nlogin rejected with the credentials 'default'"),
    ({}, "sm1: User Access Verification | Username:\nthe device asks for login credentials and none were given"),
    ({"default": {"password": "pw-right"}},
     "sm1: User Access Verification | Username:\nthe device asks for a username and credential 'default' has none"),
])
def test_login_failures(console, credentials, message):
    spawn, machine = console("--login", credentials=credentials)
    with pytest.raises(LoginError) as caught:
        machine.go_to("any", spawn)
    # A console slow to start (under a sanitizer, say) is nudged with a bare
    # line first, which it takes for an empty username: it asks once more.
    assert re.sub(r"( \| Username:)+\n", " | Username:\n", caught.value.message) == message


def test_a_dialog_statement_is_answered_on_the_way(console):
    spawn, machine = console("--banner")
    answered = []
    dialog = Dialog([Statement(r"Press RETURN", action=lambda s, c, m: (answered.append(1), s.sendline()))])
    assert machine.go_to("any", spawn, dialog=dialog) == "disable"
    assert answered == [1]


def test_locked_standby_cannot_be_moved(console, tmp_path):
    spawn, machine = console("--pair-dir", str(tmp_path), "--role", "standby")
    assert machine.go_to("any", spawn) == "standby_locked"
    with pytest.raises(ConnectionError, match="sm1: the console is locked"):
        machine.go_to("enable", spawn)


@pytest.mark.slow
def test_silent_console_times_out_with_prompt_recovery_nudges(console):
    spawn, machine = console("--silent")
    sent = []
    original = spawn.sendline
    spawn.sendline = lambda text="": (sent.append(text), original(text))
    with pytest.raises(LinkTimeoutError, match=r"^sm1: \(nothing printed\)\nno prompt of a known state \(disable, enable, config"):
        machine.go_to("any", spawn, prompt_recovery=True, timeout=1.6)
    assert len(sent) >= 2
    sent[:] = []
    with pytest.raises(LinkTimeoutError):
        machine.go_to("any", spawn, timeout=1.2)
    assert sent == [""]


def test_unknown_target_state(console):
    spawn, machine = console()
    with pytest.raises(ValueError, match="unknown state 'shell'"):
        machine.go_to("shell", spawn)


@pytest.mark.slow
def test_a_console_that_is_still_printing_is_not_nudged(tmp_path):
    slow = tmp_path / "slow.py"
    slow.write_text("import sys, time\nfor _ in range(8):\n    print('booting', flush=True)\n    time.sleep(0.2)\n"
                    "sys.stdout.write('sm1>'); sys.stdout.flush()\nsys.stdin.readline()\n")
    spawn = Spawn("%s %s" % (sys.executable, slow), "sm1", timeout=3)
    sent = []
    spawn.sendline = lambda text="": sent.append(text)
    machine = RouterStateMachine("sm1", lambda: "sm1", DEFAULT_LEARNED_HOSTNAME)
    try:
        assert machine.go_to("any", spawn, prompt_recovery=True, timeout=4) == "disable"
    finally:
        spawn.close()
    assert sent == []


def test_a_bare_line_still_unanswered_asks_for_the_fresh_prompt(console):
    """Between the dual-RP passes: the prompt owed to the bare line just
    sent is the fresh prompt; no second line, so no second prompt."""
    spawn, machine = console("--reply-delay", "0.3")
    assert machine.go_to("any", spawn) == "disable"
    spawn.sendline()
    sent = []
    send = spawn.sendline
    spawn.sendline = lambda text="": (sent.append(text), send(text))
    assert machine.go_to("any", spawn) == "disable"
    assert sent == [] and spawn.bare_lines == 0
    # Once that prompt was read, the next pass asks for a fresh one.
    assert machine.go_to("any", spawn) == "disable"
    assert sent == [""]


# Like an ssh client that negotiates for longer than a console may stay
# silent: the bare line sent meanwhile is read as an empty password, and the
# input typed before the second question is dropped (the password with it).
SLOW_SSH = """import sys, termios, time
time.sleep(0.8)
for attempt in range(3):
    sys.stdout.write("user@r1's password: "); sys.stdout.flush()
    if sys.stdin.readline().strip() == "pw-right":
        sys.stdout.write("\\r\\nsm1>"); sys.stdout.flush()
        sys.stdin.readline()
        break
    time.sleep(0.3)
    termios.tcflush(0, termios.TCIFLUSH)
    sys.stdout.write("Permission denied, please try again.\\r\\n")
"""


@pytest.mark.slow
@pytest.mark.parametrize("password, reached", [("pw-right", "disable"), ("pw-wrong", None)])
def test_a_bare_line_taken_for_the_password_is_made_good(tmp_path, password, reached):
    program = tmp_path / "slow_ssh.py"
    program.write_text(SLOW_SSH)
    spawn = Spawn("%s %s" % (sys.executable, program), "sm1", timeout=5)
    machine = RouterStateMachine("sm1", lambda: "sm1", DEFAULT_LEARNED_HOSTNAME, timeout=5,
                                 credentials={"default": {"password": password}})
    try:
        if reached:
            assert machine.go_to("any", spawn, context={"cred_list": ["default"]}) == reached
        else:
            with pytest.raises(LoginError, match="login rejected with the credentials 'default'"):
                machine.go_to("any", spawn, context={"cred_list": ["default"]})
    finally:
        spawn.close()


# An ssh client as the system one asks for a password: it drops what was
# typed before it asks (unless --keeps-typeahead, for the first question),
# and ends the prompt's line once it has read one.  Every line read is
# recorded in the file named first.
SSH_CLIENT = """import sys, termios, time
time.sleep(0.5)
for attempt in range(3):
    if attempt or "--keeps-typeahead" not in sys.argv:
        termios.tcflush(0, termios.TCIFLUSH)
    sys.stdout.write("user@r1's password: "); sys.stdout.flush()
    line = sys.stdin.readline().strip()
    with open(sys.argv[1], "a") as record:
        record.write(line + "\\n")
    sys.stdout.write("\\r\\n"); sys.stdout.flush()
    time.sleep(0.3)
    if line == "pw-right":
        sys.stdout.write("sm1>"); sys.stdout.flush()
        sys.stdin.readline()
        break
    sys.stdout.write("Permission denied, please try again.\\r\\n")
"""


@pytest.mark.slow
@pytest.mark.parametrize("option, passwords, received", [
    # The bare line sent while the client negotiated is dropped: the wrong
    # password is refused once, then the next credential is offered.
    ("", ["pw-wrong", "pw-right"], ["pw-wrong", "pw-right"]),
    # The bare line is read as the password: the password goes to the next question.
    ("--keeps-typeahead", ["pw-right"], ["", "pw-right"]),
])
def test_each_password_is_offered_once_per_question(tmp_path, monkeypatch, option, passwords, received):
    import tarvix.eal.statemachine as statemachine

    monkeypatch.setattr(statemachine, "NUDGE_AFTER", 0.2)
    program, record = tmp_path / "ssh_client.py", tmp_path / "received"
    program.write_text(SSH_CLIENT)
    spawn = Spawn("%s %s %s %s" % (sys.executable, program, record, option), "sm1", timeout=5)
    names = ["c%d" % n for n in range(len(passwords))]
    machine = RouterStateMachine("sm1", lambda: "sm1", DEFAULT_LEARNED_HOSTNAME, timeout=5,
                                 credentials=dict((n, {"password": p}) for n, p in zip(names, passwords)))
    sent = []
    send_secret = spawn.send_secret
    spawn.send_secret = lambda text: (sent.append(text), send_secret(text))
    try:
        assert machine.go_to("any", spawn, context={"cred_list": names}) == "disable"
    finally:
        spawn.close()
    assert record.read_text().splitlines() == received
    assert sent == passwords


# Texts built from the characters that decide where a prompt is.
_PIECES = ["r1", "R1", "r1.lab", "R1.LAB", ".lab", "r1(x", "x", " ", "\t", "\r", "\n", "\r\n", ">", "#",
           "(config)", "(config-if)", "(config", ")#", "(", ")", "\x0c", "lab"]


def test_text_hostname_prompts_match_as_their_patterns_do():
    from hypothesis import given, settings, strategies as st

    from tarvix.bases.connection import _hostname_pattern
    from tarvix.eal.statemachine import _TextHostPrompt, _prompt_finder

    machines = [RouterStateMachine("d", (lambda h=h: h), DEFAULT_LEARNED_HOSTNAME)
                for h in (_hostname_pattern("r1"), _hostname_pattern("r1.lab"), re.escape("r1(x"))]
    finders = [(pattern, finder) for m in machines
               for pattern, finder in zip(m.prompts().strings, m.prompts().compiled) if "hostname" in pattern]
    assert len(finders) == 9 and all(isinstance(f, _TextHostPrompt) for _, f in finders)
    # Hostname parts that are not plain text keep their compiled pattern.
    dialect = machines[0].dialect
    for host in (DEFAULT_LEARNED_HOSTNAME, "r\\d"):
        assert isinstance(_prompt_finder(dialect, "#", host, dialect.pattern("enable", host)), type(re.compile("")))

    @settings(max_examples=400, deadline=None)
    @given(st.lists(st.sampled_from(_PIECES), max_size=12), st.integers(0, 3))
    def check(pieces, pos):
        text = "".join(pieces)
        for pattern, finder in finders:
            want, got = re.compile(pattern).search(text, pos), finder.search(text, pos)
            assert (want and (want.span(), want.group("hostname"))) == (got and (got.span(), got.group("hostname")))

    check()


def test_a_dialects_alternations_stay_inside_the_prompts_anchors():
    from tarvix.eal.statemachine import Dialect

    dialect = Dialect("alt", prompt="{host}{mode}", states=[("enable", r">|#")], fixed=[("locked", "gone|off")])
    prompt, locked = re.compile(dialect.pattern("enable", "r1")), re.compile(dialect.pattern("locked", "r1"))
    assert prompt.search("\nr1#") and prompt.search("r1>  ")
    assert not prompt.search("# r1 says\nmore") and not prompt.search("r1> and more")
    assert locked.search("console off\n") and not locked.search("gone away")
