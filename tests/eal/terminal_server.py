"""A terminal server's port, for the link tests: with "login" it asks for
its own login (ts-user / ts-Secret-5) and then hands over to the simulated
router r7, which asks for the device's; with any other argument it prints
that as the words of a port another session holds, and keeps the line."""
import getpass
import os
import sys
import time

if sys.argv[1] != "login":
    sys.stdout.write("\r\nTrying 10.0.0.5, 2005 ...\r\n%s\r\n" % sys.argv[1])
    sys.stdout.flush()
    time.sleep(30)
    sys.exit(0)
sys.stdout.write("\r\nUser Access Verification\r\n\r\nUsername: ")
sys.stdout.flush()
user = sys.stdin.readline().strip()
if (user, getpass.getpass("Password: ")) != ("ts-user", "ts-Secret-5"):
    sys.exit("% Authentication failed")
os.execv(sys.executable, [sys.executable, "-m", "tarvix.simulator", "--hostname", "r7", "--login"])
