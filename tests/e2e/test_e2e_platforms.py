"""The built-in platforms on FakeNOS's hosts of their CLIs (over the system
ssh client): each connects, learns the hostname from its prompt, runs a
command and has a rejected command raise CommandError with its words."""
import pytest

from tarvix.core.errors import CommandError

import devices
from e2e_support import connection_maker

# os: (its host in the bed, a command the host knows, words of its answer,
# the words of its refusal)
PLATFORMS = {
    "eos": ("e1", "show version", "Software image version", "% Invalid input"),
    "junos": ("j1", "show version", "Hostname: lab", "syntax error, expecting <command>."),
    "vyos": ("v1", "show interfaces", "Codes: S - State", "Invalid command"),
    "fastiron": ("f1", "show version", "SW: Version", "Invalid input ->"),
}


@pytest.fixture(scope="module")
def bed():
    yield from devices.serve(["%s:%s" % (os_name, platform[0]) for os_name, platform in sorted(PLATFORMS.items())])


@pytest.fixture
def connections(caplog):
    yield from connection_maker(caplog, [devices.PASSWORD], credentials={
        "default": {"username": devices.USERNAME, "password": devices.PASSWORD}})


@pytest.mark.parametrize("os_name", sorted(PLATFORMS))
def test_platform_on_its_third_party_host(bed, connections, os_name):
    host, command, shown, refusal = PLATFORMS[os_name]
    con = connections(hostname="device", start=bed.ssh(host), os=os_name, learn_hostname=True)
    con.connect()
    assert con.learned_hostname == host and con.state_machine.current_state == "enable"
    assert shown in con.execute(command)
    with pytest.raises(CommandError) as refused:
        con.execute("show bogus")
    assert refusal in str(refused.value)
