"""The Dask cluster a run works on: reaching it (a running scheduler, or a
local cluster started for the run), what may be sent to it, and its
errors."""
import asyncio
import contextlib
import ipaddress
import logging

from tarvix.core.errors import TarvixError
from tarvix.eal.secrets import random_token

NEEDS_DASK = 'a cluster run needs Dask: pip install "dask[distributed]" (Python 3.9 or later)'
# The metadata the workers keep with the scheduler: [PREFIX, run token, host].
PREFIX = "tarvix"
# How long to wait for a scheduler to answer, and for a local cluster's
# workers to start.
CONNECT_TIMEOUT = 20.0
PLAINTEXT_OPTION = "allow_plaintext"


class ClusterError(TarvixError):
    """The cluster cannot be reached or used: one line for the user."""


class WorkerError(TarvixError):
    """An exception raised on a worker that could not be sent back as it
    was: its type's name and its message."""


class WorkerLost(TarvixError):
    """The worker working a host was lost mid-task; what it had done on the
    device is in the message, and in ``done``.  The host was not run
    again."""

    def __init__(self, message, done=()):
        TarvixError.__init__(self, message)
        self.done = list(done)

    def __reduce__(self):
        return type(self), (str(self), self.done)


class RunEnded(WorkerLost):
    """A host's task came to a worker after its run had ended (an attempt
    the scheduler handed on): it did nothing."""


class Sealed(object):
    """A task's arguments on their way to a worker: Dask logs a failed
    task with its arguments' repr, and they hold the passwords."""

    def __init__(self, function, *arguments):
        self.function = function
        self.arguments = arguments

    def __repr__(self):
        return "<tarvix task %s>" % getattr(self.function, "__name__", "")

    __str__ = __repr__


def call_sealed(sealed):
    return sealed.function(*sealed.arguments)


def token():
    """A run's name among the others on a cluster."""
    return random_token(6)


def task_key(kind, name, run):
    """A host's task key: what the dashboard and the scheduler's log show
    (never a password: they are in the task's data)."""
    return "%s-%s-%s" % (kind, name, run)


# -- where the cluster is -----------------------------------------------------

def _host_of(address):
    rest = address.split("://", 1)[1] if "://" in address else address
    if rest.startswith("["):
        return rest[1:].split("]", 1)[0]
    return rest.rsplit(":", 1)[0] if rest.count(":") == 1 else rest


def is_loopback(address):
    host = _host_of(address)
    if host in ("localhost", "localhost.localdomain"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


# The schemes of a scheduler another process reaches (Dask's inproc:// is
# its own process's).
SCHEMES = ("tcp", "tls", "ws", "wss", "ucx")


def check_address(address):
    """Refuses, in one line, what is no address of a scheduler: Dask's
    client would fail on it halfway, and hang the process's exit."""
    from distributed.comm.addressing import parse_address, parse_host_port

    scheme = address.split("://", 1)[0] if "://" in address else "tcp"
    if scheme not in SCHEMES:
        raise ClusterError("%s is not a scheduler address: %s:// is none of the schemes a Dask scheduler is "
                           "reached by (%s)" % (address, scheme, ", ".join(SCHEMES)))
    try:
        location = parse_address(address)[1]
        port = 1 if scheme == "ucx" else parse_host_port(location)[1]
        if not 0 < port < 65536:
            raise ValueError("port %d out of range" % port)
    except (TypeError, ValueError) as error:
        raise ClusterError("%s is not a scheduler address: give tcp://HOST:PORT or tls://HOST:PORT (%s)"
                           % (address, " ".join(str(error).split())))


def check_scheduler(address, secrets, allow_plaintext=False):
    """Refuses what is no scheduler's address, and to send credentials
    (``secrets`` true) to a scheduler off this machine whose link is not
    encrypted."""
    check_address(address)
    scheme = address.split("://", 1)[0] if "://" in address else "tcp"
    if scheme == "tls" or not secrets or allow_plaintext or is_loopback(address):
        return
    raise ClusterError("the inventory holds passwords, and %s is reached over plain %s://, which anyone on the way "
                       "can read: use a tls:// address with the certificate options, or allow it explicitly "
                       "(--allow-plaintext-scheduler)" % (address, scheme))


def check_workers(client, secrets, allow_plaintext=False):
    """Refuses to send credentials through a scheduler whose workers are
    reached over plain tcp:// off this machine: the scheduler hands them
    the tasks' data."""
    if not secrets or allow_plaintext:
        return
    plain = sorted(address for address in client.scheduler_info().get("workers", {})
                   if not address.startswith("tls://") and not is_loopback(address))
    if plain:
        raise ClusterError("the inventory holds passwords, and the scheduler hands them to worker(s) reached over "
                           "plain tcp:// off this machine (%s), which anyone on the way can read: start the "
                           "workers with tls:// addresses, or allow it explicitly (--allow-plaintext-scheduler)"
                           % ", ".join(plain[:3] + (["..."] if len(plain) > 3 else [])))


def tls_configured():
    """Whether Dask's own configuration names the client's certificates."""
    import dask

    return bool(dask.config.get("distributed.comm.tls.client.cert", None)
                or dask.config.get("distributed.comm.tls.ca-file", None))


def has_secrets(hosts):
    """Whether any of the hosts carries a password (its own, its groups' or
    the defaults', or in a connection's options, its start command's and
    its ssh options' included: the walk that gathers them to be masked)."""
    from tarvix.fleet.passwords import hosts_secrets

    return bool(hosts_secrets(hosts))


def security(ca_file=None, cert=None, key=None):
    """Dask's Security for the certificate files, or None without any."""
    if not (ca_file or cert or key):
        return None
    if not (ca_file and cert and key):
        raise ClusterError("a tls:// scheduler takes the CA file, the certificate and the key together")
    from distributed.security import Security

    return Security(tls_ca_file=ca_file, tls_client_cert=cert, tls_client_key=key, require_encryption=True)


class Cluster(object):
    """A client of a running scheduler, or of a local cluster of ``workers``
    processes started here (and stopped on leaving), with
    ``threads`` threads each."""

    def __init__(self, scheduler=None, workers=2, threads=1, security=None, timeout=None):
        self.scheduler = scheduler
        self.workers = workers
        self.threads = threads
        self.security = security
        self.timeout = CONNECT_TIMEOUT if timeout is None else timeout
        self.client = None
        self.local = None

    def __enter__(self):
        try:
            import dask
            from distributed import Client, LocalCluster
        except ImportError:
            raise ImportError(NEEDS_DASK)

        if self.scheduler:
            check_address(self.scheduler)
        try:
            if self.scheduler:
                self.client = Client(self.scheduler, security=self.security, timeout=self.timeout,
                                     set_as_default=False)
                try:
                    self.client.run_on_scheduler(_ready)
                except (OSError, TimeoutError, asyncio.TimeoutError):
                    raise
                except Exception as error:  # the marks of each run are kept by tarvix's code there
                    raise ClusterError("the Dask scheduler at %s cannot run tarvix's code (%s: %s): install "
                                       "tarvix on the scheduler's host too" % (self.scheduler,
                                                                               type(error).__name__, error))
            else:
                # A task is never rerun because a worker died under it: the
                # scheduler here is told so; another one is guarded by the
                # begun marks.
                # No dashboard, and the scheduler's HTTP routes on a port of
                # their own choosing: by default they take 8787, or warn when
                # it is taken.
                # Nor do its workers sample their threads' stacks every few
                # milliseconds for a profile nobody shows: with tens of
                # threads each, that is a third of their CPU.
                with dask.config.set({"distributed.scheduler.allowed-failures": 0,
                                      "distributed.worker.profile.enabled": False}):
                    self.local = LocalCluster(n_workers=self.workers, threads_per_worker=self.threads,
                                              processes=True, host="127.0.0.1", dashboard_address=None,
                                              scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                              silence_logs=40)
                self.client = Client(self.local, timeout=self.timeout, set_as_default=False)
                self.client.wait_for_workers(self.workers, timeout=self.timeout)
        except (OSError, TimeoutError, asyncio.TimeoutError, TypeError, ValueError) as error:
            # TypeError: Dask's word for a tls:// address without certificates.
            self._close()
            why = " ".join(str(error).split()) or type(error).__name__
            if self.scheduler:
                raise ClusterError("cannot reach the Dask scheduler at %s: %s" % (self.scheduler, why))
            raise ClusterError("cannot start a local Dask cluster of %d worker(s): %s" % (self.workers, why))
        except BaseException:
            self._close()
            raise
        return self.client

    def __exit__(self, *exc):
        self._close()

    def _close(self):
        if self.client is not None:
            # A client that lost its scheduler logs the end of its attempts
            # to reconnect, traceback and all: the run has told it already.
            logger = logging.getLogger("distributed.client")
            level = logger.level
            lost = self.client.status != "running"
            if lost:
                logger.setLevel(logging.CRITICAL + 1)
            try:
                self.client.close(timeout=self.timeout)
            except Exception:
                pass
            finally:
                if lost:
                    logger.setLevel(level)
        if self.local is not None:
            try:
                self.local.close(timeout=self.timeout)
            except Exception:
                pass
        self.client = self.local = None


def _ready(dask_scheduler=None):
    return True


@contextlib.contextmanager
def scheduler_link():
    """An OSError of the link to the scheduler as one line for the user."""
    try:
        yield
    except OSError as error:
        raise ClusterError("the Dask scheduler: %s" % (" ".join(str(error).split()) or type(error).__name__))
