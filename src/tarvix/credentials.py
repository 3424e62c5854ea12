"""The passwords the commands take from outside their options: the
environment (``$TARVIX_PASSWORD``), the terminal (``--ask-password``) and a
secret manager's command (an inventory's ``password_command``).  Each one is
masked from the moment it is read."""
import getpass
import os
import shlex
import subprocess

from tarvix.core.errors import LoginError
from tarvix.eal import secrets
from tarvix.eal.secrets import PASSWORD_ENV
from tarvix.exits import UsageError

# Seconds a password command may take: a secret manager may wait for its
# user (a passphrase, a touch of a key).
PASSWORD_COMMAND_TIMEOUT = 120


def ask_password(prompt):
    """Reads a password from the terminal."""
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        raise UsageError("--ask-password needs a terminal; without one give the password in $%s" % PASSWORD_ENV)
    try:
        password = getpass.getpass(prompt)
    except EOFError:
        raise UsageError("--ask-password: no password given")
    secrets.remember(password)
    return password


def login_password(given=None, ask=False, prompt="password: "):
    """The login password: asked on the terminal (``ask``), else ``given``
    (an option), else ``$TARVIX_PASSWORD``; None when there is none."""
    if ask:
        if given is not None:
            raise UsageError("give the password by --password or by --ask-password, not both")
        return ask_password(prompt)
    return given if given is not None else os.environ.get(PASSWORD_ENV)


def command_password(command, who, timeout=PASSWORD_COMMAND_TIMEOUT):
    """The password a secret manager's command prints: the first line of its
    output (as ``pass show`` prints it), run without a shell and without
    tarvix's password variables.  LoginError, naming ``who`` and the
    command (its own passwords masked), when it fails or prints none."""
    from tarvix.bases.connection import child_env

    shown = secrets.mask(secrets.mask_command(command))
    try:
        child = subprocess.Popen(shlex.split(command), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=child_env(), universal_newlines=True)
    except (OSError, ValueError) as error:
        raise LoginError("%s: password_command %r cannot run: %s" % (who, shown, getattr(error, "strerror", None)
                                                                     or error))
    try:
        output, errors = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        raise LoginError("%s: password_command %r printed nothing within %s s" % (who, shown, timeout))
    password = output.splitlines()[0] if output.strip() else ""
    secrets.remember(password)
    if child.returncode:
        last = [line.strip() for line in errors.splitlines() if line.strip()]
        raise LoginError(secrets.mask("%s: password_command %r failed (exit status %d)%s"
                                      % (who, shown, child.returncode, ": " + last[-1] if last else "")))
    if not password.strip():
        raise LoginError("%s: password_command %r printed no password" % (who, shown))
    return password
