"""The terminal side of a simulated console: echo, slow output in pieces,
lines and secrets read as a device's line reads them."""
import os
import time


class Terminal(object):
    """What a console does on its line.  The console sets ``stdin``,
    ``stdout``, ``echo_delay``, ``pause``, ``pieces`` and the typed-byte
    reader ``_read_raw`` with its decoder before it runs."""

    def slow_echo(self):
        """Takes the echo over from the terminal (when there is one), as a
        device does: a line is echoed when the console reads it, after the
        answer to the line before, never ahead of it."""
        if self._read_raw is not None:
            return
        fd = self.stdin.fileno() if hasattr(self.stdin, "fileno") else None
        if fd is None or not os.isatty(fd):
            return
        import termios

        attributes = termios.tcgetattr(fd)
        attributes[3] &= ~(termios.ECHO | termios.ICANON)
        attributes[6][termios.VMIN], attributes[6][termios.VTIME] = 1, 0
        termios.tcsetattr(fd, termios.TCSANOW, attributes)
        self._read_raw = lambda: os.read(fd, 1)

    def write(self, text):
        if self.pieces is None:
            self.stdout.write(text)
            self.stdout.flush()
            return
        while text:
            size = next(self.pieces)
            self.stdout.write(text[:size])
            self.stdout.flush()
            text = text[size:]
            if text:
                time.sleep(self.pause)

    def readline(self, secret=False):
        """One input line without its line end; EOFError at end of input."""
        if self._read_raw is not None:
            return self._read_echoing(secret)
        line = self.stdin.readline()
        if not line:
            raise EOFError()
        return line.rstrip("\r\n")

    def _read_echoing(self, secret):
        """One line, echoed as it is read (but for a secret); what was typed
        after its end waits for the next read."""
        line = []
        while True:
            if not self._typed:
                data = self._read_raw()
                if not data:
                    raise EOFError()
                self._typed = self._decoder.decode(data)
            shown = []
            for index, char in enumerate(self._typed):
                after_cr, self._after_cr = self._after_cr, char == "\r"
                if char == "\n" and after_cr:
                    continue
                if char in "\r\n":
                    self._typed = self._typed[index + 1:]
                    if not secret:
                        shown.append("\n")
                    self.echo("".join(shown))
                    return "".join(line)
                line.append(char)
                if not secret:
                    shown.append(char)
            self._typed = ""
            self.echo("".join(shown))

    def echo(self, text):
        """Echoes typed text: a character at a time after the echo delay on a
        slow console, else all at once."""
        if not text:
            return
        for char in (text if self.echo_delay else (text,)):
            if self.echo_delay:
                time.sleep(self.echo_delay)
            self.stdout.write(char)
            self.stdout.flush()

    def ask_secret(self, prompt):
        """Turns echo off before the prompt shows, so nothing typed after it
        is echoed."""
        if self._read_raw is not None:
            self.write(prompt)
            line = self.readline(secret=True)
            self.write("\n")
            return line
        fd = self.stdin.fileno() if hasattr(self.stdin, "fileno") else None
        if fd is not None and os.isatty(fd):
            import termios

            saved = termios.tcgetattr(fd)
            quiet = termios.tcgetattr(fd)
            quiet[3] &= ~termios.ECHO
            termios.tcsetattr(fd, termios.TCSANOW, quiet)
            try:
                self.write(prompt)
                line = self.stdin.readline()
            finally:
                termios.tcsetattr(fd, termios.TCSANOW, saved)
            self.write("\n")
        else:
            self.write(prompt)
            line = self.stdin.readline()
        if not line:
            raise EOFError()
        return line.rstrip("\r\n")
