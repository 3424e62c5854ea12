"""Each execution of the module keeps its own state: classes made by one
import keep to their module after a re-import, and another interpreter gets
a module of its own (or a clean ImportError) without touching the first's.
Each case runs in a fresh interpreter process."""
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

PRELUDE = """
import gc, sys
sys.path.insert(0, %r)
from broker_doubles import FakeConnection, Journal
from tarvix.core import errors

def dual_con(answer="my state = 13 -ACTIVE"):
    con = FakeConnection(Journal(), dual=True, HA_STANDBY_UNLOCK_COMMANDS=["x"])
    con.a.spawn.answer = answer
    con.outputs["sh redundancy state"] = "Redundancy State = sso"
    return con
""" % HERE


def run(body):
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=60)
    assert done.returncode == 0, done.stdout
    return done.stdout.split()


def test_classes_of_an_earlier_import_keep_their_module():
    out = run("""
        import tarvix.plugins.generic as generic
        old = sys.modules.pop("tarvix.bases.routers.link_broker")
        import tarvix.bases.routers.link_broker as new
        assert new.BaseDualRpLinkBroker is not old.BaseDualRpLinkBroker
        old.sleep = lambda seconds: print("old-sleep")
        new.sleep = lambda seconds: print("new-sleep")
        del old
        gc.collect()
        def base(broker, name):
            return [c for c in type(broker).__mro__ if c.__name__ == name][0]

        con = dual_con()
        broker = generic.GenericDualRPConnection.broker_class(con)
        broker.connect()
        base(broker, "BaseDualRpLinkBroker").disconnect(broker)
        single = generic.GenericSingleRpConnection.broker_class(FakeConnection(Journal()))
        single.connect()
        base(single, "BaseSingleRpLinkBroker").disconnect(single)
        print(con.a.mode, con._is_connected)
        new.BaseDualRpLinkBroker(dual_con()).disconnect()
    """)
    assert out == ["old-sleep", "old-sleep", "sso", "False", "new-sleep"]


def legacy_interpreter_code():
    if sys.version_info >= (3, 13):
        return "import _interpreters as si\nsub = si.create('legacy')\nrun = si.exec\n"
    if sys.version_info >= (3, 12):
        return "import _xxsubinterpreters as si\nsub = si.create(isolated=False)\nrun = si.run_string\n"
    return "import _xxsubinterpreters as si\nsub = si.create()\nrun = si.run_string\n"


@pytest.mark.skipif(sys.version_info < (3, 8), reason="no subinterpreters module")
def test_legacy_subinterpreter_gets_its_own_module():
    out = run(legacy_interpreter_code() + """
import tarvix.bases.routers.link_broker as lb
print(id(lb.BaseDualRpLinkBroker))
run(sub, '''
try:
    import tarvix.bases.routers.link_broker as lb
except ImportError:
    print("refused")
else:
    lb.sleep = lambda seconds: None
    print(id(lb.BaseDualRpLinkBroker))
''')

def designation_fails():
    try:
        lb.BaseDualRpLinkBroker(dual_con(answer="neither")).connect()
    except errors.ConnectionError as exc:
        print("own-error")

designation_fails()
si.destroy(sub)
gc.collect()
designation_fails()
lb.sleep = lambda seconds: print("slept")
lb.BaseDualRpLinkBroker(dual_con()).disconnect()
""")
    assert out[1] != out[0]
    assert out[2:] == ["own-error", "own-error", "slept"]
