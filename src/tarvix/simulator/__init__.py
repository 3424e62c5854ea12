"""A generic router's console, simulated on standard input and output.

Run ``python -m tarvix.simulator --help`` for its options.  A spawn drives it
exactly as it drives a real console.  A dual-RP pair is two simulators that
share a directory (``--pair-dir``): one is started with ``--role active``,
the other with ``--role standby``; the standby's console stays locked until
"standby console enable" is configured under "redundancy" / "main-cpu" on the
active, and is locked again by "no standby console enable".

``--echo-delay``, ``--chunked`` and ``--reply-delay`` make a slow console, as
one reached through a terminal server: each typed character is echoed after a
delay, replies come in small pieces, each line is answered late.

The login password and the enable password are read from the environment
variables named by ``PASSWORD_ENV`` and ``ENABLE_PASSWORD_ENV``, never from
the command line, so that they do not show in process lists or in the start
command a connection logs.

``--dialect commit`` makes it speak a commit-style CLI instead: prompts
user@host> and user@host#, configuration staged after "configure" and
applied by "commit"; ``--dialect NAME`` speaks the CLI of each built-in
platform (frr, eos, junos, vrp, vyos, fastiron), one console reading each
dialect's data (``tarvix.simulator.clis``).

``tarvix.simulator.server`` serves many of these consoles over SSH from one
process (``tarvix simulate --serve``; needs asyncssh).
"""
import shlex
import sys

# The CLI dialects the simulator speaks (--dialect); each is also the os
# name of the plugin that speaks it ("commit": the example plugin of
# examples/commit-plugin).
DIALECTS = ("generic", "commit", "frr", "eos", "junos", "vrp", "vyos", "fastiron")

PASSWORD_ENV = "TARVIX_SIM_PASSWORD"
ENABLE_PASSWORD_ENV = "TARVIX_SIM_ENABLE_PASSWORD"
# The SSH simulator's routers, a JSON file (next to an inventory of them).
ROUTERS_FILE = "routers.json"


def command(hostname="router", *options):
    """The command line that starts one simulated console; ``options`` are
    further command-line arguments, e.g. ("--login", "--banner")."""
    argv = [sys.executable, "-m", "tarvix.simulator", "--hostname", hostname] + [str(o) for o in options]
    return " ".join(shlex.quote(a) for a in argv)


def pair(hostname, pair_dir, *options, **roles):
    """The two command lines of a dual-RP pair; RP ``a`` is active unless
    ``active="b"`` is given."""
    active = roles.get("active", "a")
    return [command(hostname, "--pair-dir", pair_dir, "--role", "active" if rp == active else "standby", *options)
            for rp in ("a", "b")]
