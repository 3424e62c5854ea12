"""Files to a device, side by side in one run.

1. A file (1 GiB by default) put to a real OpenSSH sshd on 127.0.0.1 (its
   sftp-server, the linux platform) that offers one cipher only
   (``--cipher``, AES-128-GCM by default), so that every contender uses
   the same; the copies land on a tmpfs.  The system ``sftp`` and ``scp``;
   tarvix's ``put_file`` on its in-process link over SFTP (through the
   system sftp program, as a file this large goes), over SFTP on libssh2
   and over SCP on libssh2, not verified, and verified by the device's
   sha256sum and by its md5sum (Netmiko's sum); Netmiko's
   ``file_transfer`` (SCP, verified by md5sum on both sides) where
   ``--netmiko-python`` names an interpreter that has it.  Each contender
   ``--rounds`` times, in turns; the median is told, with the load average
   of its runs.  Wall time and CPU: the programs' own processes with their
   connect; tarvix's process and the programs it ran (the sftp program with
   its connect) for the copy alone, after connecting (with the CLI's
   connect and disconnect too in brackets); Netmiko's process for the copy
   alone.
2. ``--fleet N`` simulated routers (the SSH simulator in a process of its
   own) each receiving an image of ``--image-mb`` MB with ``tarvix run
   --put``, ``--workers`` at a time: the wall time and the driver's CPU
   per MB moved.

    python benchmarks/files.py [--mb 1024] [--rounds 3] [--cipher C] [--fleet 100] [--image-mb 20]
                               [--workers 20] [--netmiko-python .venv-bench-peers/bin/python] [--json FILE]
"""
import argparse
import contextlib
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))

import sshdbed  # noqa: E402

SFTP = "Subsystem sftp /usr/lib/openssh/sftp-server"
NETMIKO = r'''
import json, resource, sys, time
from netmiko import ConnectHandler, file_transfer
port, user, password, source, target = sys.argv[1:6]
con = ConnectHandler(device_type="linux", host="127.0.0.1", port=int(port), username=user, password=password)
usage = resource.getrusage(resource.RUSAGE_SELF)
began, cpu = time.monotonic(), usage.ru_utime + usage.ru_stime
done = file_transfer(con, source_file=source, dest_file=target.rsplit("/", 1)[1],
                     file_system=target.rsplit("/", 1)[0], direction="put", overwrite_file=True)
usage = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"seconds": time.monotonic() - began, "cpu": usage.ru_utime + usage.ru_stime - cpu,
                  "verified": done["file_verified"], "cipher": getattr(con.remote_conn.get_transport(), "remote_cipher", None)}))
con.disconnect()
'''


def _cpu(who=resource.RUSAGE_SELF):
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def _all_cpu():
    """This process's CPU and that of the programs it ran (and waited for)."""
    return _cpu() + _cpu(resource.RUSAGE_CHILDREN)


def _program(argv, stdin=None):
    began, cpu = time.monotonic(), _cpu(resource.RUSAGE_CHILDREN)
    subprocess.run(argv, input=stdin, check=True, stdout=subprocess.DEVNULL)
    return {"seconds": time.monotonic() - began, "cpu": _cpu(resource.RUSAGE_CHILDREN) - cpu}


def _client_options(key, cipher):
    return ["-q", "-i", key, "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
            "-o", "BatchMode=yes", "-c", cipher]


@contextlib.contextmanager
def _carried(by, algorithm):
    """tarvix's put carried ``by`` "program" (the sftp program, as a large
    file goes) or "libssh2", summed with ``algorithm`` (None: the device's
    first, sha256)."""
    from tarvix.files import device, programs

    size, algorithm_of = programs.PROGRAM_SIZE, device.DeviceFiles.algorithm
    programs.PROGRAM_SIZE = 0 if by == "program" else 1 << 62
    if algorithm:
        device.DeviceFiles.algorithm = lambda files, wanted: algorithm_of(files, wanted or algorithm)
    try:
        yield
    finally:
        programs.PROGRAM_SIZE, device.DeviceFiles.algorithm = size, algorithm_of


def _tarvix(bed, source, target, by="program", algorithm=None, **options):
    from tarvix.bases.connection import Connection

    whole, whole_cpu = time.monotonic(), _all_cpu()
    con = Connection(hostname="device", start=bed.url, os="linux", credentials=bed.credentials, learn_hostname=True,
                     connection_timeout=30, ssh={"host_key_checking": False})
    with con, _carried(by, algorithm):
        began, cpu = time.monotonic(), _all_cpu()
        report = con.put_file(source, target, overwrite=True, **options)
        figures = {"seconds": time.monotonic() - began, "cpu": _all_cpu() - cpu, "verified": report.verified,
                   "checksum": report.checksum[0] if report.checksum else None}
    # With its connect and disconnect, as the programs' figures are.
    figures.update(whole_seconds=time.monotonic() - whole, whole_cpu=_all_cpu() - whole_cpu)
    return figures


def _sums(bed, target):
    """The device's own sums of the landed file, timed (what the verified
    copies wait for after the bytes)."""
    from tarvix.bases.connection import Connection

    figures = {}
    with Connection(hostname="device", start=bed.url, os="linux", credentials=bed.credentials, learn_hostname=True,
                    connection_timeout=30, ssh={"host_key_checking": False}) as con:
        for algorithm in ("sha256", "md5"):
            began = time.monotonic()
            con.file_checksum(target, algorithm)
            figures[algorithm] = time.monotonic() - began
    return figures


def one_file(args, folder):
    source = os.path.join(folder, "file.bin")
    with open(source, "wb") as out:
        for _ in range(args.mb):
            out.write(os.urandom(1 << 20))
    key, authorized = sshdbed.client_key(folder)
    runs = {}
    # The system clients log in with a key (no password prompt to answer),
    # tarvix and Netmiko with the user's password; all with the one cipher.
    settings = [SFTP, "AuthorizedKeysFile %s" % authorized, "PubkeyAuthentication yes", "Ciphers %s" % args.cipher]
    # The copies land on a tmpfs: the clients are compared, not the disk's
    # writeback of the copy before.
    landing = os.path.join(folder, "landing")
    os.makedirs(landing)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm,mode=1777" % (args.mb * 2 + 64), "tmpfs", landing],
                   check=True)
    target = os.path.join(landing, "copy.bin")
    try:
        with sshdbed.Sshd(settings=settings, login_shell="/bin/bash") as bed:
            contenders = _contenders(args, bed, key, source, target)
            for round_ in range(args.rounds):
                turn = round_ % len(contenders)
                for name, run in contenders[turn:] + contenders[:turn]:
                    if os.path.exists(target):
                        os.remove(target)
                    try:
                        figures = run()
                    except subprocess.CalledProcessError:
                        # (Netmiko where paramiko has not the cipher.)
                        print("  round %d  %-28s failed: left out" % (round_ + 1, name), flush=True)
                        contenders = [each for each in contenders if each[0] != name]
                        runs.pop(name, None)
                        continue
                    figures["load"] = os.getloadavg()[0]
                    runs.setdefault(name, []).append(figures)
                    print("  round %d  %-28s %6.2f s wall %6.2f s CPU  load %.1f" % (
                        round_ + 1, name, figures["seconds"], figures["cpu"], figures["load"]), flush=True)
            sums = _sums(bed, target)
    finally:
        subprocess.run(["umount", landing], check=True)
    return dict((name, _median(each)) for name, each in runs.items()), sums


def _median(runs):
    figures = dict((key, statistics.median(run[key] for run in runs)) for key in runs[0]
                   if isinstance(runs[0][key], float))
    figures.update((key, runs[0][key]) for key in runs[0] if not isinstance(runs[0][key], float))
    figures["loads"] = [round(run["load"], 1) for run in runs]
    return figures


def _contenders(args, bed, key, source, target):
    login = "%s@127.0.0.1" % bed.user
    options = _client_options(key, args.cipher)
    sftp = ["sftp"] + options + ["-P", str(bed.port), "-b", "-", login]
    scp = ["scp"] + options + ["-P", str(bed.port), source, "%s:%s" % (login, target)]
    contenders = [
        ("system sftp", lambda: _program(sftp, ("put %s %s\n" % (source, target)).encode())),
        ("system scp", lambda: _program(scp)),
        ("tarvix sftp", lambda: _tarvix(bed, source, target, protocol="sftp", verify=False)),
        ("tarvix sftp, libssh2", lambda: _tarvix(bed, source, target, "libssh2", protocol="sftp", verify=False)),
        ("tarvix scp, libssh2", lambda: _tarvix(bed, source, target, "libssh2", protocol="scp", verify=False)),
        ("tarvix sftp, sha256 verified", lambda: _tarvix(bed, source, target, protocol="sftp")),
        ("tarvix sftp, md5 verified", lambda: _tarvix(bed, source, target, algorithm="md5", protocol="sftp"))]
    if args.netmiko_python:
        argv = [args.netmiko_python, "-c", NETMIKO, str(bed.port), bed.user, sshdbed.PASSWORD, source, target]

        def netmiko():
            done = subprocess.run(argv, stdout=subprocess.PIPE, check=True, universal_newlines=True)
            return json.loads(done.stdout.strip().splitlines()[-1])

        contenders.append(("netmiko scp, md5 verified", netmiko))
    return contenders


def fleet(args, folder):
    from tarvix.fleet.simulate import write_fleet

    image = os.path.join(folder, "image.bin")
    with open(image, "wb") as out:
        out.write(os.urandom(args.image_mb << 20))
    inventory = os.path.join(folder, "fleet")
    base = 42000
    write_fleet(inventory, args.fleet, ssh_ports=base, password="pw")
    serving = subprocess.Popen([sys.executable, "-m", "tarvix", "simulate", "--serve", inventory],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(3 + args.fleet / 50.0)
        env = dict(os.environ, TARVIX_PASSWORD="pw")
        argv = [sys.executable, "-m", "tarvix", "run", "--inventory", inventory, "--put", "%s:flash:image.bin" % image,
                "--workers", str(args.workers), "--json"]
        began, cpu = time.monotonic(), _cpu(resource.RUSAGE_CHILDREN)
        done = subprocess.run(argv, env=env, stdout=subprocess.PIPE, universal_newlines=True)
        seconds, cpu = time.monotonic() - began, _cpu(resource.RUSAGE_CHILDREN) - cpu
    finally:
        serving.terminate()
        serving.wait(30)
    document = json.loads(done.stdout)
    moved = sum(t["bytes"] for host in document["hosts"] for t in host.get("transfers", [])) / 1e6
    return {"devices": args.fleet, "ok": document["ok"], "seconds": seconds, "driver_cpu": cpu,
            "mb": moved, "cpu_per_mb": cpu / moved if moved else None}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=3, help="runs of each contender, in turns (the median is told)")
    parser.add_argument("--cipher", default="aes128-gcm@openssh.com", help="the one cipher the server offers")
    parser.add_argument("--fleet", type=int, default=100)
    parser.add_argument("--image-mb", type=int, default=20)
    parser.add_argument("--workers", type=int, default=20)
    parser.add_argument("--netmiko-python")
    parser.add_argument("--json")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="tarvix-bench-files-")
    os.chmod(folder, 0o755)
    try:
        figures = {"one_file_mb": args.mb, "cipher": args.cipher}
        if args.mb:
            figures["one_file"], figures["device_sums"] = one_file(args, folder)
            print("medians of %d rounds, %s:" % (args.rounds, args.cipher))
            for name, run in figures["one_file"].items():
                print("%-30s %7.2f s wall  %6.2f s CPU%s  load %s" % (
                    name, run["seconds"], run["cpu"], "" if "whole_seconds" not in run else
                    "  (with connect: %.2f s wall, %.2f s CPU)" % (run["whole_seconds"], run["whole_cpu"]),
                    "/".join("%.1f" % load for load in run["loads"])))
            print("the device's own sums of the file: %s" % ", ".join(
                "%s %.2f s" % item for item in sorted(figures["device_sums"].items())))
        if args.fleet:
            figures["fleet"] = fleet(args, folder)
            print("fleet: %(devices)d devices, %(ok)d ok, %(mb).0f MB in %(seconds).1f s, driver CPU %(driver_cpu).1f s "
                  "(%(cpu_per_mb).4f s per MB)" % figures["fleet"])
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(figures, out, indent=1)


if __name__ == "__main__":
    main()
