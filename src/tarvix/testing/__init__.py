"""Helpers for the authors of platform plugins: the conformance check as a
pytest assertion.

    from tarvix.testing import assert_conforms

    def test_my_platform(my_device):
        assert_conforms(Connection(hostname="r1", start=my_device, os="mine", learn_hostname=True))

``assert_conforms`` runs the same steps as ``tarvix check`` (see
``tarvix.testing.conformance``) and fails with their table when one fails.
"""
from tarvix.testing.conformance import FAIL, PASS, SKIP, UNPROVEN, Step, passed, run_check, table  # noqa: F401


def assert_conforms(con, change=False, save=False, timeout=None):
    """Runs the conformance check on ``con`` (not connected yet) and raises
    AssertionError with the table of steps when one fails or is unproven;
    returns the steps."""
    steps = run_check(con, change=change, save=save, timeout=timeout)
    if not passed(steps):
        raise AssertionError("%s does not conform:\n%s" % (con.os, table(steps)))
    return steps
