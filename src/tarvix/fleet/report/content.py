"""What the report's page holds of a run's document (the one ``tarvix run
--json`` prints): secrets masked, the statuses its summary counts, each
host's session log read, and long texts shortened so that the page stays
small (the whole of each is in the run's output folder)."""
import shlex

from tarvix.eal import secrets
from tarvix.fleet.progress import report_note

# Characters of text the page holds at most, all hosts' together (outputs,
# diffs, session logs, ...): past it the longest texts are shortened, each
# to the same length, keeping their beginning and their end.
TEXT_BUDGET = 3 * 1024 * 1024
# No text is shortened below this many characters.
SHORTEST = 400
# The statuses of a host that was never begun (the run interrupted first).
NOT_BEGUN_PREFIX = "not begun"


class Masker(object):
    """Masks the known secrets and ``extra`` in texts."""

    def __init__(self, extra=()):
        found = set(secrets.known()) | set(text for text in extra if isinstance(text, str) and text.strip())
        self.secrets = sorted(found, key=len, reverse=True)

    def text(self, text):
        for secret in self.secrets:
            if secret in text:
                text = text.replace(secret, secrets.MASK)
        return text

    def value(self, value):
        """A document's value with every text in it masked."""
        if isinstance(value, dict):
            return dict((key, self.value(item)) for key, item in value.items())
        if isinstance(value, (list, tuple)):
            return [self.value(item) for item in value]
        if isinstance(value, str):
            return self.text(value)
        return value


def config_patterns(platforms):
    """The patterns of the configuration lines that hold secrets, of the
    dialects of these platforms and the generic one."""
    from tarvix.bases.discovery import plugin_class
    from tarvix.bases.platforms import platform_os
    from tarvix.core.errors import TarvixError

    patterns = set()
    for platform in set(platforms) | {None}:
        try:
            dialect = getattr(plugin_class(platform_os(platform) or "generic"), "dialect", None)
        except TarvixError:  # no such platform: its hosts failed before they sent anything
            continue
        patterns.update(getattr(dialect, "config_secrets", ()))
    return sorted(patterns)


def command_line(words, patterns=()):
    """A command line as the report shows it: its words quoted for a shell,
    the passwords written into it masked, and the --configure lines by the
    configuration's ``patterns``."""
    shown = []
    configure = False
    for word in words:
        if configure:
            word = secrets.mask_lines([word], patterns)[0]
        elif word.startswith("--configure="):
            word = "--configure=" + secrets.mask_lines([word[len("--configure="):]], patterns)[0]
        configure = word == "--configure"
        shown.append(shlex.quote(word))
    return secrets.mask(secrets.mask_command(" ".join(shown)))


def page_data(document, extra=(), session_logs=True):
    """The page's data: the document with secrets masked, each host's
    status as the page shows it, its notes, its session log (unless
    ``session_logs`` is false) and the long texts shortened."""
    masker = Masker(extra)
    data = masker.value(document)
    for host in data["hosts"]:
        _host(host, masker, session_logs)
    _shorten(data["hosts"])
    return data


def _host(host, masker, session_logs):
    for entry in host.setdefault("outputs", []):
        entry.setdefault("warning", None)
    host.setdefault("done", [])
    host.setdefault("error", None)
    host["note"] = report_note(host)
    if host["status"] == "interrupted" and str(host["error"] or "").startswith(NOT_BEGUN_PREFIX):
        host["status"] = "skipped"
    config = host.get("config") or {}
    rollback = host.get("rollback")  # a change whose checks failed, rolled back (tarvix.fleet.health)
    host["rolled_back"] = bool(config.get("undone") or config.get("rolled_back") or
                               isinstance(rollback, dict) and rollback.get("done"))
    if "diff" in config:
        # The diff is shown once, as the configuration's.
        host["outputs"] = [entry for entry in host["outputs"] if entry.get("command") != "intended configuration"]
    logs = host.pop("session_logs", None) or []
    if session_logs and logs:
        host["session_log"] = [_session_log(path, masker) for path in logs]


def _session_log(path, masker):
    try:
        with open(path, encoding="utf-8", errors="replace") as log:
            return {"path": path, "text": masker.text(log.read())}
    except OSError as error:
        return {"path": path, "missing": error.strerror or str(error)}


def _texts(value, found):
    """Every (container, key) of a text longer than SHORTEST in ``value``;
    the characters of the shorter ones."""
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    short = 0
    for key, item in items:
        if isinstance(item, str):
            if len(item) > SHORTEST:
                found.append((value, key))
            else:
                short += len(item)
        elif isinstance(item, (dict, list)):
            short += _texts(item, found)
    return short


def longest_kept(lengths, budget):
    """How long each text may stay so that all ``lengths`` take at most
    ``budget`` characters, the shorter ones whole (None: all fit), at least
    SHORTEST."""
    if sum(lengths) <= budget:
        return None
    remaining, count = budget, len(lengths)
    for length in sorted(lengths):
        share = remaining // count
        if length > share:
            return max(share, SHORTEST)
        remaining -= length
        count -= 1
    return None


def _shorten(hosts):
    found = []
    short = _texts(hosts, found)
    cap = longest_kept([len(container[key]) for container, key in found], TEXT_BUDGET - short)
    if cap is None:
        return
    for container, key in found:
        text = container[key]
        if len(text) > cap:
            head = cap * 2 // 3
            tail = cap - head
            container[key] = {"text_head": text[:head], "text_tail": text[len(text) - tail:],
                              "left_out": len(text) - head - tail}
