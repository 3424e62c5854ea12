"""The echo of a line sent to a device: where in what the device printed
it ends, so that the line's output begins after it.

A device echoes the line's characters, with whatever its terminal puts
between them (line ends where it wraps, backspaces, control sequences,
the first character of a row written twice).
A line editor on a terminal it cannot move the cursor up on (a shell's on a
"dumb" terminal) shows a line longer than the terminal is wide by
scrolling it sideways instead: it redraws the line from its first column
with a "<" followed by the end of the line, and ends the line once it is
read.  That echo holds no longer run of the line's characters in order;
it is told by what the terminal's line shows when the device ends it: a
"<", then the end of the line sent.
"""
import functools
import re

# How far past the point where a line was sent its echo is looked for.
ECHO_SCAN = 65536
# The fewest characters of a line that a sideways-scrolled echo must show:
# a line editor shows about two thirds of the terminal's width of it.
SCROLLED_SHOWN = 16

# What a terminal may put between the characters of an echoed line: line
# ends and carriage returns where it wraps, backspaces, bells, nulls and
# control sequences.
_ECHO_NOISE = r"(?:[\r\n\x00\x07\x08]|\x1b\[[0-9;?]*[A-Za-z]| \x08)*"
# What moves a terminal's cursor on its line, or is not shown.
_CONTROL = re.compile(r"\x1b\[([0-9;?]*)([A-Za-z@])|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b.|[\x00-\x1f\x7f]")


@functools.lru_cache(maxsize=256)
def _echo_regex(line):
    """The echo of a line (stripped): its characters, with whatever a
    terminal may put between them.  The same few lines go to every device.

    A line editor that wraps a line on a terminal that wraps by itself
    writes the character that begins a new row, returns to the row's
    start and writes it again: any character may be so repeated."""
    return re.compile(_ECHO_NOISE.join("%s(?:\r+%s)?" % (re.escape(c), re.escape(c)) for c in line))


def shown_line(text):
    """What one terminal line shows once ``text`` (no line end in it) is
    written on it from its first column: characters overwrite those under
    the cursor; carriage returns, backspaces, cursor moves and erasing to
    the end of the line act as on a terminal; other controls show nothing."""
    cells, column, at = [], 0, 0

    def write(chars):
        nonlocal column
        for char in chars:
            if column < len(cells):
                cells[column] = char
            else:
                cells.extend(" " * (column - len(cells)) + char)
            column += 1

    for control in _CONTROL.finditer(text):
        write(text[at:control.start()])
        at = control.end()
        char, final = control.group(0), control.group(2)
        if char == "\r":
            column = 0
        elif char == "\b":
            column = max(column - 1, 0)
        elif final in ("C", "D"):
            count = max(int(control.group(1)), 1) if control.group(1).isdigit() else 1
            column = column + count if final == "C" else max(column - count, 0)
        elif final == "K" and control.group(1) in ("", "0"):
            del cells[column:]
    write(text[at:])
    return "".join(cells)


def scrolled_echo(shown, line):
    """Whether a terminal line that shows ``shown`` when the device ends it
    is the sideways-scrolled echo of ``line`` (stripped)."""
    shown = shown.rstrip()
    end = shown[1:]
    return shown.startswith("<") and SCROLLED_SHOWN <= len(end) < len(line) and line.endswith(end)


class Echo(object):
    """The echo of one line sent: where in the output it is looked for, and
    where it ended once seen (offsets of the link's whole output)."""

    def __init__(self, text, start, local=False):
        self.line = text.strip()
        self.regex = _echo_regex(self.line)
        # The link's terminal echoed the line itself (a telnet client in
        # line mode): the device's own echo may follow.
        self.local = local
        # How far back a new read may complete an echo begun earlier.
        self.reach = 8 * len(text) + 256
        self.start = start
        self.head = ""
        self.head_size = 0
        self.end = None
        self.absent = False
        # Whether the first line end the device printed was looked at as
        # the end of a scrolled echo.
        self.judged = False

    @property
    def settled(self):
        return self.end is not None or self.absent

    def feed(self, text):
        """Looks for the echo in text the device printed next."""
        if self.settled:
            return
        head = self.head[-self.reach:] + text
        base = self.head_size + len(text) - len(head)
        self.head_size += len(text)
        found = self.regex.search(head)
        if found:
            self.end = self.start + base + found.end()
        elif not self.judged and "\n" in text:
            # The first line end: a scrolled echo ends there, if it is one.
            self.judged = True
            ends = head.find("\n")
            if scrolled_echo(shown_line(head[:ends]), self.line):
                self.end = self.start + base + ends
                return
        if self.end is None:
            if self.head_size > ECHO_SCAN:
                self.absent = True
            else:
                self.head = head

    def repeat_end(self, text, pos):
        """Where the device's echo of the line ends when it follows, at
        ``pos`` of ``text``, the one the link's terminal printed; else pos."""
        if not self.local:
            return pos
        found = re.compile(r"[\r\n]*(?:%s)[ \t]*(?=[\r\n])" % self.regex.pattern).match(text, pos)
        return found.end() if found else pos
