"""The interrupt of a run: the first Ctrl-C (or SIGTERM, SIGHUP) ends it,
a second one exits at once."""
import os
import signal
import threading

from tarvix.exits import signalled

# The signals that interrupt a run; it then exits with 128 + the number.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


class Signals(object):
    """While a run lasts, the first interrupt (Ctrl-C, SIGTERM, SIGHUP) stops
    it and the main thread ends it; a second one exits at once.  Only the
    main thread can take signals: elsewhere this does nothing."""

    def __init__(self, run):
        self.run = run
        self.previous = {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for number in STOP_SIGNALS:
                self.previous[number] = signal.signal(number, self.handle)
        return self

    def __exit__(self, *exc):
        for number, handler in self.previous.items():
            signal.signal(number, handler)

    def handle(self, number, frame):
        if self.run.stop.is_set():
            # Nothing more is written: the outputs of the hosts done are.
            # No lock is taken here (this thread may hold it): the links'
            # terminals hang up as the process ends, which ends their programs.
            try:
                if os.isatty(2):
                    os.write(2, b"\x1b[?25h\n")  # the progress bar hid the cursor
                os.write(2, b"interrupted again: exiting at once\n")
            except OSError:
                pass
            os._exit(signalled(number))
        self.run.signal = number
        self.run.stop.set()


def signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number
