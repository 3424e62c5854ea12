"""Parsed output without a device: the template lookup and its errors."""
import sys

import pytest

from tarvix.bases import parsing
from tarvix.bases.connection import Connection
from tarvix.core.errors import ParseError, TemplateNotFoundError

BRIEF = """Interface              IP-Address      OK? Method Status                Protocol
GigabitEthernet0/0     192.0.2.1       YES NVRAM  up                    up
Loopback0              unassigned      YES unset  administratively down down
"""


def test_generic_connections_parse_with_the_standard_router_templates():
    con = Connection(hostname="r1", start=["x", "y"])
    assert con.template_platform == "cisco_ios" and Connection.template_platform is None


@pytest.mark.parametrize("platform, missing, error, message", [
    (None, None, TemplateNotFoundError, "no template for the command 'show version': the connection names no "
                                        "template platform"),
    ("cisco_ios", "textfsm", ImportError, "pip install ntc-templates textfsm"),
    ("cisco_ios", "ntc_templates", ImportError, "pip install ntc-templates textfsm"),
])
def test_nothing_is_sent_when_parsing_cannot_be_done(monkeypatch, platform, missing, error, message):
    con = Connection(hostname="r1", start="never-started")
    monkeypatch.setattr(con, "template_platform", platform)
    if missing:
        monkeypatch.setitem(sys.modules, missing, None)
    # Not connected: any attempt to send would fail with "not connected".
    with pytest.raises(error, match=message):
        con.execute("show  version", parse=True)


@pytest.mark.parametrize("platform, command", [("cisco_ios", "show no such thing"), ("no_such_os", "show version")])
def test_a_command_without_a_template_names_command_and_platform(platform, command):
    pytest.importorskip("ntc_templates")
    with pytest.raises(TemplateNotFoundError) as caught:
        parsing.find_template(platform, command)
    assert (caught.value.command, caught.value.platform) == (command, platform)
    assert "%r on the platform %r" % (command, platform) in str(caught.value)


def test_records_and_template_failures():
    pytest.importorskip("ntc_templates")
    template = parsing.find_template("cisco_ios", "show ip interface brief")
    records = parsing.parse(template, BRIEF)
    assert [sorted(record.values()) for record in records] == [
        ["192.0.2.1", "GigabitEthernet0/0", "up", "up"], ["Loopback0", "administratively down", "down", "unassigned"]]
    broken = parsing.Template(template.table, "no_such_template.textfsm", "cisco_ios", "show x", template.errors)
    with pytest.raises(ParseError, match="the output of 'show x' could not be parsed"):
        parsing.parse(broken, BRIEF)
