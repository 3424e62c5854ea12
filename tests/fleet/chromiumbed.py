"""A real browser for the report's tests and benchmark: Debian's headless
chromium, driven by Selenium through Debian's chromium-driver, with the
network blocked (no name resolves, every connection goes to a closed
port) and every request the page makes logged."""
import contextlib
import json
import os
import shutil

CHROMIUM = ("/usr/bin/chromium", "/usr/bin/chromium-browser")
DRIVER = ("/usr/bin/chromedriver", "/usr/lib/chromium/chromedriver")
NEEDS = "needs chromium, chromium-driver (Debian) and selenium (PyPI); scripts/test installs them"


def _found(paths, name):
    for path in paths:
        if os.access(path, os.X_OK):
            return path
    return shutil.which(name)


def missing():
    """Why no browser can be had here (None: one can)."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return NEEDS
    if not _found(CHROMIUM, "chromium") or not _found(DRIVER, "chromedriver"):
        return NEEDS
    return None


@contextlib.contextmanager
def chromium(width=1280, height=900):
    """A headless chromium (a Selenium driver), quit at the end."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = _found(CHROMIUM, "chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--no-first-run", "--disable-extensions", "--disable-background-networking",
                     "--window-size=%d,%d" % (width, height),
                     # The network blocked: no name resolves, and any connection goes to a closed port.
                     "--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    driver = webdriver.Chrome(service=Service(_found(DRIVER, "chromedriver")), options=options)
    try:
        driver.set_page_load_timeout(30)
        driver.set_script_timeout(30)
        yield driver
    finally:
        driver.quit()


def requests(driver):
    """The URLs the pages asked for since the last call."""
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


def color_scheme(driver, scheme):
    """The page as under a system's light or dark scheme."""
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                           {"features": [{"name": "prefers-color-scheme", "value": scheme}]})


def media(driver, kind):
    """The page as on a screen ("screen"), or printed ("print")."""
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": kind})
