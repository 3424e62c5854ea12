"""The secrets the process knows, and how they are kept out of what it shows.

A secret is masked (replaced by ``MASK``) in log records, the start commands
that links log, error messages and the console command's reports; never in
what a device printed and a command returns to its caller.

The process-wide set holds the passwords of the credentials that connections
were given (``remember``) and those written into start commands; the
passwords of ``SECRET_ENV_VARS`` are read from the environment each time.
Longer secrets are masked first, so that one that contains another is
masked whole.
"""
import binascii
import logging
import os
import re
import threading

MASK = "****"

# Environment variables through which passwords reach tarvix itself.
PASSWORD_ENV = "TARVIX_PASSWORD"
ENABLE_PASSWORD_ENV = "TARVIX_ENABLE_PASSWORD"
SECRET_ENV_VARS = (PASSWORD_ENV, ENABLE_PASSWORD_ENV)

# Passwords written into a start command: sshpass -p, --password options,
# password= words, a URL's user:password@, and environment assignments
# (env SSHPASS=..., X_PW=...) whose upper-case name speaks of a password.
_VALUE = r"""('[^']*'|"[^"]*"|\S+)"""
_COMMAND_SECRETS = [
    re.compile(r"(\bsshpass(?:\s+-[^p\s]\S*(?:\s+(?!-)\S+)?)*?\s+-p)(\s*)" + _VALUE),
    re.compile(r"((?<!\S)--?(?:password|passwd|pass|secret|pw)\b)(=|\s+)" + _VALUE, re.IGNORECASE),
    re.compile(r"(\b(?:password|passwd|pwd|secret)\s*)(=)" + _VALUE, re.IGNORECASE),
    re.compile(r"(\w+://[^\s:/@]+:)()([^\s@/]+)(?=@)"),
    re.compile(r"((?<!\S)[A-Z_][A-Z0-9_]*(?:PASS|PW|SECRET|TOKEN)[A-Z0-9_]*)(=)" + _VALUE),
]

# The word a configuration line may begin with before what a dialect's
# secret patterns match: a negation, or a "set"-style statement's verb.
_VERBS = ("no", "undo", "set", "delete")

_lock = threading.Lock()
_known = set()
# The known secrets, longest first; replaced whole when one is added.
_ordered = ()


def mask_command(command):
    """The command line with the passwords written into it masked."""
    for pattern in _COMMAND_SECRETS:
        command = pattern.sub(lambda m: m.group(1) + m.group(2) + MASK, command)
    return command


def _statement(line):
    """The line without its indent and its verb, and where that begins."""
    body = line.lstrip()
    word = body.split(" ", 1)
    if len(word) == 2 and word[0] in _VERBS:
        body = word[1].lstrip()
    return body, len(line) - len(body)


_compiled = {}


def _patterns(patterns):
    """A dialect's patterns, compiled once."""
    key = tuple(patterns)
    found = _compiled.get(key)
    if found is None:
        # The patterns one by one, and all at once to pass over most lines quickly.
        found = _compiled[key] = ([re.compile(pattern) for pattern in key],
                                  re.compile("|".join("(?:%s)" % pattern for pattern in key) or "(?!)"))
    return found


def _spans(line, patterns):
    body, start = _statement(line)
    if not patterns[1].match(body):
        return []
    for pattern in patterns[0]:
        match = pattern.match(body)
        if match:
            return [(start + match.start(group), start + match.end(group))
                    for group in range(1, (match.re.groups or 0) + 1) if match.group(group)]
    return []


def config_secrets(line, patterns):
    """The passwords and keys a configuration line holds, by a dialect's
    patterns (``Dialect.config_secrets``: each of a pattern's groups is one,
    matched at the start of the line less its indent and its first word
    when that is "no", "undo", "set" or "delete"); the first pattern that
    matches tells."""
    return [line[start:end] for start, end in _spans(line, _patterns(patterns))]


def mask_lines(lines, patterns):
    """Configuration lines with the passwords and keys they hold masked, by
    a dialect's patterns."""
    out, patterns = [], _patterns(patterns)
    for line in lines:
        for start, end in reversed(_spans(line, patterns)):
            line = line[:start] + MASK + line[end:]
        out.append(line)
    return out


def mask_config(lines, patterns):
    """Configuration lines with the passwords and keys they hold masked, by
    a dialect's patterns, and every known secret too."""
    return [mask(line) for line in mask_lines(lines, patterns)]


def command_secrets(command):
    """The passwords written into a command line."""
    found = set()
    for pattern in _COMMAND_SECRETS:
        for match in pattern.finditer(command):
            value = match.group(3)
            if len(value) > 1 and value[0] == value[-1] and value[0] in "'\"":
                value = value[1:-1]
            if _maskable(value):
                found.add(value)
    return found


def _maskable(secret):
    # A blank "secret" would mask every space of a text.
    return isinstance(secret, str) and bool(secret.strip())


def remember(secret):
    """Adds a secret to those masked everywhere in this process."""
    global _ordered
    if not _maskable(secret) or secret in _known:
        return
    with _lock:
        if secret not in _known:
            _known.add(secret)
            _ordered = tuple(sorted(_known, key=len, reverse=True))


def known():
    """Every secret masked at this moment, longest first."""
    found = [os.environ.get(name) for name in SECRET_ENV_VARS]
    found = [secret for secret in found if _maskable(secret) and secret not in _known]
    ordered = _ordered
    if found:
        ordered = tuple(sorted(set(ordered).union(found), key=len, reverse=True))
    return ordered


def mask(text, extra=()):
    """The text with every known secret, and those of ``extra``, masked."""
    if not text:
        return text
    secrets = known()
    if extra:
        secrets = sorted(set(secrets).union(s for s in extra if _maskable(s)), key=len, reverse=True)
    for secret in secrets:
        if secret in text:
            text = text.replace(secret, MASK)
    return text


def mask_report(value):
    """A text, or the texts in a report's lists and dicts, with every known
    secret masked (before JSON escapes any of their characters)."""
    if isinstance(value, dict):
        return dict((key, mask_report(item)) for key, item in value.items())
    if isinstance(value, (list, tuple)):
        return [mask_report(item) for item in value]
    if isinstance(value, str):
        return mask(value)
    return value


class MaskFilter(logging.Filter):
    """Masks the known secrets in a log record's message and traceback.

    Put on a handler it covers every record the handler writes; put on a
    logger, the records logged through that logger itself (not those its
    children pass up to it)."""

    def filter(self, record):
        try:
            message = record.getMessage()
        except Exception:
            # Leave a record that cannot be formatted to logging's own report.
            return True
        masked = mask(message)
        if masked != message:
            record.msg, record.args = masked, None
        if record.exc_info and not record.exc_text:
            record.exc_text = logging.Formatter().formatException(record.exc_info)
        if record.exc_text:
            record.exc_text = mask(record.exc_text)
        if record.stack_info:
            record.stack_info = mask(record.stack_info)
        return True


FILTER = MaskFilter()

# The framework's own loggers mask what they are given, whatever handlers
# a program puts on them or above them.
FRAMEWORK_LOGGERS = ("tarvix", "tarvix.connection", "tarvix.fleet", "tarvix.nornir")
for _name in FRAMEWORK_LOGGERS:
    logging.getLogger(_name).addFilter(FILTER)


def child_env(env=None):
    """The environment for a program tarvix starts (a link's, a
    ProxyCommand, ssh -G): ``env`` (the process's own when None) without
    the variables that carry tarvix's passwords."""
    source = os.environ if env is None else env
    return dict((key, value) for key, value in source.items() if key not in SECRET_ENV_VARS)


def random_token(size=8):
    """A new random text of ``2 * size`` hexadecimal digits: a generated
    password, a run's name."""
    return binascii.hexlify(os.urandom(size)).decode("ascii")
