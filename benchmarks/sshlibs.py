"""What an SSH session costs the driver, per library: connect, authenticate
with a password, open a shell on a pseudo-terminal, read the prompt, run one
command, read its prompt, close.  Against the FakeNOS routers of
tests/e2e/devicebed.py (run under $TARVIX_DEVICES_PYTHON).

    python benchmarks/sshlibs.py [--sessions 50] [--repeat 10] [--libs ssh2,asyncssh,paramiko,system-ssh]

For each library, in a process of its own (imports done before timing):
``--repeat`` sessions one after another (the median wall time of one), then
``--sessions`` sessions at once from as many threads (the wall time of all).
CPU is the driver's own (getrusage: the process and, for the system ssh,
its ssh children), per session.  "system-ssh" is tarvix's link over the
system ssh client (a child process per session), "tarvix-ssh" its
in-process link (tarvix.eal.ssh.link, over ssh2-python): each with the
reading, matching and logging of tarvix.eal.spawn on top of the library.
ssh2-python stands for libssh2 driven from compiled code.
"""
import argparse
import json
import os
import re
import resource
import select
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(os.path.dirname(HERE), "tests", "e2e")
LIBS = ("ssh2", "asyncssh", "paramiko", "system-ssh", "tarvix-ssh")
COMMAND = "show clock"
TIMEOUT = 30


def prompt_regex(name):
    return re.compile(r"%s[>#]\s*$" % re.escape(name))


# ------------------------------------------------------------ one session

def session_ssh2(port, name, username, password):
    from ssh2.error_codes import LIBSSH2_ERROR_EAGAIN
    from ssh2.session import LIBSSH2_SESSION_BLOCK_INBOUND, LIBSSH2_SESSION_BLOCK_OUTBOUND, Session

    sock = socket.create_connection(("127.0.0.1", port), TIMEOUT)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    session = Session()
    session.set_timeout(TIMEOUT * 1000)
    session.handshake(sock)
    session.userauth_password(username, password)
    channel = session.open_session()
    channel.pty("vt100")
    channel.shell()
    session.set_blocking(False)
    prompt = prompt_regex(name)

    def until_prompt():
        text = ""
        deadline = time.monotonic() + TIMEOUT
        while not prompt.search(text):
            size, data = channel.read(65536)
            if size == LIBSSH2_ERROR_EAGAIN:
                directions = session.block_directions()
                select.select([sock] if directions & LIBSSH2_SESSION_BLOCK_INBOUND else [],
                              [sock] if directions & LIBSSH2_SESSION_BLOCK_OUTBOUND else [], [],
                              max(deadline - time.monotonic(), 0))
                if time.monotonic() > deadline:
                    raise RuntimeError("timed out: %r" % text[-80:])
                continue
            if size < 0:
                raise RuntimeError("read error %d" % size)
            text += data.decode("utf-8", "replace")
        return text

    def write(data):
        data = data.encode()
        while data:
            size, _ = channel.write(data)
            if size == LIBSSH2_ERROR_EAGAIN:
                select.select([], [sock], [], 1)
                continue
            data = data[size:]

    until_prompt()
    write(COMMAND + "\n")
    output = until_prompt()
    session.set_blocking(True)
    channel.close()
    session.disconnect()
    sock.close()
    return output


def session_paramiko(port, name, username, password):
    import paramiko

    client = paramiko.SSHClient()
    client.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    client.connect("127.0.0.1", port, username, password, look_for_keys=False, allow_agent=False,
                   timeout=TIMEOUT)
    channel = client.invoke_shell("vt100")
    channel.settimeout(TIMEOUT)
    prompt = prompt_regex(name)

    def until_prompt():
        text = ""
        while not prompt.search(text):
            data = channel.recv(65536)
            if not data:
                raise RuntimeError("closed: %r" % text[-80:])
            text += data.decode("utf-8", "replace")
        return text

    until_prompt()
    channel.sendall((COMMAND + "\n").encode())
    output = until_prompt()
    client.close()
    return output


_loop = []
_loop_lock = threading.Lock()


def event_loop():
    """One asyncio loop in a thread of its own, for every asyncssh session."""
    import asyncio

    with _loop_lock:
        if not _loop:
            loop = asyncio.new_event_loop()
            threading.Thread(target=loop.run_forever, daemon=True).start()
            _loop.append(loop)
        return _loop[0]


def session_asyncssh(port, name, username, password):
    import asyncio

    import asyncssh

    prompt = prompt_regex(name)

    async def run():
        conn = await asyncssh.connect("127.0.0.1", port, username=username, password=password, known_hosts=None,
                                      client_keys=None, agent_path=None)
        writer, reader, _ = await conn.open_session(term_type="vt100", encoding=None)

        async def until_prompt():
            text = ""
            while not prompt.search(text):
                data = await reader.read(65536)
                if not data:
                    raise RuntimeError("closed: %r" % text[-80:])
                text += data.decode("utf-8", "replace")
            return text

        await until_prompt()
        writer.write((COMMAND + "\n").encode())
        output = await until_prompt()
        conn.close()
        await conn.wait_closed()
        return output

    return asyncio.run_coroutine_threadsafe(asyncio.wait_for(run(), TIMEOUT), event_loop()).result()


def session_system_ssh(port, name, username, password, in_process=False):
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src"))
    from tarvix.eal.spawn import Spawn
    from tarvix.eal.ssh.link import SshSpawn

    if in_process:
        link = SshSpawn("ssh://%s@127.0.0.1:%d" % (username, port), name, timeout=TIMEOUT, passwords=[password],
                        ssh={"host_key_checking": "off"})
    else:
        link = Spawn("ssh -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -p %d %s@127.0.0.1"
                     % (port, username), name, timeout=TIMEOUT)
    try:
        if not in_process:
            link.expect(r"[Pp]assword:\s*\Z")
            link.send_secret(password)
        link.expect(prompt_regex(name))
        link.sendline(COMMAND)
        return link.expect(prompt_regex(name), echo=True).match_output
    finally:
        link.close()


def session_tarvix_ssh(port, name, username, password):
    return session_system_ssh(port, name, username, password, in_process=True)


SESSIONS = {"ssh2": session_ssh2, "paramiko": session_paramiko, "asyncssh": session_asyncssh,
            "system-ssh": session_system_ssh, "tarvix-ssh": session_tarvix_ssh}
IMPORTS = {"ssh2": ["ssh2.session"], "paramiko": ["paramiko"], "asyncssh": ["asyncssh", "asyncio"],
           "system-ssh": ["pexpect"], "tarvix-ssh": ["pexpect", "ssh2.session"]}


def cpu():
    usage = [resource.getrusage(who) for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)]
    return sum(u.ru_utime + u.ru_stime for u in usage)


def worker(lib, ports, username, password, repeat):
    import importlib

    for module in IMPORTS[lib]:
        importlib.import_module(module)
    session = SESSIONS[lib]
    names = sorted(ports)
    if lib == "asyncssh":
        event_loop()
    # One session first, untimed: the first use of a library loads its ciphers.
    session(ports[names[0]], names[0], username, password)
    walls = []
    cpu_before = cpu()
    for i in range(repeat):
        name = names[i % len(names)]
        began = time.monotonic()
        output = session(ports[name], name, username, password)
        walls.append(time.monotonic() - began)
        assert "*" in output, output
    one_cpu = (cpu() - cpu_before) / repeat
    failures = []

    def run(name):
        try:
            session(ports[name], name, username, password)
        except Exception as error:
            failures.append("%s: %s" % (name, error))

    threads = [threading.Thread(target=run, args=(name,)) for name in names]
    cpu_before = cpu()
    began = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    many_wall = time.monotonic() - began
    many_cpu = (cpu() - cpu_before) / len(names)
    return {"lib": lib, "one_wall": statistics.median(walls), "one_cpu": one_cpu, "many": len(names),
            "many_wall": many_wall, "many_cpu": many_cpu, "failures": failures[:3], "failed": len(failures)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sessions", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=10)
    parser.add_argument("--bed-processes", type=int, default=2)
    parser.add_argument("--libs", default=",".join(LIBS))
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        setup = json.loads(sys.stdin.read())
        sys.stdout.write(json.dumps(worker(args.worker, setup["ports"], setup["username"], setup["password"],
                                           args.repeat)) + "\n")
        return 0
    sys.path.insert(0, HERE)
    import fleet

    python = os.environ.get("TARVIX_DEVICES_PYTHON") or os.path.join(os.path.dirname(HERE), ".venv-devices", "bin",
                                                                      "python")
    beds, ports, username, password = fleet.start_devices(args.sessions, args.bed_processes, python)
    try:
        setup = json.dumps({"ports": ports, "username": username, "password": password})
        print("%-11s %12s %12s %14s %14s %8s" % ("library", "1: wall s", "1: CPU ms", "%d: wall s" % args.sessions,
                                                  "%d: CPU ms/s." % args.sessions, "failed"))
        for lib in args.libs.split(","):
            done = subprocess.run([sys.executable, "-W", "ignore", os.path.abspath(__file__), "--worker", lib, "--repeat",
                                   str(args.repeat)], input=setup, stdout=subprocess.PIPE, universal_newlines=True,
                                  timeout=600)
            if done.returncode:
                print("%-11s failed (exit status %d)" % (lib, done.returncode))
                continue
            r = json.loads(done.stdout.strip().splitlines()[-1])
            print("%-11s %12.3f %12.1f %14.2f %14.1f %8d %s" % (lib, r["one_wall"], r["one_cpu"] * 1e3, r["many_wall"],
                                                             r["many_cpu"] * 1e3, r["failed"],
                                                             "; ".join(r["failures"])))
            sys.stdout.flush()
    finally:
        fleet.stop_devices(beds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
