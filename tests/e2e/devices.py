"""Third-party routers for the tests and benchmarks: starts and stops the
FakeNOS hosts of devicebed.py, run by the interpreter named in
$TARVIX_DEVICES_PYTHON (one with FakeNOS installed; ``scripts/test`` makes
one).  Without it the tests that need the routers are skipped, unless
$TARVIX_REQUIRE_DEVICES is set: then they fail."""
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BED = os.path.join(HERE, "devicebed.py")
PYTHON_ENV = "TARVIX_DEVICES_PYTHON"
REQUIRE_ENV = "TARVIX_REQUIRE_DEVICES"
USERNAME = "user"
PASSWORD = "bed-Secret-73"
START_TIMEOUT = 60
# Variables the device servers must not inherit from a test run (a preloaded
# sanitizer runtime, the interpreter's own settings).
UNINHERITED = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PYTHONPATH", "PYTHONHOME")


def devices_python():
    """The interpreter that runs the device servers, or None with the reason."""
    python = os.environ.get(PYTHON_ENV)
    if not python:
        return None, "%s is not set (an interpreter with FakeNOS; scripts/test makes one)" % PYTHON_ENV
    if not os.access(python, os.X_OK):
        return None, "%s=%s is not an executable" % (PYTHON_ENV, python)
    return python, None


def ssh_command(port, username=USERNAME):
    """The system ssh client's command line to a host on 127.0.0.1."""
    return ("ssh -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -p %d %s@127.0.0.1"
            % (port, username))


def free_port():
    """A loopback port on which nothing listens (at the time of asking)."""
    import socket

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]
    finally:
        sock.close()


class DeviceBed(object):
    """A running devicebed.py process and its hosts' ports.

    ``devices`` are its KIND:NAME arguments.  The process runs in a session
    of its own; ``stop`` ends it (and it ends by itself when its standard
    input closes, should this process die first)."""

    def __init__(self, python, devices, password=PASSWORD):
        env = dict((k, v) for k, v in os.environ.items() if k not in UNINHERITED)
        env["DEVICEBED_PASSWORD"] = password
        self.log = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen([python, BED] + list(devices), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.log, env=env,
                                        universal_newlines=True, start_new_session=True)
        try:
            self.ports = json.loads(self._reply(START_TIMEOUT))
        except BaseException:
            self.stop()
            raise

    def _reply(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            ready, _, _ = select.select([self.process.stdout], [], [], max(0, deadline - time.monotonic()))
            if ready:
                line = self.process.stdout.readline()
                if line:
                    return line
            if not ready or self.process.poll() is not None:
                self.log.seek(0)
                raise RuntimeError("the device servers did not answer (exit status %s): %s"
                                   % (self.process.poll(), self.log.read()[-2000:]))

    def ssh(self, host, username=USERNAME):
        return ssh_command(self.ports[host], username)

    def reset(self, name, active="a"):
        """Forgets router ``name``'s configuration; for a pair, makes RP
        ``active`` the active one and locks the standby's console."""
        self.process.stdin.write("reset %s active=%s\n" % (name, active))
        self.process.stdin.flush()
        answer = self._reply(10).strip()
        if answer != "ok":
            raise RuntimeError(answer)

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
                self.process.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                pass
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait()
        self.process.stdout.close()
        self.log.close()


def start_bed(devices, password=PASSWORD):
    """A DeviceBed, or None with the reason when no interpreter is given."""
    python, reason = devices_python()
    if python is None:
        return None, reason
    return DeviceBed(python, devices, password), None


def serve(devices, password=PASSWORD):
    """A module fixture's body: the bed of ``devices`` for the tests, then
    stopped; without FakeNOS the tests skip, or fail where it is required."""
    import pytest

    started, reason = start_bed(devices, password)
    if started is None:
        if os.environ.get(REQUIRE_ENV):
            pytest.fail(reason)
        pytest.skip(reason)
    try:
        yield started
    finally:
        started.stop()


def tech_output(hostname, lines=20000):
    """What "show tech" prints, as a connection returns it."""
    if HERE not in sys.path:
        sys.path.insert(0, HERE)
    import devicebed

    return "\n".join(devicebed.tech_lines(lines)).replace("{base_prompt}", hostname)
