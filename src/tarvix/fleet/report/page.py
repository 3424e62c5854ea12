"""The report's one HTML file: the template (page.html, page.css and
page.js beside this module) with the run's data inside, and a content
security policy that lets the page load nothing from anywhere: its own
style and script only, by their digests."""
import base64
import hashlib
import html
import json
import pkgutil
import re

import tarvix

_PLACEHOLDER = re.compile(r"\{\{(\w+)\}\}")
# What JSON leaves as it is but must not reach an HTML script element as
# it is: "</script>", "<!--", and the line separators of old parsers.
_SCRIPT_ESCAPES = {"<": "\\u003c", ">": "\\u003e", "&": "\\u0026", "\u2028": "\\u2028", "\u2029": "\\u2029"}


def _template(name):
    return pkgutil.get_data(__name__, name).decode("utf-8")


def _digest(text):
    return "'sha256-%s'" % base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii")


def script_json(data):
    """The data as JSON text safe inside an HTML script element."""
    text = json.dumps(data, ensure_ascii=False, separators=(",", ":"), allow_nan=False, default=str)
    return re.sub("[<>&\u2028\u2029]", lambda match: _SCRIPT_ESCAPES[match.group(0)], text)


def title(data):
    """The page's title: the devices and how they came out."""
    hosts = data["hosts"]
    statuses = {}
    for host in hosts:
        statuses[host["status"]] = statuses.get(host["status"], 0) + 1
    told = ["%d %s" % (statuses.pop(status, 0), status) for status in ("ok", "failed")]
    told += ["%d %s" % (count, status) for status, count in sorted(statuses.items())]
    return "%s: %d device(s), %s" % (data.get("title") or "tarvix run", len(hosts), ", ".join(told))


def render(data):
    """The page of ``data`` (content.page_data), as text."""
    style, script = _template("page.css"), _template("page.js")
    csp = ("default-src 'none'; script-src %s; style-src %s; base-uri 'none'; form-action 'none'"
           % (_digest(script), _digest(style)))
    values = {"csp": csp, "generator": "tarvix %s" % tarvix.__version__, "title": html.escape(title(data)),
              "style": style, "script": script, "data": script_json(data)}
    # One pass: what is put in is never read for placeholders again.
    return _PLACEHOLDER.sub(lambda match: values[match.group(1)], _template("page.html"))


_DATA = re.compile(r'<script id="run-data" type="application/json">(.*?)</script>', re.S)


def read_data(text):
    """The data of a page ``render`` made (ValueError for another page)."""
    found = _DATA.search(text)
    if not found:
        raise ValueError("not a tarvix run report: it holds no run data")
    return json.loads(found.group(1))
