"""The run report at scale: ``tarvix run --report`` over a fleet of SSH
simulator routers (one server process, as benchmarks/fleet.py starts
them), a command each, some of them hanging on it (they fail at
--timeout) and some slow to answer; then the page opened in headless
chromium (tests/fleet/chromiumbed.py: the network blocked) and measured.

    python benchmarks/report.py --devices 1000 [--session-log] [--loads 5] [--workers 50]
    python benchmarks/report.py --devices 1000 --command "show tech-support" --tech-lines 500

Told: the run's wall time, the time ``tarvix.fleet.report.write`` takes
for its document, the file's size; for each load of the page: the load
event, the first contentful paint and the end of the page's own script
(its table, timeline and summary drawn), in ms from the navigation's start,
"usable" being the latest of the three; then filters and a sort, each the
time its handler took and the time to the next frame drawn after it (two
the next animation frame, and a task queued from there), over --loads rounds.  Needs ``tarvix[nornir,serve]``,
Selenium, and Debian's chromium and chromium-driver.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "fleet"))

import chromiumbed  # noqa: E402
import fleet  # noqa: E402

# The page's times of one load, in ms from the navigation's start (the
# paint's is reported a little after it happened: waited for, 5 s at most).
LOAD_TIMES = """
var done = arguments[arguments.length - 1], asked = performance.now();
function read() {
  var paint = performance.getEntriesByType("paint").filter(function (entry) {
    return entry.name === "first-contentful-paint"; })[0];
  if (!paint && performance.now() - asked < 5000) { setTimeout(read, 20); return; }
  done({load: performance.getEntriesByType("navigation")[0].loadEventEnd, paint: paint ? paint.startTime : null,
        drawn: parseFloat(document.documentElement.getAttribute("data-ready")),
        rows: document.querySelectorAll("#device-rows tr").length,
        bars: document.querySelectorAll("#tl-rows .bar").length});
}
read();
"""

# One change of the filters (or a sort), timed: its handler, and until the
# frame that shows it was drawn.
INTERACTION = """
var done = arguments[arguments.length - 1], what = arguments[0], value = arguments[1];
var began = performance.now();
if (what === "sort") {
  document.querySelector("#device-table th[data-key='" + value + "'] button").click();
} else {
  var control = document.getElementById("filter-" + what);
  control.value = value;
  control.dispatchEvent(new Event(what === "status" || what === "platform" ? "change" : "input", {bubbles: true}));
}
var handled = performance.now() - began;
// The next frame's callbacks run before it is drawn, a task they queue after.
requestAnimationFrame(function () { setTimeout(function () {
  done({handled: handled, drawn: performance.now() - began,
        shown: document.querySelectorAll("#device-rows tr:not([hidden])").length});
}, 0); });
"""

# (The platform filter takes the inventory's platform, and then all again.)
INTERACTIONS = (("status", "failed"), ("status", ""), ("name", "r05"), ("name", ""), ("error", "no prompt"),
                ("error", ""), ("platform", None), ("platform", ""), ("sort", "seconds"), ("sort", "name"))


def knobs(args):
    """The console options of the routers: those that hang or are slow, and
    every one's lines of show tech-support."""
    options = {}
    for number in range(1, args.devices + 1):
        name = "r%04d" % number
        options[name] = ["--tech-lines", str(args.tech_lines)]
        if args.failing and number % args.failing == 0:
            options[name] += ["--hang", args.command]
        elif args.slow and number % args.slow == 0:
            options[name] += ["--reply-delay", str(args.delay)]
    return options


def run(args, folder):
    """Runs the fleet with --report; (the run's wall seconds, its exit
    status, the page's path, the run's document)."""
    page = os.path.join(folder, "run.html")
    command = [sys.executable, "-m", "tarvix", "run", "--inventory", folder, "--execute", args.command,
               "--workers", str(args.workers), "--timeout", str(args.timeout), "--output",
               os.path.join(folder, "out"), "--report", page, "--json"]
    if args.session_log:
        command += ["--session-log", os.path.join(folder, "logs")]
    began = time.monotonic()
    process = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True)
    return time.monotonic() - began, process.returncode, page, json.loads(process.stdout)


def write_time(document, folder):
    """Seconds tarvix.fleet.report.write takes for the run's document."""
    from tarvix.fleet import report

    began = time.monotonic()
    report.write(document, os.path.join(folder, "again.html"))
    return time.monotonic() - began


def measure_page(page, loads, platform):
    """The page's load times, and its interactions' times, per round."""
    url = "file://" + page
    rounds, actions = [], {}
    with chromiumbed.chromium(1400, 1000) as driver:
        for _ in range(loads):
            began = time.monotonic()
            driver.get(url)
            times = driver.execute_async_script(LOAD_TIMES)
            times["get"] = (time.monotonic() - began) * 1000
            times["usable"] = max(value for key, value in times.items()
                                  if key in ("load", "paint", "drawn") and value is not None)
            rounds.append(times)
            for what, value in INTERACTIONS:
                value = platform if value is None else value
                actions.setdefault((what, value), []).append(driver.execute_async_script(INTERACTION, what, value))
        requested = set(chromiumbed.requests(driver))
    return rounds, actions, requested


def median(values):
    return fleet.median([value for value in values if value is not None])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--devices", type=int, default=1000)
    parser.add_argument("--workers", type=int, default=50)
    parser.add_argument("--command", default="show version", help="the command each router runs")
    parser.add_argument("--tech-lines", type=int, default=100, help="the lines of the routers' show tech-support")
    parser.add_argument("--timeout", type=float, default=5, help="the run's --timeout (the hung routers fail at it)")
    parser.add_argument("--failing", type=int, default=100, help="every Nth router hangs on its command")
    parser.add_argument("--slow", type=int, default=50, help="every Nth router thinks before each answer")
    parser.add_argument("--delay", type=float, default=0.1, help="how long the slow routers think, seconds")
    parser.add_argument("--session-log", action="store_true", help="the run keeps session logs (in the page too)")
    parser.add_argument("--loads", type=int, default=5, help="rounds of opening the page")
    args = parser.parse_args(argv)
    why = chromiumbed.missing()
    if why:
        sys.exit(why)
    folder = tempfile.mkdtemp(prefix="tarvix-report-")
    beds, ports, username, password = fleet.start_simulator(args.devices, sys.executable, folder, knobs(args))
    try:
        fleet.write_inventory(folder, ports, username, password, {"tarvix"})
        wall, status, page, document = run(args, folder)
    finally:
        fleet.stop_devices(beds)
    writing = write_time(document, folder)
    rounds, actions, requested = measure_page(page, args.loads, document["hosts"][0].get("platform") or "")
    print("%d devices (%d ok, %d failed), %r each, --workers %d%s: run %.1f s wall (exit %d), load %.2f"
          % (args.devices, document["ok"], document["failed"], args.command, args.workers,
             ", session logs" if args.session_log else "", wall, status, os.getloadavg()[0]))
    print("report file: %d bytes (%.2f MB); written in %.2f s from the run's document"
          % (os.path.getsize(page), os.path.getsize(page) / 1e6, writing))
    print("requests the page made: %s" % ", ".join(sorted(requested)))
    print("\n| load (ms from navigation start) | median | max |\n|---|---|---|")
    for key in ("load", "paint", "drawn", "usable", "get"):
        print("| %s | %.0f | %.0f |" % (key, median([r[key] for r in rounds]),
                                        max(r[key] or 0 for r in rounds)))
    print("\nrows %d, bars %d" % (rounds[0]["rows"], rounds[0]["bars"]))
    print("\n| interaction | rows shown | handler ms, median | drawn ms, median | drawn ms, max |\n|---|---|---|---|---|")
    for (what, value), times in actions.items():
        print("| %s %r | %d | %.1f | %.1f | %.1f |" % (what, value, times[0]["shown"],
                                                       median([t["handled"] for t in times]),
                                                       median([t["drawn"] for t in times]),
                                                       max(t["drawn"] for t in times)))
    print("\nthe page: %s" % page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
