"""The options of an in-process SSH link (see tarvix.eal.sshlink), checked
before anything connects: an unknown option or a value it cannot take is a
ValueError of one line that names the option, and the host when given."""
import math
import numbers
import os

POLICIES = {True: "accept-new", "accept-new": "accept-new", "yes": "yes", "strict": "yes",
            False: "off", "off": "off", "no": "off"}
OPTIONS = frozenset(["host_key_checking", "known_hosts", "key_file", "passphrase", "agent", "keepalive",
                     "connect_timeout"])
# The most seconds a timeout or a keepalive interval takes (libssh2 counts
# milliseconds in a C long).
MOST_SECONDS = 2 ** 31 // 1000


def _shown(value):
    if isinstance(value, (str, bytes, numbers.Number)) and not isinstance(value, bool):
        return repr(value)
    return "true" if value is True else "false" if value is False else "a %s" % type(value).__name__


def _path(value):
    if isinstance(value, str) and value.strip():
        return value, None
    if hasattr(value, "__fspath__") and isinstance(os.fspath(value), str):
        return os.fspath(value), None
    return value, "a file's path belongs there, not %s" % _shown(value)


def _seconds(value, least):
    if isinstance(value, str):
        # A number written as text ("15", as an environment or a CLI gives it) is taken as before.
        try:
            value = float(value)
        except ValueError:
            pass
    if isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(value) \
            and (value > 0 if least == "above 0" else value >= 0) and value <= MOST_SECONDS:
        return value, None
    return value, "a number of seconds %s (at most %d) belongs there, not %s" % (least, MOST_SECONDS, _shown(value))


def _policy(value):
    policy = value.lower() if isinstance(value, str) else value
    if isinstance(policy, (bool, str)) and policy in POLICIES:
        return POLICIES[policy], None
    return value, "accept-new (true), yes or off (false) belongs there, not %s" % _shown(value)


def _text(value):
    if isinstance(value, (str, bytes)):
        return value, None
    return value, "text belongs there (in quotes), not %s" % type(value).__name__


def _flag(value):
    if isinstance(value, bool):
        return value, None
    return value, "true or false belongs there, not %s" % _shown(value)


_CHECKS = {"host_key_checking": _policy, "known_hosts": _path, "key_file": _path, "passphrase": _text,
           "agent": _flag, "keepalive": lambda value: _seconds(value, "from 0"),
           "connect_timeout": lambda value: _seconds(value, "above 0")}


def check_options(options, host=None):
    """The SSH options with the host key policy spelled out (accept-new by
    default); ValueError for something else than a mapping, an unknown
    option or a value that an option cannot take.  None stands for an
    option's default.  ``host`` leads the error's message."""
    lead = "%s: " % host if host else ""
    if options is None:
        options = {}
    if not hasattr(options, "items"):
        raise ValueError("%sthe ssh options are a mapping of option to value, not %s" % (lead, _shown(options)))
    options = dict(options)
    unknown = sorted(set(options) - OPTIONS, key=str)
    if unknown:
        raise ValueError("%sunknown ssh option(s) %s; known: %s"
                         % (lead, ", ".join(map(str, unknown)), ", ".join(sorted(OPTIONS))))
    if options.get("host_key_checking") is None:
        options["host_key_checking"] = True
    for name, value in sorted(options.items()):
        # (An option with no check of its own is taken as it is.)
        if value is None or name not in _CHECKS:
            continue
        options[name], problem = _CHECKS[name](value)
        if problem:
            raise ValueError("%sssh option %s: %s" % (lead, name, problem))
    return options
