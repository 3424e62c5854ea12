"""``tarvix run --report FILE.html`` and ``write``: a run as one HTML file
that needs nothing else (its style, script and data are all inside, and it
loads nothing from anywhere): the summary, a table of the devices to sort
and filter, a timeline of every device's steps, and each device's outputs,
configuration diff, state, checks, transfers, reloads and session log,
secrets masked.

The rooms: ``content`` (what the page holds of a run's document),
``results`` (a Nornir run's results as such a document), ``fleetrun``
(what ``tarvix run`` adds to its document, and ``--report``), ``page``
(the template, page.html, page.css and page.js, filled in)."""
import json
import os
import sys
import time

import tarvix
from tarvix.exits import UsageError
from tarvix.fleet.report import content, page, results as nornir_results


def check_path(path):
    """Refuses in one line (UsageError) a report file that cannot be
    written, before anything is connected; a file made to tell is removed
    again."""
    if os.path.isdir(path):
        raise UsageError("--report %s: a directory; give the HTML file to write" % path)
    existed = os.path.lexists(path)
    try:
        with open(path, "a"):
            pass
    except OSError as error:
        raise UsageError("--report: cannot write %s: %s" % (path, error.strerror or error))
    if not existed:
        os.remove(path)


def _from_results(results, command_line):
    from tarvix.fleet.passwords import hosts_secrets

    hosts = [multi[0].host for multi in results.values() if len(multi) and multi[0].host is not None]
    if command_line is None:
        command_line = sys.argv
    if not isinstance(command_line, str):
        patterns = content.config_patterns(host.platform for host in hosts)
        command_line = content.command_line(command_line, patterns)
    return nornir_results.document(results, command_line), hosts_secrets(hosts)


def page_data(results, command_line=None):
    """The page's data of ``results``: a Nornir run's AggregatedResult, or
    the document ``tarvix run --json`` printed (as text or as read)."""
    extra = ()
    if nornir_results.is_results(results):
        document, extra = _from_results(results, command_line)
    else:
        document = json.loads(results) if isinstance(results, (str, bytes)) else dict(results)
        if not isinstance(document.get("hosts"), list):
            raise ValueError("not a run's document: it has no list of hosts")
        if command_line is not None:
            document["command_line"] = (command_line if isinstance(command_line, str)
                                        else content.command_line(command_line))
    data = content.page_data(document, extra)
    data["report"] = {"written": round(time.time(), 3), "generator": "tarvix %s" % tarvix.__version__}
    return data


def write(results, path, command_line=None):
    """Writes the report of ``results`` (a Nornir run's AggregatedResult of
    tarvix's tasks, or the document ``tarvix run --json`` printed) to the
    HTML file ``path``.  ``command_line``: the words of the command the
    page tells (masked here; default: this process's), or the text of one
    masked already."""
    text = page.render(page_data(results, command_line))
    with open(path, "w", encoding="utf-8", errors="replace") as out:
        out.write(text)


def read(path):
    """The data a report file holds, as its page shows it (to compare two
    runs' reports, say)."""
    with open(path, encoding="utf-8") as report:
        return page.read_data(report.read())
