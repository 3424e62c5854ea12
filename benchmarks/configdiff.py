"""Times the configuration diff and the replace's remediation of two
configurations of about 20,000 lines each (interfaces, a BGP process with
its neighbours, static routes), which differ in about 1 % of their lines.

    python benchmarks/configdiff.py [--lines N] [--repeat R] [--json FILE]

Goal: the diff under 1 s.  The remediation (hier-config, the config extra)
is timed where it is installed."""
from __future__ import print_function

import argparse
import json
import time

from tarvix.bases.config import remediation, tree
from tarvix.core.errors import RemediationUnavailableError
from tarvix.plugins.generic.dialect import DIALECT


def configuration(lines, changed=False):
    """A configuration of about ``lines`` lines; ``changed`` alters every
    hundredth block."""
    out = ["hostname bench"]
    interfaces = lines // 8
    for n in range(interfaces):
        out += ["interface Ethernet%d/%d" % (n // 48, n % 48),
                " description %s %d" % ("moved" if changed and n % 100 == 7 else "link", n),
                " ip address 10.%d.%d.1 255.255.255.0" % (n // 256 % 256, n % 256), " mtu 9000"]
    out.append("router bgp 65001")
    for n in range(interfaces // 2):
        if changed and n % 100 == 3:
            continue
        out.append(" neighbor 172.%d.%d.%d remote-as %d" % (16 + n // 65536, n // 256 % 256, n % 256, 65100 + n))
    for n in range(lines - len(out)):
        out.append("ip route 192.%d.%d.0 255.255.255.0 Null0" % (n // 256 % 256, n % 256))
    if changed:
        out.append("ip route 198.18.0.0 255.254.0.0 Null0")
    return "\n".join(out) + "\n"


def best(function, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json")
    args = parser.parse_args(argv)
    running, intended = configuration(args.lines), configuration(args.lines, changed=True)
    noise = DIALECT.config_noise
    seconds, diff = best(lambda: tree.diff(running, intended, noise), args.repeat)
    report = {"lines": [running.count("\n"), intended.count("\n")], "diff_seconds": round(seconds, 4),
              "diff_lines": diff.count("\n") - 2}
    try:
        seconds, lines = best(lambda: remediation.remediation(running, intended, DIALECT.remediation_platform,
                                                              noise), args.repeat)
        report.update(remediation_seconds=round(seconds, 4), remediation_lines=len(lines))
    except RemediationUnavailableError as error:
        report["remediation"] = str(error)
    for key, value in sorted(report.items()):
        print("%-20s %s" % (key, value))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=2)
    return 0 if report["diff_seconds"] < 1 else 1


if __name__ == "__main__":
    raise SystemExit(main())
