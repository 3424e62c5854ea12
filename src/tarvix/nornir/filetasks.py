"""Nornir tasks of files and the upgrade (see ``Connection.put_file``,
``get_file`` and ``upgrade``): each ``Result``'s ``result`` is the report
as a dict (``FileTransfer.as_dict``, ``UpgradeReport.as_dict``);
``changed`` is set where the device's files (or software) changed."""
from nornir.core.task import Result

from tarvix.core.errors import TarvixError
from tarvix.nornir.connection import host_connection


def _connection(task):
    return host_connection(task.host, task.nornir.config)


def _failed(task, error):
    return Result(host=task.host, result=str(error), exception=error, failed=True)


def tarvix_put_file(task, local, remote, protocol="auto", verify=True, overwrite=False, timeout=None,
                    progress=None):
    try:
        report = _connection(task).put_file(local, remote, protocol=protocol, verify=verify, overwrite=overwrite,
                                            progress=progress, timeout=timeout)
    except TarvixError as error:
        return _failed(task, error)
    return Result(host=task.host, result=report.as_dict(), changed=not report.skipped)


def tarvix_get_file(task, remote, local, protocol="auto", verify=True, overwrite=False, timeout=None,
                    progress=None):
    try:
        report = _connection(task).get_file(remote, local, protocol=protocol, verify=verify, overwrite=overwrite,
                                            progress=progress, timeout=timeout)
    except TarvixError as error:
        return _failed(task, error)
    return Result(host=task.host, result=report.as_dict(), changed=False)


def tarvix_upgrade(task, image, expect_version=None, reload=True, timeout=3600, protocol="auto", progress=None):
    try:
        report = _connection(task).upgrade(image, expect_version=expect_version, reload=reload, timeout=timeout,
                                           protocol=protocol, progress=progress)
    except TarvixError as error:
        return _failed(task, error)
    return Result(host=task.host, result=report.as_dict(), changed=True)
