"""A small console for the link tests, run on a pseudo-terminal.

It echoes each line itself (the terminal's own echo is off), as a device at
the far end of an ssh or telnet link does, prints "<host>>" or "<host>#",
and knows a few commands:

- "enable", "disable", "configure terminal" (refused with --lock-config),
  "end";
- "lines N": N lines of output of about 70 characters;
- "split": a line, then the prompt in two writes 0.2 s apart;
- "lookalike": a line that looks like the prompt, 0.2 s, then the rest;
- "slow": one line after a second.

With --wrap N the echo of a long line is broken every N characters, as a
terminal that wraps lines does; --no-echo echoes nothing.  With --hold-bare
the answer to a bare line is held back until the next line
arrives, and is then printed before that line's echo: a prompt still on its
way when the next line is sent, as on a slow console.  With --split-bare S
the prompt that answers a bare line comes in two writes S seconds apart.
"""
import argparse
import os
import sys
import termios
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--hostname", default="r1")
    parser.add_argument("--hold-bare", action="store_true")
    parser.add_argument("--lock-config", action="store_true")
    parser.add_argument("--split-bare", type=float, default=0)
    parser.add_argument("--wrap", type=int, default=0, help="break the echo of long lines every N characters")
    parser.add_argument("--no-echo", action="store_true")
    args = parser.parse_args()
    fd = sys.stdin.fileno()
    if os.isatty(fd):
        mode = termios.tcgetattr(fd)
        mode[1] &= ~termios.OPOST
        mode[3] &= ~termios.ECHO
        termios.tcsetattr(fd, termios.TCSANOW, mode)
    out = sys.stdout

    def write(text):
        out.write(text)
        out.flush()

    state = ">"
    held = 0
    write("\r\n%s%s" % (args.hostname, state))
    for line in sys.stdin:
        line = line.rstrip("\r\n")
        if not line and args.hold_bare and not held:
            held += 1
            continue
        if held:
            write("\r\n%s%s" % (args.hostname, state) * held)
            held = 0
            time.sleep(0.1)
        if not line and args.split_bare:
            write("\r\n%s" % args.hostname)
            time.sleep(args.split_bare)
            write(state)
            continue
        if args.wrap:
            write(" \x08\r\n".join(line[n:n + args.wrap] for n in range(0, len(line), args.wrap)) + "\r\n")
        elif not args.no_echo:
            write(line + "\r\n")
        words = line.split()
        if line == "enable":
            state = "#"
        elif line == "disable":
            state = ">"
        elif line == "configure terminal":
            if args.lock_config:
                write("% Configuration mode is locked by another session\r\n")
            else:
                state = "(config)#"
        elif line == "end":
            state = "#"
        elif words[:1] == ["lines"]:
            row = "%%07d %s\r\n" % ("x" * 60)
            count = int(words[1])
            for start in range(0, count, 5000):
                write("".join(row % n for n in range(start, min(start + 5000, count))))
        elif line == "split":
            write("before\r\n%s" % args.hostname)
            time.sleep(0.2)
            write(state)
            continue
        elif line == "slow":
            time.sleep(1)
            write("done\r\n")
        elif line == "lookalike":
            write("first\r\n%s%s\r\n" % (args.hostname, state))
            time.sleep(0.2)
            write("last\r\n")
        write("%s%s" % (args.hostname, state))


if __name__ == "__main__":
    main()
