"""What a connection's start commands open: a session to the device itself
(the system ssh, telnet to the device's own port, an ``ssh://`` URL) or a
console line behind a terminal server."""
import os
import shlex

from tarvix.eal.ssh import link as sshlink

_said_system_ssh = []


def say_system_ssh(log):
    """Logs once per process that ssh:// starts run the system ssh."""
    if not _said_system_ssh:
        _said_system_ssh.append(True)
        log.info("%s: ssh:// links run the system ssh client", sshlink.UNAVAILABLE)


# Options of telnet that take an argument.
_TELNET_ARGUMENT_OPTIONS = frozenset(["-b", "-e", "-k", "-l", "-n", "-S", "-X"])


def session_start(start):
    """Whether a start command opens a session to the device itself: the
    system ssh client, or telnet to a host's own port (none, 23); telnet
    to another port reaches a console line behind a terminal server."""
    if sshlink.is_url(start):
        return True
    try:
        words = shlex.split(start)
    except (ValueError, AttributeError):
        return False
    if words and os.path.basename(words[0]) == "env":
        words.pop(0)
        while words and (words[0].startswith("-") or "=" in words[0]):
            if words.pop(0) in ("-u", "--unset") and words:
                words.pop(0)
    if not words:
        return False
    program = os.path.basename(words[0])
    if program == "ssh":
        return True
    if program != "telnet":
        return False
    operands, rest = [], words[1:]
    while rest:
        word = rest.pop(0)
        if word in _TELNET_ARGUMENT_OPTIONS:
            del rest[:1]
        elif not word.startswith("-"):
            operands.append(word)
    return len(operands) == 1 or (len(operands) == 2 and operands[1] in ("23", "telnet"))


def ssh_login(start, credentials, login_creds=None):
    """The username and the passwords an SSH start authenticates with:
    the URL's username, else the first credential's; the passwords of the
    credentials for that username (or for none), in the order the login
    dialog tries them (``login_creds`` first)."""
    username = sshlink.parse_url(start)[0]
    order = list(login_creds or [])
    order += [name for name in credentials if name not in order and name != "enable"]
    creds = [credentials[name] for name in order if isinstance(credentials.get(name), dict)]
    if username is None:
        username = next((c["username"] for c in creds if c.get("username")), None)
    passwords = []
    for credential in creds:
        password = credential.get("password")
        if isinstance(password, str) and credential.get("username") in (None, username) \
                and password not in passwords:
            passwords.append(password)
    return username, passwords
