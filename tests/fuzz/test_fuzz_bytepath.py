"""The links' work on each arrival, native (tarvix.eal.bytepath) and in
Python (tarvix.eal.arrivals.PythonArrivals), fed the same hostile output:
bytes split inside UTF-8 characters, NUL and invalid bytes, prompts that
straddle reads, 10 MB without a line end.  Both must give the same text,
window, session log and echo, and the native path must never pass over an
arrival that a pattern awaited matches."""
import codecs
import re
import shlex
import sys

import pytest
from hypothesis import given, strategies as st

from tarvix.eal import arrivals, spawn as spawn_module
from tarvix.eal.echo import Echo

LIMITS = (spawn_module.WINDOW, spawn_module.OVERLAP, spawn_module.ANCHOR_REACH, spawn_module.ECHO_SCAN,
          spawn_module.READ_SIZE)
PATHS = ["native", "python"]
# Prompts and questions as dialects give them: anchored at the end, or not.
PATTERNS = [re.compile(r"router#\s*\Z"), re.compile(r"[Pp]assword:"), re.compile(r"\(y/n\)\s*$"),
            re.compile(r"(?m)^\S+>\s*$")]
# Bytes the devices' output is made of: words of the patterns, line ends,
# NULs, bytes that begin, continue or cannot be UTF-8.
PIECES = st.sampled_from([b"router", b"#", b"router# ", b" ", b"\r\n", b"\n", b"\x00", b"assword:", b"(y/n)", b">",
                          b"show ver", "é€𝄞".encode("utf-8"), b"\xe2\x82", b"\xac", b"\xf0\x9d", b"\xff", b"x" * 40])
FEEDS = st.lists(PIECES, min_size=1, max_size=6).map(b"".join)
OPS = st.lists(st.one_of(st.tuples(st.just("feed"), FEEDS), st.tuples(st.just("consume"), st.floats(0, 1)),
                         st.tuples(st.just("push_back"), st.sampled_from(["", "a", "é\x00", "router# "]))),
               max_size=30)


def native():
    if arrivals.UNAVAILABLE:
        pytest.skip(arrivals.UNAVAILABLE)
    return arrivals._native


class Log(object):
    def __init__(self):
        self.texts = []

    def received(self, text):
        self.texts.append(text)


class Bytes(object):
    """A child whose reads give the bytes put in it, decoded as pexpect
    decodes them."""

    def __init__(self):
        self.data = b""
        self.decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")

    def read_nonblocking(self, size, timeout):
        data, self.data = self.data, b""
        return self.decoder.decode(data)


def state(unread, echo, log):
    return (unread.text(), unread.window(), unread.size, unread.consumed, echo.end, echo.absent, echo.judged,
            echo.head, echo.head_size, "".join(log.texts))


def matched(regex, text):
    """Where the earliest match of ``regex`` in ``text`` ends, as expect
    looks for it, or None."""
    anchored = regex.pattern.endswith("\\Z")
    found = regex.search(text, max(len(text) - spawn_module.ANCHOR_REACH, 0) if anchored else 0)
    return found.end() if found else None


@given(ops=OPS, line=st.sampled_from(["show ver", "é€", "x"]))
def test_both_paths_take_arrivals_alike(ops, line):
    module = native()
    child = Bytes()
    slow = arrivals.PythonArrivals(child, LIMITS)
    # One native link per pattern, so that each pattern's verdict is seen.
    fasts = [module.terminal(-1, 0, LIMITS) for _ in PATTERNS]
    watches = [module.watch([arrivals.candidates.ending_of(regex)]) for regex in PATTERNS]
    echoes, logs = [Echo(line, 0) for _ in range(len(PATTERNS) + 1)], [Log() for _ in range(len(PATTERNS) + 1)]
    for op, value in ops:
        could = [True] * len(PATTERNS)
        if op == "feed":
            could = [fast.feed(value, echo, log, watch) for fast, echo, log, watch in zip(fasts, echoes, logs, watches)]
            child.data = value
            slow.read(0, None, None, echoes[-1], logs[-1], None)
        elif op == "consume":
            upto = int(value * slow.size)
            taken = slow.consume(upto)
            assert [fast.consume(upto) for fast in fasts] == [taken] * len(fasts)
        else:
            for unread in fasts + [slow]:
                unread.push_back(value)
        for fast, echo, log in zip(fasts, echoes, logs):
            assert state(fast, echo, log) == state(slow, echoes[-1], logs[-1])
        # As expect does: a match is taken as soon as it is there.
        ends = [(matched(regex, slow.text()), index) for index, regex in enumerate(PATTERNS)]
        for end, index in ends:
            assert end is None or could[index], (PATTERNS[index].pattern, op, value, slow.text())
        found = [end for end, _ in ends if end is not None]
        if found:
            for unread in fasts + [slow]:
                unread.consume(min(found))


CONSOLE = """
import os, sys, time, tty
tty.setraw(1)
for chunk in open(sys.argv[1]).read().split():
    data = memoryview(bytes.fromhex(chunk))
    while data:
        data = data[os.write(1, data):]
    time.sleep(0.02)
time.sleep(30)
"""
WORDS = "héllo wörld € 𝄞 ".encode("utf-8")


def split_characters():
    # Every cut inside a character of more than one byte.
    return [WORDS[:2], WORDS[2:9], WORDS[9:16], WORDS[16:19], WORDS[19:], b"\r\nrouter# "]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("case, chunks", [
    ("split UTF-8", split_characters()),
    ("NUL and invalid bytes", [b"a\x00b\x00\x00\xff\xe2\x82", b"z\r\n\x00", b"\xf0\x9d\x84", b"\x9e router# "]),
    ("a prompt that straddles reads", [b"output\r\nrou", b"ter", b"#", b" "]),
    ("10 MB without a line end", [b"x" * 10000000, b"router#"]),
], ids=lambda value: value if isinstance(value, str) else "")
def test_a_console_gives_the_same_output_on_both_paths(path, case, chunks, monkeypatch, tmp_path):
    if path == "native":
        native()
    else:
        monkeypatch.setattr(arrivals, "_native", None)
    printing = tmp_path / "chunks"
    printing.write_text(" ".join(chunk.hex() for chunk in chunks))
    command = "%s -c %s %s" % (shlex.quote(sys.executable), shlex.quote(CONSOLE), shlex.quote(str(printing)))
    link = spawn_module.Spawn(command, "dev1", timeout=60)
    try:
        assert isinstance(link._arrivals, arrivals.PythonArrivals) == (path == "python")
        result = link.expect([r"never printed", r"router#\s*\Z"])
        printed = b"".join(chunks).decode("utf-8", "replace")
        assert result.index == 1
        assert result.match_output == printed[:printed.rindex("router#")]
        assert link.unread() == ""
    finally:
        link.close()


def test_the_end_of_the_program_ends_the_link_on_both_paths(monkeypatch):
    for path in PATHS:
        if path == "python":
            monkeypatch.setattr(arrivals, "_native", None)
        elif arrivals.UNAVAILABLE:
            continue
        link = spawn_module.Spawn("printf 'ab\\342\\202'", "dev1", timeout=10)
        try:
            with pytest.raises(Exception) as raised:
                link.expect(r"never printed")
            assert "link closed" in str(raised.value), path
            assert link.unread() == "ab", path
        finally:
            link.close()
