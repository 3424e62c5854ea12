"""``tarvix run --report``'s page in a real browser (headless chromium, the
network blocked): nothing requested, the counts and a failure's words, a
filter, a device's diff, a stalled device's bars, the dark and the printed
page, the keyboard; a screenshot kept with the test's files."""
import json
import os

import pytest

pytest.importorskip("nornir")
pytest.importorskip("rich")
pytest.importorskip("hier_config")

import chromiumbed  # noqa: E402

from tarvix import simulator  # noqa: E402
from tarvix.cli import main  # noqa: E402
from tarvix.fleet import report  # noqa: E402

STALL = 0.25  # seconds the stalled device thinks before each answer


def _lab(tmp_path):
    hosts = {"r1-changed": [], "r2-failed": ["--hang", "show version"], "r3-stalled": ["--reply-delay", str(STALL)]}
    lab, wanted = tmp_path / "lab", tmp_path / "intended"
    lab.mkdir()
    wanted.mkdir()
    with open(str(lab / "hosts.yaml"), "w") as out:
        for name, options in sorted(hosts.items()):
            out.write("%s:\n  platform: generic\n  connection_options:\n    tarvix:\n      extras: %s\n"
                      % (name, json.dumps({"start": simulator.command(name, *options)})))
    for name in hosts:
        (wanted / (name + ".cfg")).write_text("hostname %s\ninterface Loopback5\n description fleet\n" % name)
    return str(lab), str(wanted)


def _visible(driver, selector):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll(arguments[0])).filter(function (node) {"
        " return node.offsetParent !== null; }).map(function (node) { return node.dataset.device; });", selector)


def _bars(driver, device):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#timeline li[data-device=\"' + arguments[0] + '\"] .bar'))"
        ".map(function (bar) { return [bar.dataset.step, bar.dataset.kind, parseFloat(bar.dataset.start),"
        " parseFloat(bar.dataset.end), bar.dataset.status, bar.getAttribute('aria-label')]; });", device)


@pytest.mark.slow
def test_the_page_in_a_real_browser(tmp_path, capsys):
    why = chromiumbed.missing()
    if why:
        pytest.skip(why)
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    lab, wanted = _lab(tmp_path)
    page = str(tmp_path / "run.html")
    assert main(["run", "--inventory", lab, "--execute", "show version", "--intended", wanted, "--timeout", "1.5",
                 "--output", str(tmp_path / "out"), "--session-log", str(tmp_path / "logs"), "--report", page]) == 1
    assert capsys.readouterr().out.splitlines()[-1] == "report in %s" % page
    url = "file://" + page
    with chromiumbed.chromium() as driver:
        driver.get(url)
        assert driver.find_element(By.CSS_SELECTOR, "html").get_attribute("data-ready")
        assert [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"] == []
        assert set(chromiumbed.requests(driver)) == {url}

        counts = {node.get_attribute("data-count"): node.text
                  for node in driver.find_elements(By.CSS_SELECTOR, "#counts [data-count]")}
        assert counts == {"devices": "3", "ok": "2", "failed": "1", "skipped": "0", "rolled back": "0"}
        failed = driver.find_element(By.CSS_SELECTOR, "#device-rows tr[data-device='r2-failed']")
        assert "failed" in failed.text  # in words, not in colour alone
        assert "no prompt after 'show version' within 1.5 s" in failed.find_element(By.CSS_SELECTOR, "td.note").text

        # A filter by status: the table and the timeline both.
        driver.find_element(By.CSS_SELECTOR, "#filter-status option[value='failed']").click()
        assert _visible(driver, "#device-rows tr") == ["r2-failed"] == _visible(driver, "#tl-rows li")
        assert driver.find_element(By.ID, "shown").text == "1 of 3 device(s) shown"
        driver.find_element(By.CSS_SELECTOR, "#filters button[type=reset]").click()
        assert len(_visible(driver, "#device-rows tr")) == 3

        # A stalled device shows in its bars: each step after the one before,
        # its command as long as the thinking, far longer than a quick one's.
        stalled, quick = _bars(driver, "r3-stalled"), _bars(driver, "r1-changed")
        assert [bar[1] for bar in stalled] == ["connect", "command", "configuration", "disconnect"]
        assert all(a[3] <= b[2] + 0.002 for a, b in zip(stalled, stalled[1:]))
        command = [bar for bar in stalled if bar[0] == "show version"][0]
        quick_command = [bar for bar in quick if bar[0] == "show version"][0]
        assert command[3] - command[2] >= STALL and command[3] - command[2] > 3 * (quick_command[3] - quick_command[2])
        assert stalled[-1][3] > quick[-1][3] + 1
        assert "show version (command) from " in command[5] and command[5].endswith(", ok")
        assert [bar[4] for bar in _bars(driver, "r2-failed") if bar[0] == "show version"] == ["failed"]

        # The keyboard: a device opened from its link, its diff's lines.
        link = driver.find_element(By.CSS_SELECTOR, "#device-rows tr[data-device='r1-changed'] a")
        link.send_keys(Keys.ENTER)
        device = driver.find_element(By.ID, "device")
        assert device.is_displayed() and device.get_attribute("data-device") == "r1-changed"
        assert driver.switch_to.active_element.get_attribute("id") == "device-heading"
        added = [node.text for node in device.find_elements(By.CSS_SELECTOR, ".diff ins")]
        removed = [node.text for node in device.find_elements(By.CSS_SELECTOR, ".diff del")]
        assert added == ["+interface Loopback5", "+ description fleet"] and removed == ["-no logging console"]
        assert "r1-changed uptime is" in device.text

        # Dark as the system is; printed without the controls.
        background = "return getComputedStyle(document.documentElement).backgroundColor"
        light = driver.execute_script(background)
        chromiumbed.color_scheme(driver, "dark")
        assert driver.execute_script(background) != light
        chromiumbed.color_scheme(driver, "light")
        shot = str(tmp_path / "report.png")
        driver.execute_script("window.scrollTo(0, 0)")
        driver.set_window_size(1280, min(driver.execute_script("return document.body.scrollHeight") + 40, 4000))
        assert driver.save_screenshot(shot) and os.path.getsize(shot) > 10000
        chromiumbed.media(driver, "print")
        assert not driver.find_element(By.ID, "filters").is_displayed()
        assert driver.find_element(By.ID, "tl-rows").is_displayed()
        assert set(chromiumbed.requests(driver)) <= {url}
        # What other parts of a run report show too, from a document alone.
        other = str(tmp_path / "parts.html")
        report.write(PARTS, other)
        driver.get("file://" + other + "#device=r7")
        device = driver.find_element(By.ID, "device")
        headings = [node.text for node in device.find_elements(By.CSS_SELECTOR, "h3")]
        assert headings == ["Steps", "State", "Checks: 1 failed of 2", "Transfers", "Upgrade", "Reload", "Outputs",
                            "rollback"], headings
        first_check = device.find_element(By.CSS_SELECTOR, "section[aria-label^='Checks'] tbody tr")
        assert first_check.text.startswith("bgp.peer.10.0.0.2.state") and "\u2717 failed" in first_check.text
        assert "sftp" in device.text and "standby" in device.text and "842 characters left out here" in device.text
        assert [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"] == []
        assert set(chromiumbed.requests(driver)) <= {url, "file://" + other}
    with capsys.disabled():
        print("\nthe report's screenshot: %s" % shot)


# A device's report with the parts other rooms of tarvix run add.
PARTS = {"hosts": [{
    "name": "r7", "status": "failed", "seconds": 3.2, "error": "r7: check bgp.peer.10.0.0.2.state failed",
    "done": ["the configuration backed up"], "platform": "generic",
    "steps": [{"step": "connect", "kind": "connect", "start": 1000.0, "end": 1000.4, "status": "ok"},
              {"step": "the checks", "kind": "checks", "start": 1000.4, "end": 1003.2, "status": "failed"}],
    "checks": [{"path": "interfaces.Gi0/0.up", "expected": True, "actual": True, "passed": True},
               {"path": "bgp.peer.10.0.0.2.state", "expected": "Established", "actual": "Idle", "passed": False}],
    "state_diff": [{"path": "bgp.peer.10.0.0.2.state", "before": "Established", "after": "Idle", "what": "changed"}],
    "state_before": {"bgp": {"peer": {"10.0.0.2": {"state": "Established"}}}},
    "transfers": [{"skipped": False, "bytes": 10485760, "seconds": 2.5, "protocol": "sftp", "checksum": "ab12"}],
    "upgrade": {"steps": [{"step": "copy", "seconds": 2.5}, {"step": "boot", "seconds": 40.1}]},
    "outputs": [{"command": "reload", "warning": None, "note": "reload a: lost 0.2 s, back 1.4 s, ready 1.5 s",
                 "output": {"operation": "reload", "seconds": 1.6, "rps": {
                     "a": {"state": "active", "link_lost": 0.2, "first_answer": 1.4, "ready": 1.5,
                           "boot_messages": "booting"},
                     "b": {"state": "standby", "link_lost": None, "first_answer": None, "ready": 1.6,
                           "boot_messages": ""}}}},
                {"command": "show tech", "warning": None, "output": {
                    "text_head": "head", "text_tail": "tail", "left_out": 842}}],
    "rollback": {"done": True, "failed": False, "healthy": False}}],
    "started": 1000.0, "ended": 1003.3, "seconds": 3.3}
