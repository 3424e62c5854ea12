"""The secrets the process knows stay out of its logs, start commands and
messages, but not out of what a device printed."""
import logging
import shlex
import sys

from tarvix.eal import secrets
from tarvix.eal.spawn import Spawn

REMEMBERED = "q7-remembered"
LONGER = "q7-remembered-and-longer"
OWN = "q7-own-connection"
ENABLE = "q7-enable-from-env"
PRINTS = "import os, sys\nprint(sys.argv[1:], os.environ['X'], flush=True)\nprint('ready>', flush=True)\nsys.stdin.readline()"


def test_known_secrets_are_masked_longest_first_in_any_syntax(monkeypatch):
    monkeypatch.setenv("TARVIX_ENABLE_PASSWORD", ENABLE)
    secrets.remember(REMEMBERED)
    secrets.remember(LONGER)
    secrets.remember("  ")
    assert secrets.mask("a %s b %s c %s d" % (LONGER, REMEMBERED, ENABLE)) == "a **** b **** c **** d"
    assert secrets.mask("spaces  stay") == "spaces  stay"
    assert secrets.mask_command("env SSHPASS=abc X_PW='a b' ssh -o PasswordAuthentication=no r1") == \
        "env SSHPASS=**** X_PW=**** ssh -o PasswordAuthentication=no r1"
    assert secrets.command_secrets("env API_TOKEN=t0k ssh r1") == {"t0k"}


def test_start_commands_logs_and_messages_are_masked_outputs_are_not(monkeypatch, caplog):
    monkeypatch.setenv("TARVIX_PASSWORD", "q7-password-from-env")
    secrets.remember(REMEMBERED)
    caplog.set_level(logging.DEBUG, logger="tarvix")
    command = "env X=%s Y=q7-password-from-env %s -c %s %s" % (
        REMEMBERED, shlex.quote(sys.executable), shlex.quote(PRINTS), OWN)
    link = Spawn(command, "r1", secrets=[OWN])
    try:
        printed = link.expect("ready>", timeout=5).match_output
        assert OWN in printed and REMEMBERED in printed
        assert "q7" not in link.tail() and "q7" not in str(link)
        assert str(link).startswith("r1 via 'env X=**** Y=**** ")
        # A library user's handler, on the framework's loggers or above them.
        logging.getLogger("tarvix.connection").warning("%s: %s", link, OWN)
        try:
            raise ValueError(LONGER)
        except ValueError:
            logging.getLogger("tarvix.fleet").debug("failed", exc_info=True)
    finally:
        link.close()
    assert "started 'env X=**** Y=****" in caplog.text and "ValueError: ****" in caplog.text
    assert "q7" not in caplog.text
    # Elsewhere, on the handlers the console command adds.
    record = logging.LogRecord("other", logging.INFO, __file__, 1, "said %s", (REMEMBERED,), None)
    assert secrets.FILTER.filter(record) and record.getMessage() == "said ****"
