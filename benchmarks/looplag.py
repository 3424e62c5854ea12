"""What held up an event loop: a probe of its lag that, for every slow
tick, keeps what ran on the loop's thread meanwhile (the thread's stack
sampled from another thread every millisecond or so, the interpreter's
garbage collections timed through gc.callbacks).

fleet.py's tarvix-aio column uses it with ``--lag-trace FILE``:

    python benchmarks/fleet.py --bed sshsim --devices 1000 --bed-processes 4 --rounds 1 \\
        --tools tarvix-aio --aio-limit 1000 --lag-trace /tmp/lag.txt

The sampler needs the interpreter's lock to look, so it sees the loop's
thread between two of its bytecodes (a C call that keeps the lock, a
libssh2 step, shows as the Python line that called it), and a collection
not at all: gc.callbacks tells those.  Sampling costs the loop a little,
so a traced run's figures are not the benchmark's.
"""
import asyncio
import collections
import gc
import os
import sys
import threading
import time

# A tick slower than this (seconds past its sleep) is kept with its samples.
SLOW = 0.02
SAMPLE_EVERY = 0.001
# Frames of a stack kept, from the innermost.
DEPTH = 40
# Samples kept (seconds of them, at SAMPLE_EVERY).
KEPT = 20000


def _where(code, line):
    name = code.co_filename
    for marker in ("/tarvix/", "/asyncio/", "/site-packages/", "/lib/python"):
        at = name.rfind(marker)
        if at >= 0:
            name = name[at + 1:]
            break
    return "%s:%d %s" % (name, line, code.co_name)


class LagTrace(object):
    """Runs while the loop of ``probe()`` runs; ``report()`` is the text."""

    def __init__(self, slow=SLOW):
        self.slow = slow
        self.samples = collections.deque(maxlen=KEPT)
        self.collections = []
        self.ticks = []
        self.lag = self.cpu_lag = 0.0
        self._gc_began = None
        self._stop = threading.Event()
        self._thread = None
        self._loop_thread = None
        self._in_step = [False]
        # TARVIX_LAG_CENSUS=1: the objects of the first full collection
        # counted by type (its tick then takes that long more).
        self.census = False if os.environ.get("TARVIX_LAG_CENSUS") else None

    def _on_gc(self, phase, info):
        if phase == "start" and info["generation"] == 2 and self.census is False:
            # What a full collection goes over, once (before its clock).
            objects = gc.get_objects()
            self.census = (len(objects), collections.Counter(type(o).__qualname__ for o in objects).most_common(30))
            del objects
        if phase == "start":
            self._gc_began = (time.monotonic(), time.thread_time())
        elif self._gc_began is not None:
            began, cpu = self._gc_began
            self._gc_began = None
            self.collections.append((began, time.monotonic() - began, info["generation"], info["collected"],
                                     time.thread_time() - cpu, self._in_step[0]))

    def _sample(self):
        frames = sys._current_frames
        target = self._loop_thread
        while not self._stop.wait(SAMPLE_EVERY):
            frame = frames().get(target)
            stack = []
            while frame is not None and len(stack) < DEPTH:
                stack.append((frame.f_code, frame.f_lineno))
                frame = frame.f_back
            frame = None
            self.samples.append((time.monotonic(), tuple(stack)))

    async def probe(self, done, seen=None):
        """Sleeps 10 ms over and over until ``done`` (a list) holds
        something; keeps every tick slower than ``slow``."""
        self._loop_thread = threading.get_ident()
        gc.callbacks.append(self._on_gc)
        self._thread = threading.Thread(target=self._sample, name="lag-trace", daemon=True)
        self._thread.start()
        steps = self._count_steps()
        try:
            while not done:
                began, cpu = time.monotonic(), time.thread_time()
                await asyncio.sleep(0.01)
                lag, cpu_lag = time.monotonic() - began - 0.01, time.thread_time() - cpu
                self.lag, self.cpu_lag = max(self.lag, lag), max(self.cpu_lag, cpu_lag)
                if seen is not None:
                    seen["lag"], seen["cpu_lag"] = max(seen["lag"], lag), max(seen["cpu_lag"], cpu_lag)
                    seen["threads"] = max(seen["threads"], threading.active_count())
                if lag > self.slow:
                    self.ticks.append((began, time.monotonic(), lag, cpu_lag, self._take(began),
                                       self._steps_since(began)))
        finally:
            steps()
            self._stop.set()
            gc.callbacks.remove(self._on_gc)

    def _count_steps(self):
        """Times every step of the calls (tarvix.aio.bridge.Turns.step) by
        the loop thread's CPU; returns what puts it back."""
        from tarvix.aio import bridge

        original = bridge.Turns.step
        kept = self.steps = collections.deque(maxlen=KEPT * 10)

        in_step = self._in_step

        def step(turns, switch, *value):
            began, cpu = time.monotonic(), time.thread_time()
            in_step[0] = True
            try:
                return original(turns, switch, *value)
            finally:
                in_step[0] = False
                kept.append((began, time.thread_time() - cpu))

        bridge.Turns.step = step
        return lambda: setattr(bridge.Turns, "step", original)

    def _steps_since(self, since):
        taken = [cpu for at, cpu in list(self.steps) if at >= since]
        return len(taken), sum(taken), max(taken or [0])

    def _take(self, since):
        # Copied in one C call: the sampler appends meanwhile.
        taken = [stack for at, stack in list(self.samples) if at >= since]
        return [tuple(_where(code, line) for code, line in stack) for stack in taken]

    def report(self, worst=12):
        lines = ["largest lag %.1f ms (loop thread's CPU %.1f ms), %d ticks over %.0f ms"
                 % (self.lag * 1e3, self.cpu_lag * 1e3, len(self.ticks), self.slow * 1e3)]
        by_gen = collections.defaultdict(list)
        for began, took, generation, collected, cpu, in_step in self.collections:
            by_gen[generation].append(took)
        for generation in sorted(by_gen):
            times = sorted(by_gen[generation])
            lines.append("gc generation %d: %d collections, longest %.1f ms, total %.1f ms"
                         % (generation, len(times), times[-1] * 1e3, sum(times) * 1e3))
        if self.census:
            lines.append("the first full collection went over %d objects: %s" % (
                self.census[0], ", ".join("%s %d" % item for item in self.census[1])))
        for began, ended, lag, cpu_lag, stacks, steps in sorted(self.ticks, key=lambda t: -t[3])[:worst]:
            lines.append("")
            lines.append("tick at %.3f: lag %.1f ms, loop thread's CPU %.1f ms, %d samples"
                         % (began, lag * 1e3, cpu_lag * 1e3, len(stacks)))
            gc_cpu = gc_out = 0.0
            for at, took, generation, collected, cpu, in_step in self.collections:
                if began <= at <= ended:
                    gc_cpu += cpu
                    gc_out += 0 if in_step else cpu
                    lines.append("  gc generation %d: %.1f ms (CPU %.1f), %d collected%s"
                                 % (generation, took * 1e3, cpu * 1e3, collected, " (in a step)" if in_step else ""))
            lines.append("  CPU: %d steps %.1f ms (longest %.1f; collections in them %.1f), collections "
                         "outside %.1f, the rest (the loop's own) %.1f ms"
                         % (steps[0], steps[1] * 1e3, steps[2] * 1e3, (gc_cpu - gc_out) * 1e3, gc_out * 1e3,
                            (cpu_lag - steps[1] - gc_out) * 1e3))
            lines += self._profile(stacks)
        return "\n".join(lines) + "\n"

    @staticmethod
    def _profile(stacks, top=10):
        """The stacks' most frequent innermost tarvix frames, each with
        the innermost frame of all and one caller chain; "call" a sample
        in a call's greenlet (no loop below it), "loop" one in the loop's
        own code (the wakes, the tasks, the selector)."""
        counts = collections.Counter()
        chains = {}
        kinds = collections.Counter()
        for stack in stacks:
            ours = [where for where in stack if where.startswith("tarvix/")]
            kind = "loop" if any(where.startswith("asyncio/") for where in stack) else "call"
            kinds[kind] += 1
            key = (kind, ours[0] if ours else "-", stack[0] if stack else "-")
            counts[key] += 1
            chains.setdefault(key, " < ".join(ours[1:5]))
        lines = ["  samples: %s" % ", ".join("%s %d" % item for item in sorted(kinds.items()))]
        for (kind, ours, inner), count in counts.most_common(top):
            lines.append("  %3d %s %s   [in %s]" % (count, kind, ours, inner))
            if chains[(kind, ours, inner)]:
                lines.append("         < %s" % chains[(kind, ours, inner)])
        return lines


def write(trace, path):
    with open(path, "w") as out:
        out.write("pid %d\n" % os.getpid())
        out.write(trace.report())
