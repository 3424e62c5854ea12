"""Files to a device, side by side in one run.

1. A file (1 GiB by default) put to a real OpenSSH sshd on 127.0.0.1 (its
   sftp-server, the linux platform): the system ``sftp`` and ``scp``,
   tarvix's ``put_file`` over SFTP and over SCP on its in-process link (not
   verified, and verified by the device's sha256sum), and Netmiko's
   ``file_transfer`` (SCP, verified by md5sum) where ``--netmiko-python``
   names an interpreter that has it.  Wall time and the driver's CPU (the
   process, or the programs' own): the programs' with their connect, the
   libraries' of the copy alone, after connecting (tarvix's with its
   connect and disconnect too).
2. ``--fleet N`` simulated routers (the SSH simulator in a process of its
   own) each receiving an image of ``--image-mb`` MB with ``tarvix run
   --put``, ``--workers`` at a time: the wall time and the driver's CPU
   per MB moved.

    python benchmarks/files.py [--mb 1024] [--fleet 100] [--image-mb 20] [--workers 20]
                               [--netmiko-python .venv-bench-peers/bin/python] [--json FILE]
"""
import argparse
import json
import os
import resource
import shutil
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
                  "verified": done["file_verified"]}))
con.disconnect()
'''


def _cpu(who=resource.RUSAGE_SELF):
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def _program(argv, stdin=None):
    os.sync()
    began, cpu = time.monotonic(), _cpu(resource.RUSAGE_CHILDREN)
    subprocess.run(argv, input=stdin, check=True, stdout=subprocess.DEVNULL)
    return {"seconds": time.monotonic() - began, "cpu": _cpu(resource.RUSAGE_CHILDREN) - cpu}


def _client_options(key):
    return ["-q", "-i", key, "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
            "-o", "BatchMode=yes"]


def _tarvix(bed, source, target, **options):
    from tarvix.bases.connection import Connection

    os.sync()
    whole, whole_cpu = time.monotonic(), _cpu()
    con = Connection(hostname="device", start=bed.url, os="linux", credentials=bed.credentials, learn_hostname=True,
                     connection_timeout=30, ssh={"host_key_checking": False})
    with con:
        began, cpu = time.monotonic(), _cpu()
        report = con.put_file(source, target, overwrite=True, **options)
        figures = {"seconds": time.monotonic() - began, "cpu": _cpu() - cpu, "verified": report.verified}
    # With its connect and disconnect, as the programs' figures are.
    figures.update(whole_seconds=time.monotonic() - whole, whole_cpu=_cpu() - whole_cpu)
    return figures


def one_file(args, folder):
    source = os.path.join(folder, "file.bin")
    with open(source, "wb") as out:
        for _ in range(args.mb):
            out.write(os.urandom(1 << 20))
    key, authorized = sshdbed.client_key(folder)
    runs = {}
    # The system clients log in with a key (no password prompt to answer),
    # tarvix and Netmiko with the user's password.
    settings = [SFTP, "AuthorizedKeysFile %s" % authorized, "PubkeyAuthentication yes"]
    # The copies land on a tmpfs: the clients are compared, not the disk's
    # writeback of the copy before.
    landing = os.path.join(folder, "landing")
    os.makedirs(landing)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm,mode=1777" % (args.mb * 2 + 64), "tmpfs", landing],
                   check=True)
    try:
        with sshdbed.Sshd(settings=settings, login_shell="/bin/bash") as bed:
            contenders = _contenders(args, bed, key, source, os.path.join(landing, "copy.bin"))
            for round_ in range(args.rounds):
                for name, run in contenders[round_ % 2:] + contenders[:round_ % 2]:
                    target = os.path.join(landing, "copy.bin")
                    if os.path.exists(target):
                        os.remove(target)
                    runs.setdefault(name, []).append(run())
    finally:
        subprocess.run(["umount", landing], check=True)
    return dict((name, min(each, key=lambda run: run["seconds"])) for name, each in runs.items())


def _contenders(args, bed, key, source, target):
    login = "%s@127.0.0.1" % bed.user
    sftp = ["sftp"] + _client_options(key) + ["-P", str(bed.port), "-b", "-", login]
    scp = ["scp"] + _client_options(key) + ["-P", str(bed.port), source, "%s:%s" % (login, target)]
    contenders = [
        ("system sftp", lambda: _program(sftp, ("put %s %s\n" % (source, target)).encode())),
        ("system scp", lambda: _program(scp)),
        ("tarvix sftp", lambda: _tarvix(bed, source, target, protocol="sftp", verify=False)),
        ("tarvix scp", lambda: _tarvix(bed, source, target, protocol="scp", verify=False)),
        ("tarvix sftp, verified", lambda: _tarvix(bed, source, target, protocol="sftp")),
        ("tarvix scp, verified", lambda: _tarvix(bed, source, target, protocol="scp"))]
    if args.netmiko_python:
        argv = [args.netmiko_python, "-c", NETMIKO, str(bed.port), bed.user, sshdbed.PASSWORD, source, target]

        def netmiko():
            done = subprocess.run(argv, stdout=subprocess.PIPE, check=True, universal_newlines=True)
            return json.loads(done.stdout.strip().splitlines()[-1])

        contenders.append(("netmiko scp, verified", netmiko))
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
    parser.add_argument("--fleet", type=int, default=100)
    parser.add_argument("--image-mb", type=int, default=20)
    parser.add_argument("--workers", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=2, help="runs of each contender, in turns (the best is told)")
    parser.add_argument("--netmiko-python")
    parser.add_argument("--json")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="tarvix-bench-files-")
    os.chmod(folder, 0o755)
    try:
        figures = {"one_file_mb": args.mb, "one_file": one_file(args, folder)}
        for name, run in figures["one_file"].items():
            print("%-24s %7.2f s wall  %6.2f s CPU%s" % (name, run["seconds"], run["cpu"], "" if "whole_seconds" not in run
                                                         else "  (with connect: %.2f s wall, %.2f s CPU)"
                                                         % (run["whole_seconds"], run["whole_cpu"])))
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
