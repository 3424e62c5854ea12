"""A broker whose steps call the broker again nests its native frames once
per level: whatever the recursion limit and however small the thread's
stack, that ends in RecursionError, never in a crash.  Each case runs in a
fresh interpreter process."""
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

NESTING = """
import sys, threading
sys.path.insert(0, %r)
from broker_doubles import FakeConnection, Journal
from tarvix.bases.routers.link_broker import BaseSingleRpLinkBroker, BaseDualRpLinkBroker

class Single(BaseSingleRpLinkBroker):
    def init_handle(self):
        return self.connect()

class Dual(BaseDualRpLinkBroker):
    def init_standby(self):
        return self.connect()

def dual_con():
    con = FakeConnection(Journal(), dual=True, HA_STANDBY_UNLOCK_COMMANDS=["x"])
    con.a.spawn.answer = "my state = 13 -ACTIVE"
    con.outputs["sh redundancy state"] = "Redundancy State = sso"
    return con

def native_only():
    # no Python frame between two levels
    broker = BaseSingleRpLinkBroker(FakeConnection(Journal()))
    broker.init_handle = broker.connect
    return broker

def nest():
    for broker in (Single(FakeConnection(Journal())), Dual(dual_con()), native_only()):
        try:
            broker.connect()
        except RecursionError:
            print("RecursionError")

sys.setrecursionlimit(int(sys.argv[1]))
if sys.argv[2] == "main":
    nest()
else:
    threading.stack_size(int(sys.argv[2]))
    thread = threading.Thread(target=nest)
    thread.start()
    thread.join()
""" % HERE


@pytest.mark.parametrize("limit", [10 ** 5, 10 ** 6])
@pytest.mark.parametrize("thread", ["main", str(256 * 1024)], ids=["main", "256KiB"])
def test_nested_steps_end_in_recursion_error(limit, thread):
    done = subprocess.run([sys.executable, "-c", NESTING, str(limit), thread],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=120)
    assert done.returncode == 0, (done.returncode, done.stdout[-2000:])
    assert done.stdout.split() == ["RecursionError"] * 3
