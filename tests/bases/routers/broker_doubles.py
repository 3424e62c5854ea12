"""Recording test doubles for the link brokers.

Every double writes what is done to it into one shared journal: each call
with its positional arguments and its keyword names in the order they were
passed, and the writes of the attributes the brokers are meant to change.
A test then compares the journal with the exact sequence it expects.

A failure is injected by naming a journal key ("a.spawn.sendline",
"con.execute", ...) in ``journal.failures``; the double records the call and
then raises the given exception.
"""
class Call(object):
    """One journal entry."""

    def __init__(self, who, name, args=(), kwargs=None, seen=None):
        self.who = who
        self.name = name
        self.args = tuple(args)
        self.kwargs = list((kwargs or {}).items())
        self.seen = seen

    @property
    def key(self):
        return "%s.%s" % (self.who, self.name)

    @property
    def kwnames(self):
        return tuple(k for k, _ in self.kwargs)

    def kw(self, name):
        return dict(self.kwargs)[name]

    def short(self):
        """(key, args, keyword names): what most sequence checks compare."""
        return (self.key, self.args, self.kwnames)

    def __repr__(self):
        return "Call(%s, %r, %r)" % (self.key, self.args, self.kwargs)


class Journal(list):
    def __init__(self):
        super(Journal, self).__init__()
        self.failures = {}

    def record(self, who, name, args=(), kwargs=None, seen=None):
        entry = Call(who, name, args, kwargs, seen)
        self.append(entry)
        error = self.failures.get(entry.key)
        if error is not None:
            raise error
        return entry

    def keys(self):
        return [c.key for c in self]

    def shorts(self):
        return [c.short() for c in self]

    def of(self, key):
        return [c for c in self if c.key == key]


class Recorded(object):
    """Records writes of the attribute names in ``_watched`` as 'set:<name>'."""

    _watched = ()

    def __init__(self, journal, who):
        object.__setattr__(self, "_journal", journal)
        object.__setattr__(self, "_who", who)

    def __setattr__(self, name, value):
        if name in self._watched and self.__dict__.get("_ready"):
            self._journal.record(self._who, "set:" + name, (value,))
        object.__setattr__(self, name, value)

    def _ready_now(self):
        object.__setattr__(self, "_ready", True)


class FakeExpectResult(object):
    def __init__(self, output):
        self.match_output = output

    def __str__(self):
        return "<match %r>" % (self.match_output,)


class FakeSpawn(Recorded):
    def __init__(self, journal, who, answer=""):
        super(FakeSpawn, self).__init__(journal, who)
        self.answer = answer

    def close(self, *args, **kwargs):
        self._journal.record(self._who, "close", args, kwargs)

    def sendline(self, *args, **kwargs):
        self._journal.record(self._who, "sendline", args, kwargs)

    def expect(self, *args, **kwargs):
        self._journal.record(self._who, "expect", args, kwargs)
        return FakeExpectResult(self.answer)

    def __str__(self):
        return "spawn of %s" % (self._who,)


class FakeState(object):
    def __init__(self, name):
        self.pattern = "pattern-of-%s" % (name,)


class FakeStateMachine(Recorded):
    _watched = ("learn_hostname", "_current_state")

    def __init__(self, journal, who, current_state="enable"):
        super(FakeStateMachine, self).__init__(journal, who)
        self.learn_hostname = False
        self.current_state = current_state
        self._current_state = current_state
        self.probe = None  # called at each go_to; its result is kept as `seen`
        self.result = "%s reached" % (who,)
        self._ready_now()

    def go_to(self, *args, **kwargs):
        seen = self.probe() if self.probe else None
        self._journal.record(self._who, "go_to", args, kwargs, seen)
        return self.result

    def get_state(self, *args, **kwargs):
        self._journal.record(self._who, "get_state", args, kwargs)
        return FakeState(args[0])


class FakeHandle(Recorded):
    _watched = ("role", "mode")

    def __init__(self, journal, name, current_state="enable", answer=""):
        super(FakeHandle, self).__init__(journal, name)
        self.spawn = FakeSpawn(journal, name + ".spawn", answer)
        self.state_machine = FakeStateMachine(journal, name + ".sm", current_state)
        self.role = None
        self.mode = None
        self._ready_now()


class FakeLog(object):
    def __init__(self, journal):
        self._journal = journal

    def info(self, *args, **kwargs):
        self._journal.record("log", "info", args, kwargs)

    def warning(self, *args, **kwargs):
        self._journal.record("log", "warning", args, kwargs)

    def debug(self, *args, **kwargs):
        self._journal.record("log", "debug", args, kwargs)

    def lines(self):
        return [(c.name, c.args[0]) for c in self._journal if c.who == "log"]


class FakeContext(dict):
    """A dict whose get/update/pop are journalled."""

    def __init__(self, journal, *args, **kwargs):
        super(FakeContext, self).__init__(*args, **kwargs)
        self._journal = journal

    def get(self, *args, **kwargs):
        self._journal.record("context", "get", args, kwargs)
        return super(FakeContext, self).get(*args, **kwargs)

    def update(self, *args, **kwargs):
        self._journal.record("context", "update", args, kwargs)
        return super(FakeContext, self).update(*args, **kwargs)

    def pop(self, *args, **kwargs):
        self._journal.record("context", "pop", args, kwargs)
        return super(FakeContext, self).pop(*args, **kwargs)


class FakeSettings(object):
    """Settings; attribute reads of the HA_* names are journalled."""

    def __init__(self, journal, **values):
        object.__setattr__(self, "_journal", journal)
        object.__setattr__(self, "_values", dict(values))
        object.__setattr__(self, "_raising", {})

    def raise_on(self, name, error):
        self._raising[name] = error

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        if name.startswith("HA_"):
            self._journal.record("settings", "read", (name,))
        if name in self._raising:
            raise self._raising[name]
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name)


class FakeConnection(Recorded):
    _watched = ("_is_connected", "_handles_designated", "learned_hostname")

    def __init__(self, journal, dual=False, context=None, **settings):
        super(FakeConnection, self).__init__(journal, "con")
        self.context = FakeContext(journal, context or {})
        self.log = FakeLog(journal)
        self.hostname = "R1"
        self.mit = False
        self.learn_hostname = False
        self.learned_hostname = None
        self.connection_timeout = 60
        settings.setdefault("EXEC_TIMEOUT", 15)
        self.settings = FakeSettings(journal, **settings)
        self.init_exec_commands = None
        self.init_config_commands = None
        self.outputs = {}
        self.found_hostnames = {}  # spawn -> name; missing -> "found-R1"
        self._is_connected = False
        self._handles_designated = False
        if dual:
            self.a = FakeHandle(journal, "a")
            self.b = FakeHandle(journal, "b")
        else:
            self.spawn = FakeSpawn(journal, "spawn")
            self.state_machine = FakeStateMachine(journal, "sm")
        self._ready_now()

    def _handle_with_role(self, role):
        for handle in (self.a, self.b):
            if handle.role == role:
                return handle
        raise AttributeError("no handle has the role %s" % (role,))

    @property
    def active(self):
        return self._handle_with_role("active")

    @property
    def standby(self):
        return self._handle_with_role("standby")

    def execute(self, *args, **kwargs):
        self._journal.record("con", "execute", args, kwargs)
        return self.outputs.get(args[0], "")

    def configure(self, *args, **kwargs):
        self._journal.record("con", "configure", args, kwargs)
        return "configured"

    def _get_learned_hostname(self, *args, **kwargs):
        self._journal.record("con", "_get_learned_hostname", args, kwargs)
        spawn = args[0] if args else kwargs["spawn"]
        return self.found_hostnames.get(spawn, "found-R1")
