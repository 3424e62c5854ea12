"""One Nornir object worked from two threads at once: each host gets one
connection, its commands take turns, and closing leaves nothing running."""
import os
import threading

import pytest

pytest.importorskip("nornir")

from nornir import InitNornir  # noqa: E402

from tarvix import simulator  # noqa: E402
from tarvix.nornir import tarvix_execute  # noqa: E402

HOSTS = ["sim-a", "sim-b"]
# A console behind a terminal server: slow echo, replies in pieces.
SLOW = ("--echo-delay", "0.001", "--chunked", "--reply-delay", "0.02")


def children():
    """The processes this one started that are still running."""
    found = []
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == os.getpid() and fields[0] != "Z":
            found.append(int(pid))
    return found


def test_two_runs_on_one_nornir_object(tmp_path):
    with open(str(tmp_path / "hosts.yaml"), "w") as out:
        for name in HOSTS:
            out.write("%s:\n  hostname: %s\n  platform: generic\n  connection_options:\n    tarvix:\n"
                      "      extras:\n        start: \"%s\"\n        connection_timeout: 10\n"
                      % (name, name, simulator.command(name, *SLOW)))
    nr = InitNornir(runner={"plugin": "threaded", "options": {"num_workers": 2}},
                    inventory={"plugin": "SimpleInventory", "options": {"host_file": str(tmp_path / "hosts.yaml")}},
                    logging={"enabled": False})
    before = children()
    outputs = {"show clock": [], "show version": []}

    def work(command):
        for _ in range(3):
            outputs[command].append(nr.run(task=tarvix_execute, command=command, timeout=10))

    threads = [threading.Thread(target=work, args=(command,)) for command in outputs]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        opened = [pid for pid in children() if pid not in before]
    finally:
        nr.close_connections(on_failed=True)
    assert len(opened) == len(HOSTS)
    for command, expected in (("show clock", " UTC "), ("show version", "uptime is")):
        assert len(outputs[command]) == 3
        for result in outputs[command]:
            assert not result.failed and all(expected in result[name][0].result for name in HOSTS)
    assert [pid for pid in children() if pid not in before] == []
