#!/usr/bin/python3
"""Latency of the daemon's methods through the bus, beside two floors measured
in the same run, and a large compile and delivery through the daemon, with
what recording it costs and what the checker's reports on it cost.

    tests/harness/tavo_sandbox.py --bin-dir BUILD --scratch DIR -- \\
        /usr/bin/python3 bench/daemon_bench.py [--calls N] [--files F] [--rules R]
        [--runs K] [--no-latency]

Runs inside the integration sandbox (real bus daemon, real polkitd, the
daemon of BUILD). Floors: a bare round trip to the daemon
(org.freedesktop.DBus.Peer.Ping) and polkit's CheckAuthorization for the
same subject, called directly. The large set is compiled and delivered K
times (medians); then the record in /run/tavo is weighed against the policy
files, and tavo-policy-check --in-force and --status run K times on it
(median wall time, peak RSS). Prints figures; asserts nothing.
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import time

import dbus

POLICY_DIR = pathlib.Path("/etc/tavo/policy")
POLICY = b"""string name = web
dynamic bool guard = false
%SECTION front
allow root "/usr/bin/app" "/var/www/*" file { read, write } if ($guard)
%ENDSEC
"""


def percentile(samples, p):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def measure(fn, calls):
    for _ in range(min(50, calls)):
        fn()
    samples = []
    for _ in range(calls):
        start = time.perf_counter()
        fn()
        samples.append((time.perf_counter() - start) * 1000)
    return statistics.median(samples), percentile(samples, 99)


def daemon_pid(bus):
    proxy = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    return int(proxy.GetConnectionUnixProcessID("com.norda.zupolicy", dbus_interface="org.freedesktop.DBus"))


def memory(pid):
    fields = {}
    for line in open(f"/proc/{pid}/status"):
        key, _, value = line.partition(":")
        if key in ("VmRSS", "VmHWM"):
            fields[key] = int(value.split()[0]) / 1024
    return fields


def tree_bytes(path):
    path = pathlib.Path(path)
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file()) if path.exists() else 0


def run_child(argv):
    """Wall time and peak RSS (MiB) of one run of a program, and its status."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    return time.perf_counter() - start, usage.ru_maxrss / 1024, child.returncode


def clear_policy_dir():
    for entry in POLICY_DIR.iterdir():
        shutil.rmtree(entry) if entry.is_dir() else entry.unlink()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--rules", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-latency", action="store_true")
    args = parser.parse_args()

    bus = dbus.SystemBus()
    obj = bus.get_object("com.norda.zupolicy", "/policymgr")
    mgr = dbus.Interface(obj, "com.norda.zupolicy.policymgr")
    peer = dbus.Interface(obj, "org.freedesktop.DBus.Peer")
    authority = dbus.Interface(bus.get_object("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority"),
                               "org.freedesktop.PolicyKit1.Authority")
    subject = dbus.Struct(("system-bus-name", {"name": dbus.String(bus.get_unique_name(), variant_level=1)}),
                          signature="sa{sv}")

    def check():
        authorized, _, _ = authority.CheckAuthorization(subject, "com.norda.zupolicy.access",
                                                        dbus.Dictionary({}, signature="ss"), dbus.UInt32(0), "")
        assert authorized

    clear_policy_dir()
    (POLICY_DIR / "web.p").write_bytes(POLICY)
    assert mgr.compilePolicy() == 0 and mgr.sendPolicy() == 0
    if not args.no_latency:
        latency(args, mgr, peer, check)
    large_set(args, bus, mgr)


def latency(args, mgr, peer, check):
    ping = measure(peer.Ping, args.calls)
    auth = measure(check, args.calls)
    floor = ping[0] + auth[0]
    print(f"latency over {args.calls} calls (ms)      median     p99   median / (Ping + CheckAuthorization)")
    print(f"  Peer.Ping (floor)              {ping[0]:8.3f} {ping[1]:7.3f}")
    print(f"  CheckAuthorization (floor)     {auth[0]:8.3f} {auth[1]:7.3f}")
    methods = [("compilePolicy", lambda: mgr.compilePolicy()), ("compileInitPolicy", lambda: mgr.compileInitPolicy()),
               ("compileSectionPolicy", lambda: mgr.compileSectionPolicy("web", "front")),
               ("sendPolicy", lambda: mgr.sendPolicy()),
               ("modifyDynamicVariable", lambda: mgr.modifyDynamicVariable("web", "guard", 1))]
    for name, fn in methods:
        med, p99 = measure(fn, args.calls)
        print(f"  {name:<30} {med:8.3f} {p99:7.3f}   {med / floor:5.2f}x")



def large_set(args, bus, mgr):
    clear_policy_dir()
    bin_dir = pathlib.Path(os.environ["TAVO_SANDBOX_BIN"])
    subprocess.run([str(bin_dir / "bench" / "tavo-gen-policies"), "--files", str(args.files), "--rules",
                    str(args.rules), str(POLICY_DIR)], check=True, stdout=subprocess.DEVNULL)
    pid = daemon_pid(bus)
    compiles, sends, codes = [], [], set()
    for _ in range(args.runs):
        start = time.perf_counter()
        codes.add(int(mgr.compilePolicy(timeout=3600)))
        middle = time.perf_counter()
        codes.add(int(mgr.sendPolicy(timeout=3600)))
        end = time.perf_counter()
        compiles.append(middle - start)
        sends.append(end - middle)
    mem = memory(pid)
    print(f"benchmark set ({args.files} files x {args.rules} rules) through the daemon, median of {args.runs}:")
    print(f"  compilePolicy {statistics.median(compiles):.2f} s, sendPolicy {statistics.median(sends):.2f} s "
          f"(codes {sorted(codes)}), together {statistics.median(compiles) + statistics.median(sends):.2f} s")
    print(f"  daemon memory afterwards: RSS {mem['VmRSS']:.1f} MiB, peak {mem['VmHWM']:.1f} MiB")

    record = pathlib.Path("/run/tavo")
    if record.exists():
        sources = tree_bytes(POLICY_DIR)
        stored = tree_bytes(record / "sources")
        index = (record / "record").stat().st_size
        print(f"  record in {record}: sources {stored:,} bytes (the policy files: {sources:,}), "
              f"record text {index:,} bytes")
        check = str(bin_dir / "tools" / "tavo-policy-check" / "tavo-policy-check")
        for what, argv in (("--in-force (the same policy)", [check, "--in-force"]),
                           ("--status", [check, "--status"])):
            runs = [run_child(argv) for _ in range(args.runs)]
            print(f"  tavo-policy-check {what}: {statistics.median(r[0] for r in runs):.2f} s, "
                  f"peak RSS {max(r[1] for r in runs):.1f} MiB (exit {sorted({r[2] for r in runs})})")
    clear_policy_dir()


if __name__ == "__main__":
    main()
