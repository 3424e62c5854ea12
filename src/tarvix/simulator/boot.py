"""Reload and switchover of a simulated router.

The commands and questions are the dialect's (``Reload`` in
``tarvix.simulator.clis``).  A reload asks whether to save a changed
configuration (where the dialect asks), then for a last confirmation, and
boots the router: on a console line its boot messages show over the
reload's duration and the console starts over (banner, login); a session
over SSH ends and the router refuses new ones until it is up.  The peer's
reload (generic: "redundancy reload peer") boots only the standby of a
dual-RP router, the switchover ("redundancy force-switchover") hands the
active role to the standby and boots the former active, which comes back
as the standby.  Either way a standby comes back locked.

What boots and until when lives in ``Boots``: in memory for the consoles of
one process, in files of the pair directory for a pair of processes.  An RP
is named by its seat, the role it started in ("active", "standby"; "single"
for a router of one RP).
"""
import os
import time

BOOT_MESSAGES = (
    "System Bootstrap, Version 1.0",
    "Loading the software image ... [OK]",
    "Initializing the hardware ...",
    "Starting the command line ...",
)
NOT_READY = "% Standby RP is not ready for switchover"
NO_PEER = "% This router has no standby RP"
ABORTED = "% Aborted"
NEVER = float("inf")


class Rebooted(Exception):
    """This RP has booted: its console starts over."""


class Boots(object):
    """Which RPs of one router boot, until when, and whether the RPs have
    swapped roles; ``listeners`` are called with the seats whose boot
    begins (the SSH server drops their sessions)."""

    def __init__(self, pair_dir=None):
        self._dir = pair_dir
        self._values = {}
        self.listeners = []

    def _get(self, name, default):
        if self._dir is None:
            return self._values.get(name, default)
        try:
            with open(os.path.join(self._dir, "sim-" + name)) as handle:
                return handle.read().split()
        except (IOError, OSError):
            return default

    def _set(self, name, words):
        if self._dir is None:
            self._values[name] = words
            return
        path = os.path.join(self._dir, "sim-" + name)
        with open(path + ".new", "w") as handle:
            handle.write(" ".join(words) + "\n")
        os.replace(path + ".new", path)

    @property
    def swapped(self):
        return self._get("swapped", ["0"]) == ["1"]

    def swap(self):
        self._set("swapped", ["0" if self.swapped else "1"])

    def _boot(self, seat):
        generation, end = self._get("boot-" + seat, ["0", "0"])
        return int(generation), float(end)

    def generation(self, seat):
        return self._boot(seat)[0]

    def ends(self, seat):
        """When the seat's boot ends (0: it never booted; inf: never)."""
        return self._boot(seat)[1]

    def booting(self, seat):
        return time.time() < self.ends(seat)

    def begin(self, seats, seconds):
        end = time.time() + seconds
        for seat in seats:
            self._set("boot-" + seat, [str(self.generation(seat) + 1), repr(end)])
        for listener in list(self.listeners):
            listener(seats)


def take_interrupts(console):
    """A device's console takes Ctrl-C as a character (it backs out of a
    question) rather than dying of it: on a terminal, its signal is off."""
    stdin = console.stdin
    fd = stdin.fileno() if console.terminal is None and hasattr(stdin, "fileno") else None
    if fd is None or not os.isatty(fd):
        return
    import termios

    attributes = termios.tcgetattr(fd)
    attributes[3] &= ~termios.ISIG
    termios.tcsetattr(fd, termios.TCSANOW, attributes)


def _drop_typed(console):
    """What was typed while the RP booted is lost, as on a device."""
    console._typed = ""
    fd = console.stdin.fileno() if console.terminal is None and hasattr(console.stdin, "fileno") else None
    if fd is not None and os.isatty(fd):
        import termios

        termios.tcflush(fd, termios.TCIFLUSH)


def seat(console):
    return console.args.role or "single"


def peer_seat(console):
    return {"active": "standby", "standby": "active"}.get(seat(console))


def role(console):
    """The RP's role now: the one it started in, unless the RPs swapped."""
    started = console.args.role
    if started and console.state.boots.swapped:
        return "standby" if started == "active" else "active"
    return started


def _confirmed(console, question):
    console.write(question)
    if console.readline().strip().lower() in ("", "y", "yes"):
        return True
    console.write(ABORTED + "\n")
    return False


def _typed(words, command):
    """The words typed are the command (a command of several words may be
    abbreviated word by word)."""
    if command is None or len(words) != len(command):
        return False
    if len(command) == 1:
        return words[0].lower() == command[0]
    return all(keyword.startswith(word.lower()) for word, keyword in zip(words, command))


def command(console, words):
    """The dialect's reload and redundancy commands of the enable state;
    True when ``words`` was one of them (it may not return: the RP boots)."""
    cli = console.cli.reload
    if cli is None:
        return False
    if _typed(words, cli.command):
        return _reload(console, cli)
    if _typed(words, cli.peer):
        return _reload_peer(console, cli)
    if _typed(words, cli.switchover):
        return _switchover(console, cli)
    return False


def _reload(console, cli):
    state = console.state
    if state.modified and cli.save_question:
        console.write(cli.save_question)
        answer = console.readline().strip().lower()
        if answer in ("y", "yes"):
            state.save()
            console.write("Building configuration...\n[OK]\n")
        elif answer not in ("n", "no"):
            console.write(ABORTED + "\n")
            return True
    if not _confirmed(console, cli.confirm):
        return True
    seats = [seat(console)] + ([peer_seat(console)] if peer_seat(console) else [])
    state.rebooted()
    state.standby_open = False
    _boot(console, seats, _duration(console, "reload_time"))


def _reload_peer(console, cli):
    if peer_seat(console) is None or role(console) != "active":
        console.write(NO_PEER + "\n")
        return True
    if _confirmed(console, cli.peer_confirm):
        console.state.standby_open = False
        console.state.boots.begin([peer_seat(console)], _duration(console, "reload_time"))
    return True


def _switchover(console, cli):
    if peer_seat(console) is None or role(console) != "active":
        console.write(NO_PEER + "\n")
        return True
    if console.args.standby_not_ready or console.state.boots.booting(peer_seat(console)):
        console.write(NOT_READY + "\n")
        return True
    if not _confirmed(console, cli.switchover_confirm):
        return True
    console.state.boots.swap()
    console.state.standby_open = False
    _boot(console, [seat(console)], _duration(console, "switchover_time"))


def _duration(console, knob):
    if console.args.no_return:
        return NEVER
    return getattr(console.args, knob)


def _boot(console, seats, seconds):
    console.state.boots.begin(seats, seconds)
    if console.vty:
        # A session to the router itself ends with the router.
        raise EOFError()
    come_back(console)


def check(console):
    """Called for each line a console reads: boots it when its RP was
    booted from elsewhere (a reload of the whole router, of the peer)."""
    if console.state.boots.generation(seat(console)) != console.generation:
        if console.vty:
            raise EOFError()
        come_back(console)


def come_back(console):
    """Shows the boot messages over the boot's remaining time and starts
    the console over; a router that never comes back falls silent."""
    boots = console.state.boots
    end = boots.ends(seat(console))
    messages = list(getattr(console.args, "boot_message", None) or BOOT_MESSAGES)
    console.write("\n")
    if end == NEVER:
        console.write(messages[0] + "\n")
        while True:
            console.readline()
    start = time.time()
    step = max(end - start, 0) / (len(messages) + 1)
    for number, message in enumerate(messages):
        time.sleep(max(start + step * (number + 1) - time.time(), 0))
        console.write(message + "\n")
    time.sleep(max(end - time.time(), 0))
    _drop_typed(console)
    console.generation = boots.generation(seat(console))
    raise Rebooted()
