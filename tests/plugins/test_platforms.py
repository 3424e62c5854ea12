"""The built-in platforms' data where no device is needed: the shell's
prompts as a Linux host shows them, and which platform detection takes for
a prompt and an answer."""
import re
import shlex
import sys

import pytest

from tarvix.bases.commands import _clean
from tarvix.bases.connection import Connection
from tarvix.core.errors import ConnectionError
from tarvix.plugins import auto
from tarvix.plugins.linux.dialect import DIALECT as LINUX

PASTE_ON, PASTE_OFF = "\x1b[?2004h", "\x1b[?2004l\r"


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


@pytest.mark.parametrize("prompt, answer, chosen", [
    ("r1#", "Generic router simulator, software version 1.0", "generic"),
    ("r1#", "FRRouting 8.4.4 (r1) on Linux(6.1.0).", "frr"),
    (PASTE_ON + "alice@web1:~$", PASTE_OFF + "-bash: show: command not found", "linux"),
    ("$", "sh: 1: show: not found", "linux"),
    ("r1#", "% Unknown command: show version", None),
])
def test_detection_chooses_by_the_prompt_and_one_answer(prompt, answer, chosen):
    classes = [cls for cls in auto.candidates() if cls.__module__.startswith("tarvix.plugins.")]
    shown = [cls for cls in classes if re.search(auto._shape(cls.dialect) + r"\s*\Z", prompt)]
    picked = auto.choose(shown, prompt, "show version", answer)
    assert (picked.os if picked else None) == chosen


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
