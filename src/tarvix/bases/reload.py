"""Reload and switchover of a connected device, the connection following
it through both.

``reload`` sends the dialect's reload command, answers its questions (save
a changed configuration or not; the last confirmation), then follows each
RP's link: a console line stays open and reads the boot messages; a session
that the device ends is reopened, with growing pauses, until the device
answers again.  Then the broker connects once more over the links as they
are: login, setup commands, hostname check, and on a dual-RP router the
roles, the standby's unlock and the HA mode.  ``switchover`` hands the
active role to the standby and follows the former active as it boots and
comes back as the standby.

Both hold the connection's lock throughout (a command of another thread
waits for them; while a standby alone reloads, the active serves them and a
command for the standby is refused), give up once ``timeout`` seconds have passed, and return a
``Report`` of the timeline of each RP.
"""
import re
import time

from tarvix.core.errors import ConnectionError, LinkClosedError, LinkError, ReloadError, ReloadTimeoutError
from tarvix.core.errors import device_words
from tarvix.eal import waits

# Pauses between two attempts to reopen a session: doubled from the first
# up to the last.
BACKOFF_FIRST = 0.2
BACKOFF_MAX = 5.0
# A booting console that printed nothing for this long is sent a bare line
# (a console that came back may wait for one).
BOOT_NUDGE = 1.0
# Seconds between two queries of the HA state while a standby boots.
HA_POLL = 0.5
ANY_TEXT = r"\S"


class RpTimeline(object):
    """One RP through a reload or switchover: seconds (from the command)
    to the link's loss, to the device's first answer and to ready; the boot
    messages read; and the ``state`` it is in."""

    def __init__(self, name):
        self.name = name
        self.state = "serving"
        self.link_lost = self.first_answer = self.ready = None
        self.boot_messages = ""

    def as_dict(self):
        return {"state": self.state, "link_lost": self.link_lost, "first_answer": self.first_answer,
                "ready": self.ready, "boot_messages": self.boot_messages}

    def __repr__(self):
        return "<RpTimeline %s %s lost=%s answer=%s ready=%s>" % (self.name, self.state, self.link_lost,
                                                                 self.first_answer, self.ready)


class Report(object):
    """What ``reload`` and ``switchover`` return: the ``operation``, its
    ``seconds`` in all, and ``rps``: the name of each RP it followed -> its
    RpTimeline."""

    def __init__(self, hostname, operation, names):
        self.hostname = hostname
        self.operation = operation
        self.seconds = None
        self.rps = dict((name, RpTimeline(name)) for name in names)

    @property
    def boot_messages(self):
        return "\n".join(rp.boot_messages for _, rp in sorted(self.rps.items()) if rp.boot_messages)

    def as_dict(self):
        return {"operation": self.operation, "seconds": self.seconds,
                "rps": dict((name, rp.as_dict()) for name, rp in self.rps.items())}

    def __repr__(self):
        return "<Report %s %s %ss %r>" % (self.hostname, self.operation, self.seconds, sorted(self.rps.values(),
                                                                                          key=lambda rp: rp.name))


class _Run(object):
    """One reload or switchover in progress: its clock and its report."""

    def __init__(self, con, operation, timeout, handles):
        self.con = con
        self.operation = operation
        self.timeout = timeout
        self.began = time.monotonic()
        self.deadline = self.began + timeout
        self.report = Report(_name(con), operation, [handle.name for handle in handles])
        self.last_words = ""

    def at(self):
        return round(time.monotonic() - self.began, 3)

    def timeline(self, handle):
        return self.report.rps[handle.name]

    def remaining(self):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise self.timed_out()
        return left

    def states(self):
        return ", ".join("RP %s %s" % (name, rp.state) for name, rp in sorted(self.report.rps.items()))

    def timed_out(self):
        return ReloadTimeoutError("%s: %s not done after %s s; the device said last: %s; %s"
                                  % (_name(self.con), self.operation, self.timeout,
                                     device_words(self.last_words) or "(nothing)", self.states()))


def reload(con, save=None, timeout=600, rp=None):
    """Reloads the device (``rp="standby"``: only a dual-RP router's
    standby) and brings the connection back; returns a Report."""
    dialect = con.dialect
    if rp not in (None, "standby"):
        raise ValueError("rp is None (the whole device) or \"standby\", not %r" % (rp,))
    if not dialect.reload:
        raise _refused("%s: the %s platform has no reload" % (_name(con), dialect.name))
    if rp == "standby":
        if len(con.handles) != 2 or not dialect.reload_standby:
            raise _refused("%s: there is no standby RP to reload on this device" % _name(con))
        return _guarded(con, "standby reload", timeout, _reload_standby, save)
    return _guarded(con, "reload", timeout, _reload_all, save)


def switchover(con, timeout=600):
    """Makes the standby RP the active one and follows the former active
    back as the standby; returns a Report."""
    if len(con.handles) != 2:
        raise _refused("%s: a single-RP device has no standby to switch over to" % _name(con))
    if not con.dialect.switchover:
        raise _refused("%s: the %s platform has no switchover" % (_name(con), con.dialect.name))
    return _guarded(con, "switchover", timeout, _switchover)


def _guarded(con, operation, timeout, body, *args):
    if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) or not timeout > 0:
        raise ValueError("timeout must be a number of seconds above 0, not %r" % (timeout,))
    with con._lock:
        if not con._is_connected:
            raise ConnectionError("%s: not connected" % _name(con))
        con._aborted = False
        run = _Run(con, operation, timeout, _followed(con, operation))
        try:
            body(run, *args)
        except KeyboardInterrupt:
            con._close_links()
            message = "%s: %s interrupted; every link to the device is closed (%s)" % (
                _name(con), operation, run.states())
            con.log.warning(message)
            raise KeyboardInterrupt(message)
        except LinkError as error:
            con._close_links()
            if con._aborted:
                raise ReloadError("%s: %s aborted; %s" % (_name(con), operation, run.states()))
            if time.monotonic() >= run.deadline:
                run.last_words = run.last_words or str(error).split("\n")[0]
                raise run.timed_out()
            raise
        except ReloadTimeoutError:
            con._close_links()
            raise
        run.report.seconds = run.at()
        con.log.info("%s: %s done in %s s", _name(con), operation, run.report.seconds)
        return run.report


def _followed(con, operation):
    if operation == "standby reload":
        return [con.standby]
    return list(con.handles)


def _reload_all(run, save):
    con = run.con
    first = con.active if len(con.handles) == 2 else con.handles[0]
    _send(run, first, con.dialect.reload, save)
    for handle in [first] + [h for h in con.handles if h is not first]:
        _follow(run, handle)
    _restore(run)


def _reload_standby(run, save):
    con = run.con
    standby = con.standby
    _send(run, con.active, con.dialect.reload_standby, save)
    # The active serves other threads' commands while the standby boots;
    # a command for the standby is refused until it is back.
    con._rebooting = standby
    con._lock.release()
    try:
        _follow(run, standby)
        _await_standby(run)
    finally:
        con._lock.acquire()
        con._rebooting = None
    timeline = run.timeline(standby)
    machine = standby.state_machine
    machine._current_state = None if timeline.link_lost is not None and timeline.boot_messages == "" else "generic"
    broker = con.broker
    state = machine.go_to("any", standby.spawn, context=con.context, timeout=min(run.remaining(),
                                                                                  con.connection_timeout))
    if state == "standby_locked":
        broker.unlock_standby()
    broker.init_standby()
    broker.assign_ha_mode()
    timeline.ready, timeline.state = run.at(), "ready"


def _switchover(run):
    con = run.con
    former_active, former_standby = con.active, con.standby
    _send(run, former_active, con.dialect.switchover, None, con.dialect.switchover_refusals)
    _follow(run, former_active)
    _restore(run)
    if con.active is not former_standby:
        raise ReloadError("%s: after the switchover RP %s is still active" % (_name(con), former_active.name))
    run.timeline(former_standby).first_answer = run.timeline(former_standby).ready


def _send(run, handle, command, save, refusals=()):
    """Sends the operation's command and answers its questions; returns
    once the last confirmation is sent (or the link ended at once)."""
    con, dialect = run.con, run.con.dialect
    machine, spawn = handle.state_machine, handle.spawn
    machine.go_to("enable", spawn, context=con.context, timeout=con.connection_timeout)
    machine.drain(spawn)
    spawn.sendline(command)
    confirm, answer = dialect.reload_confirm
    asks = [confirm] + ([dialect.reload_save_question] if dialect.reload_save_question else [])
    patterns = asks + [r"(?:%s)[^\r\n]*[\r\n]" % refusal for refusal in refusals] + [machine.pattern_of("enable")]
    echo = True
    while True:
        try:
            result = spawn.expect(patterns, timeout=min(run.remaining(), con.connection_timeout), echo=echo,
                                  awaiting="the device's answer to %r" % command)
        except LinkClosedError:
            return
        echo = False
        if result.index == 0:
            spawn.sendline(answer)
            return
        if result.index == 1 and dialect.reload_save_question:
            if save is None:
                _back_out(run, handle, device_words(spawn.tail(200) + result.match.group(0)).split(" | ")[-1])
            spawn.sendline(dialect.reload_save_answers[0 if save else 1])
            continue
        words = device_words(result.match_output + result.match.group(0))
        if result.index < len(patterns) - 1:
            machine.go_to("any", spawn, context=con.context, timeout=con.connection_timeout)
            raise _refused("%s: %s refused, nothing changed: %s" % (_name(con), run.operation, words))
        machine._current_state = "enable"
        raise _refused("%s: the device did not take %r: %s" % (_name(con), command, words or "(nothing)"))


def _back_out(run, handle, question):
    """The device asks whether to save and the caller did not say: backs
    out of the reload and fails with the device's question."""
    con, spawn = run.con, handle.spawn
    spawn.send(con.dialect.cancel)
    spawn.sendline()
    handle.state_machine._current_state = "generic"
    handle.state_machine.go_to("enable", spawn, context=con.context, timeout=con.connection_timeout)
    raise _refused("%s: the device asks %r before it reloads: reload(save=True) saves the configuration, "
                   "save=False drops the change; nothing was reloaded" % (_name(con), question.strip()))


def _follow(run, handle):
    """Follows one RP's link through the boot until the device answers on
    it again: a console reads the boot messages, a session that ends is
    reopened."""
    timeline, spawn = run.timeline(handle), handle.spawn
    timeline.state = "going down"
    nudge = (BOOT_NUDGE, lambda link: link.sendline())
    first = None
    try:
        first = spawn.expect(ANY_TEXT, timeout=run.remaining(), idle=nudge, awaiting="the device to go down")
        timeline.link_lost, timeline.state = run.at(), "booting"
        machine = handle.state_machine
        patterns = [machine.pattern_of(name) for name in machine.state_names]
        patterns += [statement.regex for statement in machine.connection_statements(run.con.context)]
        result = spawn.expect(patterns, timeout=run.remaining(), idle=nudge, awaiting="the device back from its boot")
    except LinkClosedError:
        if timeline.link_lost is None:
            timeline.link_lost = run.at()
        return _reopen(run, handle)
    except LinkError:
        run.last_words = (first.match.group(0) if first else "") + spawn.tail(800)
        raise run.timed_out()
    timeline.boot_messages = _text(first.match.group(0) + result.match_output)
    timeline.first_answer, timeline.state = run.at(), "answering"
    machine._current_state = "generic"
    # The lines sent into the boot were lost with it: no prompt is owed.
    spawn.bare_lines = 0


def _reopen(run, handle):
    """Reopens a session the device ended, with growing pauses between the
    attempts, until the device shows a prompt on it."""
    con, timeline = run.con, run.timeline(handle)
    timeline.state = "down"
    ended = handle.spawn
    ended.close()
    pause = BACKOFF_FIRST
    while True:
        if con._aborted:
            raise LinkClosedError("%s: aborted" % handle.state_machine.device)
        try:
            handle.spawn = con._open_link(handle, timeout=min(run.remaining(), con.connection_timeout))
            handle.state_machine._current_state = None
            handle.state_machine.go_to("any", handle.spawn, context=con.context,
                                       timeout=min(run.remaining(), con.connection_timeout))
            break
        except ConnectionError as error:
            run.last_words = str(error)
            if handle.spawn is not None:
                handle.spawn.close()
            # A link that could not be opened leaves the ended one in place
            # (closed), for whoever closes the connection.
            handle.spawn = handle.spawn or ended
        waits.sleep(min(pause, run.remaining()))
        pause = min(pause * 2, BACKOFF_MAX)
    timeline.first_answer, timeline.state = run.at(), "answering"
    handle.state_machine._current_state = "generic"


def _await_standby(run):
    """Queries the active until its standby is back in its HA mode."""
    con, dialect = run.con, run.con.dialect
    while True:
        output = con.execute(dialect.ha_query, target="active")
        if re.search(dialect.standby_ready, output):
            return
        run.last_words = output
        waits.sleep(min(HA_POLL, run.remaining()))


def _restore(run):
    """Lets the broker connect again over the links followed: login, setup
    commands, hostname check, roles, standby unlock and HA mode."""
    con = run.con
    con._is_connected = False
    con._handles_designated = False
    for handle in con.handles:
        handle.role = handle.mode = None
    con.context["prompt_recovery"] = con.prompt_recovery
    con.broker = type(con.broker)(con)
    con._connecting = True
    try:
        con.broker.connect()
    finally:
        con._connecting = False
    for handle in con.handles:
        timeline = run.report.rps.get(handle.name)
        if timeline is not None:
            timeline.ready, timeline.state = run.at(), "ready"


def _refused(message):
    """The error of an operation refused before anything went down."""
    error = ReloadError(message)
    error.begun = False
    return error


def _name(con):
    """The device's name in messages: as given, else as its prompt showed."""
    return con.hostname or con.handles[0].state_machine.seen_hostname or "the device"


def _text(output):
    return "\n".join(line.rstrip() for line in output.replace("\r", "").split("\n") if line.strip())
