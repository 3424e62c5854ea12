"""The dialect of a POSIX shell (bash, sh) on a Linux host.

A shell has one state, where commands run: its prompt is ``user@host:dir$``
(``#`` for root), ``[user@host dir]$``, ``host:dir#`` or, from a plain sh,
just ``$``/``#``.  There is no configuration mode and no save.  What a
command did is told by its exit status, asked with ``echo $?``.  bash
brackets every prompt with terminal escapes (its bracketed paste, colours
of a prompt or a listing): they never reach an output.
"""
from tarvix.eal.dialect import Dialect
from tarvix.eal.filecommands import SHELL

# The ntc-templates platform whose TextFSM templates parse a Linux host's
# commands (ip, dmidecode...).
TEMPLATE_PLATFORM = "linux"

# A terminal escape: CSI ... final byte, OSC ... BEL/ST, or a lone two-byte one.
ESCAPES = r"\x1b\[[0-9;?<=>]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b[()][A-Za-z0-9]|\x1b[=>78]"

DIALECT = Dialect(
    "linux",
    # Escapes may come first (bash sets its bracketed paste before the
    # prompt); the user, the hostname and the directory may be missing.
    prompt=r"(?:%s)*(?:\[?[^\s@\[\]]+@)?(?:{host}(?:[: ][^\r\n$#]*?)?\]?)?(?:%s)*{mode}" % (ESCAPES, ESCAPES),
    states=[("enable", r"[$#] ?")],
    # Nothing pages (the pager of git, systemctl and man is cat), escape
    # sequences and bracketed paste are off where the shell knows them.
    setup_exec=["export PAGER=cat SYSTEMD_PAGER=cat GIT_PAGER=cat MANPAGER=cat TERM=dumb",
                "bind 'set enable-bracketed-paste off' 2>/dev/null; true"],
    error_patterns=[r"^(?:-?[\w./-]+: )?(?:line \d+: )?[^\s:]+: (?:command )?not found$"],
    exit_status="echo $?",
    output_filter=ESCAPES,
    learn_pattern=r"[^\s@:\[\]#$>()]+",
    long_output="seq 1 500",
    rejected_exec="tarvix-no-such-command",
    template_platform=TEMPLATE_PLATFORM,
    recognise=("uname -s", r"(?m)^Linux\b|command not found|: not found"),
    # coreutils' sums, df, rm, mv and cp.
    files=SHELL,
)
