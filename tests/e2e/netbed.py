"""Two network namespaces of the test's own joined by a veth pair, and the
real routing software the state tests run in them: BIRD 2 (Debian's
``bird2``) and lldpd.  The addresses live only in the namespaces, which
are deleted with everything in them; nothing reaches this machine's own
tables.  ``missing()`` says why the bed cannot run here, for a skip."""
import contextlib
import os
import shutil
import subprocess
import tempfile
import time
import uuid

# The pair's addresses, each in its own namespace.
ADDRESSES = ("10.9.0.1/30", "10.9.0.2/30")
# lldpd's own folder, which it makes for itself on its first start.
LLDPD_RUN = "/run/lldpd"


def missing(*programs):
    """Why namespaces with ``programs`` cannot be had here, or None."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    for program in ("ip",) + programs:
        if not shutil.which(program):
            return "%s is not installed (apt-get install %s)" % (program, {"bird": "bird2"}.get(program, program))
    return None


def _ip(*argv):
    subprocess.run(["ip"] + list(argv), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class Pair(object):
    """Namespaces ``names[0]`` and ``names[1]``, the veth ``links[i]`` in
    each, up with ADDRESSES[i]."""

    def __init__(self):
        tag = uuid.uuid4().hex[:8]
        self.names = ("tvx%sa" % tag, "tvx%sb" % tag)
        self.links = ("tvx%sa0" % tag, "tvx%sb0" % tag)
        self.folder = tempfile.mkdtemp(prefix="tarvix-net-")
        # lldpd makes its socket from a user of its own.
        os.chmod(self.folder, 0o755)

    def start(self):
        for name in self.names:
            _ip("netns", "add", name)
        _ip("link", "add", self.links[0], "netns", self.names[0], "type", "veth", "peer", "name", self.links[1],
            "netns", self.names[1])
        for name, link, address in zip(self.names, self.links, ADDRESSES):
            _ip("-n", name, "addr", "add", address, "dev", link)
            _ip("-n", name, "link", "set", link, "up")
            _ip("-n", name, "link", "set", "lo", "up")
        return self

    def run_in(self, index, argv, **options):
        """A process started in namespace ``index`` (a Popen)."""
        return subprocess.Popen(["ip", "netns", "exec", self.names[index]] + list(argv), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
                                **options)

    def stop(self):
        for name in self.names:
            subprocess.run(["ip", "netns", "del", name], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.folder, ignore_errors=True)


def _stopped(process):
    if process is not None and process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Bird(object):
    """BIRD 2 in the pair's second namespace: AS 65002 at ADDRESSES[1],
    peering with ADDRESSES[0] in AS 65001 (short timers), announcing
    ``prefixes``."""

    def __init__(self, pair, prefixes=("203.0.113.0/26", "203.0.113.64/26", "203.0.113.128/26")):
        self.pair, self.prefixes = pair, prefixes
        self.socket = os.path.join(pair.folder, "bird.ctl")
        self.process = None

    def start(self):
        conf = os.path.join(self.pair.folder, "bird.conf")
        routes = " ".join("route %s blackhole;" % prefix for prefix in self.prefixes)
        local, peer = ADDRESSES[1].split("/")[0], ADDRESSES[0].split("/")[0]
        with open(conf, "w") as out:
            out.write("router id %s;\nprotocol device { scan time 10; }\n"
                      "protocol static announced { ipv4; %s }\n"
                      "protocol bgp frr {\n  local %s as 65002;\n  neighbor %s as 65001;\n"
                      "  hold time 3; keepalive time 1; connect retry time 1; error wait time 1, 2;\n"
                      "  ipv4 { import all; export where source = RTS_STATIC; };\n}\n" % (local, routes, local, peer))
        self.process = self.pair.run_in(1, ["bird", "-f", "-c", conf, "-s", self.socket])
        return self

    def stop(self):
        _stopped(self.process)


class Lldpd(object):
    """lldpd on the veth of each namespace, sending each second; ``lldpctl``
    holds a program of that name for a shell of namespace ``i``'s PATH
    (``bin(i)``), which asks that one's lldpd."""

    def __init__(self, pair):
        self.pair = pair
        self.processes = []
        self.made_run = not os.path.exists(LLDPD_RUN)

    def bin(self, index):
        return os.path.join(self.pair.folder, "bin%d" % index)

    def start(self):
        for index, link in enumerate(self.pair.links):
            socket = os.path.join(self.pair.folder, "lldpd%d.ctl" % index)
            conf = os.path.join(self.pair.folder, "lldpd%d.conf" % index)
            with open(conf, "w") as out:
                out.write("configure system hostname lldp-%d\nconfigure lldp tx-interval 1\n" % index)
            os.makedirs(self.bin(index))
            wrapper = os.path.join(self.bin(index), "lldpctl")
            with open(wrapper, "w") as out:
                out.write('#!/bin/sh\nexec %s -u %s "$@"\n' % (shutil.which("lldpctl"), socket))
            os.chmod(wrapper, 0o755)
            self.processes.append(self.pair.run_in(index, ["lldpd", "-d", "-u", socket, "-I", link, "-O", conf]))
        # Asked once each lldpd listens on its socket, not before.
        for index in range(len(self.pair.links)):
            socket = os.path.join(self.pair.folder, "lldpd%d.ctl" % index)
            if not wait_for(lambda: os.path.exists(socket), 10, 0.05):
                raise RuntimeError("lldpd made no socket %s" % socket)
        return self

    def stop(self):
        for process in self.processes:
            _stopped(process)
        # Its folder goes once its last process (the one it forked) is gone.
        if self.made_run and wait_for(lambda: subprocess.run(["pgrep", "-x", "lldpd"], stdout=subprocess.DEVNULL)
                                      .returncode != 0, 5, 0.1):
            shutil.rmtree(LLDPD_RUN, ignore_errors=True)


@contextlib.contextmanager
def running(*programs):
    """A started Pair, and what ``programs`` start in it ("bird", "lldpd":
    a Bird, an Lldpd), all stopped and deleted afterwards; the test is
    skipped, saying why, where they cannot run."""
    import pytest

    reason = missing(*programs)
    if reason:
        pytest.skip(reason)
    pair = Pair()
    beds = [pair]
    try:
        pair.start()
        started = [{"bird": Bird, "lldpd": Lldpd}[program](pair) for program in programs]
        for bed in started:
            beds.append(bed)
            bed.start()
        yield [pair] + started
    finally:
        for bed in reversed(beds):
            bed.stop()


def wait_for(what, seconds, pause=0.5):
    """The first true value ``what()`` gives within ``seconds``, else its last."""
    deadline = time.monotonic() + seconds
    while True:
        value = what()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(pause)
