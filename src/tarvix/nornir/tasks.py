"""Nornir tasks over the "tarvix" connection.

A task that the device or its link fails returns a failed ``Result`` whose
``result`` is the error's message, which leads with the device's own words
(e.g. "r1: % Invalid input detected at '^' marker."), and whose
``exception`` is the tarvix error.  Other exceptions propagate, so Nornir
records them with their traceback.

Each task's ``Result`` tells when it ran: ``started`` and ``ended``, seconds
since the epoch, and ``connected``, (start, end) of the host's connect when
the task opened the connection (None otherwise), so that a report can draw
each host's steps on one time axis (``tarvix.fleet.report.write``).
"""
import functools
import time

from nornir.core.task import Result

from tarvix.core import errors
from tarvix.nornir.connection import CONNECTION_NAME, host_connection

# What a task returns as a failed Result: every error of tarvix (devices,
# links, the plugin registry, parsing: no template for the command, or
# output the template does not fit).
FAILURES = errors.TarvixError


def _connection(task):
    return host_connection(task.host, task.nornir.config)


def _failed(task, error):
    return Result(host=task.host, result=str(error), exception=error, failed=True)


def _timed(function):
    """The task, its Result telling when it ran and when it connected."""

    @functools.wraps(function)
    def timed(task, *args, **kwargs):
        connected = CONNECTION_NAME in task.host.connections
        started = time.time()
        result = function(task, *args, **kwargs)
        result.started, result.ended = round(started, 3), round(time.time(), 3)
        plugin = None if connected else task.host.connections.get(CONNECTION_NAME)
        result.connected = getattr(plugin, "connect_span", None)
        return result

    return timed


@_timed
def tarvix_execute(task, command, parse=False, timeout=None, target=None, reply=None, check=None):
    """Runs one exec command; the ``Result``'s ``result`` is its output, or
    with ``parse`` the list of records parsed from it.  ``target``,
    ``timeout``, ``reply`` and ``check`` as for ``Connection.execute``."""
    options = {"parse": True} if parse else {}
    if check is not None:
        options["check"] = check
    try:
        output = _connection(task).execute(command, target=target, timeout=timeout, reply=reply, **options)
    except FAILURES as error:
        return _failed(task, error)
    return Result(host=task.host, result=output, command=command)


@_timed
def tarvix_configure(task, lines, timeout=None, target=None, reply=None):
    """Applies configuration lines (a list, or one string of lines); the
    ``Result``'s ``result`` is what the device printed, ``changed`` is set."""
    try:
        output = _connection(task).configure(lines, target=target, timeout=timeout, reply=reply)
    except FAILURES as error:
        return _failed(task, error)
    return Result(host=task.host, result=output, changed=True)


@_timed
def tarvix_reload(task, save=None, timeout=600, rp=None):
    """Reloads the device and brings its connection back (see
    ``Connection.reload``); the ``Result``'s ``result`` is the timeline, a
    dict (``Report.as_dict``), ``changed`` is set."""
    try:
        report = _connection(task).reload(save=save, timeout=timeout, rp=rp)
    except FAILURES as error:
        return _failed(task, error)
    return Result(host=task.host, result=report.as_dict(), changed=True)


@_timed
def tarvix_switchover(task, timeout=600):
    """Switches a dual-RP router over (see ``Connection.switchover``); the
    ``Result``'s ``result`` is the timeline, a dict, ``changed`` is set."""
    try:
        report = _connection(task).switchover(timeout=timeout)
    except FAILURES as error:
        return _failed(task, error)
    return Result(host=task.host, result=report.as_dict(), changed=True)


def _change_result(task, change):
    """A change as Nornir users expect it: ``diff`` and ``changed`` (what
    Nornir's result counts), ``result`` the diff; ``sent`` the lines (masked)."""
    return Result(host=task.host, result=change.diff, diff=change.diff, changed=change.changed, sent=change.sent,
                  dry_run=change.dry_run)


@_timed
def tarvix_replace_config(task, intended, dry_run=False, confirm=None, save=False, target=None, timeout=None,
                          keep_before=None):
    """Brings the host's running configuration to ``intended`` (text), as
    ``Connection.replace_config``."""
    try:
        change = _connection(task).replace_config(intended, dry_run=dry_run, confirm=confirm, save=save,
                                                  target=target, timeout=timeout, keep_before=keep_before)
    except FAILURES as error:
        return _failed(task, error)
    return _change_result(task, change)


@_timed
def tarvix_merge_config(task, lines=None, dry_run=False, confirm=None, save=False, target=None, timeout=None,
                        keep_before=None, config=None):
    """Adds and changes the configuration ``lines`` (a list, or one string
    of lines, as ``tarvix_configure`` takes them), removing nothing, as
    ``Connection.merge_config``.  ``config=`` is the same argument's
    former name."""
    if (lines is None) == (config is None):
        raise TypeError("tarvix_merge_config takes the lines to merge once, as lines=")
    try:
        change = _connection(task).merge_config(config if lines is None else lines, dry_run=dry_run,
                                                confirm=confirm, save=save, target=target, timeout=timeout,
                                                keep_before=keep_before)
    except FAILURES as error:
        return _failed(task, error)
    return _change_result(task, change)


@_timed
def tarvix_config_diff(task, intended, target=None):
    """The diff from the host's running configuration to ``intended``;
    ``changed`` tells whether they differ (nothing is sent)."""
    try:
        diff = _connection(task).config_diff(intended, target=target)
    except FAILURES as error:
        return _failed(task, error)
    return Result(host=task.host, result=diff, diff=diff, changed=bool(diff))


def tarvix_state(task, getters=None):
    """The host's state (``Connection.state``): the ``Result``'s ``result``
    is the getters' data, by getter name."""
    try:
        state = _connection(task).state(getters)
    except FAILURES as error:
        return _failed(task, error)
    return Result(host=task.host, result=state)


def tarvix_check(task, checks, strict=False):
    """Checks the host's state against ``checks`` (a dict, as a checks file
    holds; see tarvix.checks): the ``Result``'s ``result`` is the report,
    a list of {"path", "expected", "actual", "passed"}, ``failed`` set when
    a check failed; ``state`` holds the state read."""
    from tarvix import checks as checking

    try:
        state = _connection(task).state(checking.getters_of(checks))
        report = checking.evaluate(state, checks, strict=strict)
    except FAILURES as error:
        return _failed(task, error)
    return Result(host=task.host, result=list(report), failed=not report.passed, state=state)
