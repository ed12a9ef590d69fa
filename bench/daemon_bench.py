#!/usr/bin/python3
"""Latency of the daemon's methods through the bus, beside two floors measured
in the same run, alone and under 20 concurrent callers, and a large compile
and delivery through the daemon, with what it records in /run/tavo and what
tavo-policy-check --in-force and --status then cost.

    tests/harness/tavo_sandbox.py --bin-dir BUILD --scratch DIR --no-services -- \\
        /usr/bin/python3 bench/daemon_bench.py [--calls N] [--files F] [--rules R] \\
        [--baseline OTHER_BUILD] [--rounds K] [--polkit-flood SECONDS] \\
        [--against-checker CHECKER]

Runs inside the integration sandbox and starts its services itself (real bus
daemon, real polkitd, tavo-simkernel, the daemon of BUILD). Floors: a bare
round trip to the daemon (org.freedesktop.DBus.Peer.Ping) and polkit's
CheckAuthorization for the same subject, called directly. Alone, the floors
and the methods are called in turn on one connection, so that the ratios do
not move with the host's load; under 20 callers each call is measured on
its own. With --baseline the daemon of OTHER_BUILD is measured too,
alternately with BUILD's in K rounds, so that both see the same host.
--files 0 leaves out the large compile. --polkit-flood measures root's calls
for SECONDS alone and then while an ordinary account (alice, whom the bus
does not let reach the daemon) keeps 100 CheckAuthorization questions
pending at polkitd from each of 3 connections. Prints figures and the
host's load average at the start and the end; asserts nothing.

--against-checker CHECKER measures only the daemon's compilePolicy of the
benchmark set (--files x --rules) against `CHECKER --quiet` on the same
directory, alternately in K rounds: CPU time per compile (the daemon's
utime+stime around each call, the checker's rusage), wall time, and peak RSS.
"""

import argparse
import multiprocessing
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import threading
import time

import dbus

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "harness"))
import tavo_sandbox  # noqa: E402

POLICY_DIR = pathlib.Path("/etc/tavo/policy")
POLICY = b"""string name = web
dynamic bool guard = false
%SECTION front
allow root "/usr/bin/app" "/var/www/*" file { read, write } if ($guard)
%ENDSEC
"""
CONCURRENT_CALLERS = 20
WARM_UP = 50
METHODS = ["compilePolicy", "compileInitPolicy", "compileSectionPolicy", "sendPolicy", "modifyDynamicVariable"]


def percentile(samples, p):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def callers(bus):
    """The calls measured, by name, on `bus`."""
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

    return {"Ping": peer.Ping, "CheckAuthorization": check,
            "compilePolicy": lambda: mgr.compilePolicy(), "compileInitPolicy": lambda: mgr.compileInitPolicy(),
            "compileSectionPolicy": lambda: mgr.compileSectionPolicy("web", "front"),
            "sendPolicy": lambda: mgr.sendPolicy(),
            "modifyDynamicVariable": lambda: mgr.modifyDynamicVariable("web", "guard", 1)}


def samples_of(name, calls, start_at=None):
    """Latencies (ms) of `calls` calls of `name` on a connection of its own;
    with `start_at`, the calls begin at that moment (so that concurrent
    callers overlap)."""
    bus = dbus.SystemBus(private=True)
    fn = callers(bus)[name]
    for _ in range(min(WARM_UP, calls)):
        fn()
    if start_at is not None:
        time.sleep(max(0.0, start_at - time.time()))
    samples = []
    for _ in range(calls):
        start = time.perf_counter()
        fn()
        samples.append((time.perf_counter() - start) * 1000)
    bus.close()
    return samples


def rotation_samples(names, calls):
    """Latencies (ms) of `calls` calls of each of `names` on one connection,
    one call of each in turn, so that the floors and the methods see the
    same host however its load moves during the run."""
    bus = dbus.SystemBus(private=True)
    fns = callers(bus)
    for _ in range(min(WARM_UP, calls)):
        for name in names:
            fns[name]()
    samples = {name: [] for name in names}
    for _ in range(calls):
        for name in names:
            start = time.perf_counter()
            fns[name]()
            samples[name].append((time.perf_counter() - start) * 1000)
    bus.close()
    return samples


def concurrent_samples(name, calls):
    start_at = time.time() + 1.0
    with multiprocessing.get_context("fork").Pool(CONCURRENT_CALLERS) as pool:
        parts = pool.starmap(samples_of, [(name, calls, start_at)] * CONCURRENT_CALLERS)
    return [s for part in parts for s in part]


def measure(calls, concurrent_calls):
    """{(name, alone or concurrent): (median, p99)} for the floors and the
    methods."""
    figures = {}
    names = ["Ping", "CheckAuthorization", *METHODS]
    for name, samples in rotation_samples(names, calls).items():
        figures[name, "alone"] = (statistics.median(samples), percentile(samples, 99))
    for name in names:
        samples = concurrent_samples(name, concurrent_calls)
        figures[name, "20 callers"] = (statistics.median(samples), percentile(samples, 99))
    return figures


def report(label, rounds):
    """Median over the rounds of each figure."""
    print(f"{label}: medians of {len(rounds)} rounds (ms)")
    for mode in ("alone", "20 callers"):
        med = {name: statistics.median(r[name, mode][0] for r in rounds) for name in ["Ping", "CheckAuthorization",
                                                                                      *METHODS]}
        p99 = {name: statistics.median(r[name, mode][1] for r in rounds) for name in med}
        floor = med["Ping"] + med["CheckAuthorization"]
        print(f"  {mode:<11}                      median     p99   median / (Ping + CheckAuthorization)")
        for name in med:
            ratio = "" if name in ("Ping", "CheckAuthorization") else f"   {med[name] / floor:5.2f}x"
            print(f"    {name:<30} {med[name]:8.3f} {p99[name]:7.3f}{ratio}")


def memory(pid):
    fields = {}
    for line in open(f"/proc/{pid}/status"):
        key, _, value = line.partition(":")
        if key in ("VmRSS", "VmHWM"):
            fields[key] = int(value.split()[0]) / 1024
    return fields


def clear_policy_dir():
    for entry in POLICY_DIR.iterdir():
        shutil.rmtree(entry) if entry.is_dir() else entry.unlink()


def large_set(box, files, rules):
    clear_policy_dir()
    subprocess.run([str(box.bin_dir / "bench" / "tavo-gen-policies"), "--files", str(files), "--rules", str(rules),
                    str(POLICY_DIR)], check=True, stdout=subprocess.DEVNULL)
    bus = dbus.SystemBus(private=True)
    mgr = dbus.Interface(bus.get_object("com.norda.zupolicy", "/policymgr"), "com.norda.zupolicy.policymgr")
    # Pings from another connection while the compile runs: how long the
    # daemon's event loop is held.
    pings = []
    done = threading.Event()

    def ping():
        other = dbus.SystemBus(private=True)
        while not done.is_set():
            start = time.perf_counter()
            other.call_blocking("com.norda.zupolicy", "/policymgr", "org.freedesktop.DBus.Peer", "Ping", "", [],
                                timeout=3600)
            pings.append((time.perf_counter() - start) * 1000)
            time.sleep(0.05)
        other.close()
    pinger = threading.Thread(target=ping)
    start = time.perf_counter()
    pinger.start()
    compiled = mgr.compilePolicy(timeout=3600)
    middle = time.perf_counter()
    done.set()
    pinger.join()
    sent = mgr.sendPolicy(timeout=3600)
    end = time.perf_counter()
    bus.close()
    mem = memory(box.daemon.pid)
    print(f"  benchmark set ({files} files x {rules} rules): compilePolicy {middle - start:.2f} s (code {compiled}), "
          f"sendPolicy {end - middle:.2f} s (code {sent}), together {end - start:.2f} s; daemon RSS afterwards "
          f"{mem['VmRSS']:.1f} MiB, peak {mem['VmHWM']:.1f} MiB; Ping during the compile: {len(pings)} answered, "
          f"slowest {max(pings):.1f} ms")
    record_cost(box)
    clear_policy_dir()


def run_child(argv):
    """Wall time and peak RSS (MiB) of one run of a program, and its status."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    return time.perf_counter() - start, usage.ru_maxrss / 1024, os.waitstatus_to_exitcode(status)


def record_cost(box, runs=3):
    """What the daemon recorded in /run/tavo for the set, and what the
    checker's reports on it cost (a daemon that records nothing: nothing)."""
    record = pathlib.Path("/run/tavo")
    if not (record / "record").exists():
        return
    size = lambda path: sum(f.stat().st_size for f in path.rglob("*") if f.is_file())
    print(f"  record in {record}: sources {size(record / 'sources'):,} bytes (the policy files: "
          f"{size(POLICY_DIR):,}), record text {(record / 'record').stat().st_size:,} bytes")
    check = str(box.bin_dir / "tools" / "tavo-policy-check" / "tavo-policy-check")
    for what, argv in (("--in-force (the same policy)", [check, "--in-force"]), ("--status", [check, "--status"])):
        taken = [run_child(argv) for _ in range(runs)]
        print(f"  tavo-policy-check {what}: {statistics.median(t[0] for t in taken):.2f} s, peak RSS "
              f"{max(t[1] for t in taken):.1f} MiB (exit {sorted({t[2] for t in taken})})")
    shutil.rmtree(record)


def cpu_and_faults(pid):
    """utime+stime of a running process in seconds, and its minor page
    faults."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), int(fields[7])


def against_checker(box, checker, files, rules, rounds):
    """The daemon's compilePolicy of the benchmark set against the checker's
    --quiet run on it, alternately, with the CPU time each takes."""
    clear_policy_dir()
    subprocess.run([str(box.bin_dir / "bench" / "tavo-gen-policies"), "--files", str(files), "--rules", str(rules),
                    str(POLICY_DIR)], check=True, stdout=subprocess.DEVNULL)
    bus = dbus.SystemBus(private=True)
    mgr = dbus.Interface(bus.get_object("com.norda.zupolicy", "/policymgr"), "com.norda.zupolicy.policymgr")
    loads = [os.getloadavg()[0]]
    daemon_wall, daemon_cpu, daemon_faults, check_wall, check_cpu, check_rss, check_faults = ([] for _ in range(7))
    for _ in range(rounds):
        cpu_before, faults_before = cpu_and_faults(box.daemon.pid)
        start = time.perf_counter()
        code = mgr.compilePolicy(timeout=3600)
        daemon_wall.append(time.perf_counter() - start)
        cpu_after, faults_after = cpu_and_faults(box.daemon.pid)
        daemon_cpu.append(cpu_after - cpu_before)
        daemon_faults.append(faults_after - faults_before)
        assert code == 0, f"compilePolicy answered {code}"
        start = time.perf_counter()
        child = subprocess.Popen([checker, "--quiet", str(POLICY_DIR)], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        check_wall.append(time.perf_counter() - start)
        assert os.waitstatus_to_exitcode(status) == 0, f"{checker} exited with {status}"
        check_cpu.append(usage.ru_utime + usage.ru_stime)
        check_rss.append(usage.ru_maxrss / 1024)
        check_faults.append(usage.ru_minflt)
        loads.append(os.getloadavg()[0])
    bus.close()
    mem = memory(box.daemon.pid)
    med = statistics.median
    busy = " (load > 1: figures are shared with other work)" if max(loads) > 1 else ""
    print(f"benchmark set ({files} files x {rules} rules), {rounds} rounds alternately; 1-minute load "
          f"{min(loads):.2f}..{max(loads):.2f}{busy}")
    print(f"  CPU s per compile   median  fastest: daemon compilePolicy {med(daemon_cpu):.3f} {min(daemon_cpu):.3f}, "
          f"checker --quiet {med(check_cpu):.3f} {min(check_cpu):.3f}; ratio {med(daemon_cpu) / med(check_cpu):.2f} "
          f"(fastest {min(daemon_cpu) / min(check_cpu):.2f})")
    print(f"  wall s per compile  median  fastest: daemon compilePolicy {med(daemon_wall):.3f} {min(daemon_wall):.3f}, "
          f"checker --quiet {med(check_wall):.3f} {min(check_wall):.3f}; ratio {med(daemon_wall) / med(check_wall):.2f}")
    print(f"  minor page faults per compile, median: daemon {med(daemon_faults):,.0f}, checker "
          f"{med(check_faults):,.0f}")
    print(f"  daemon RSS afterwards {mem['VmRSS']:.1f} MiB, peak {mem['VmHWM']:.1f} MiB; checker peak RSS "
          f"{max(check_rss):.1f} MiB")
    clear_policy_dir()


FLOOD_CONNECTIONS = 3
FLOOD_PENDING = 100


def timed_loop(name, seconds):
    """Latencies (ms) of `name` called in a loop for `seconds` on one
    connection."""
    bus = dbus.SystemBus(private=True)
    fn = callers(bus)[name]
    samples = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.perf_counter()
        fn()
        samples.append((time.perf_counter() - start) * 1000)
    bus.close()
    return samples


def polkit_flood(box, seconds):
    """Root's calls alone and while an account floods polkitd."""
    flood = str(box.bin_dir / "tests" / "tavo-test-flood")
    names = ["CheckAuthorization", "compileSectionPolicy"]
    print(f"polkitd flooded by alice ({FLOOD_CONNECTIONS} connections x {FLOOD_PENDING} pending "
          f"CheckAuthorization), root's calls in a loop for {seconds} s each (ms):")
    for label in ("alone", "flooded"):
        floods = []
        if label == "flooded":
            floods = [subprocess.Popen(tavo_sandbox.as_user([flood, "polkit", str(seconds + 2), str(FLOOD_PENDING)],
                                                            "alice"), stdout=subprocess.PIPE, text=True)
                      for _ in range(FLOOD_CONNECTIONS)]
            time.sleep(1)
        figures = {}
        with multiprocessing.get_context("fork").Pool(len(names)) as pool:
            for name, samples in zip(names, pool.starmap(timed_loop, [(n, seconds) for n in names])):
                figures[name] = samples
        answered = sum(int(p.communicate(timeout=60)[0] or 0) for p in floods)
        for name, samples in figures.items():
            print(f"    {label:<8} {name:<22} calls {len(samples):6d}  median {statistics.median(samples):9.2f}  "
                  f"p90 {percentile(samples, 90):9.2f}  max {max(samples):9.2f}")
        if floods:
            print(f"    alice's questions answered by polkitd: {answered / (seconds + 2):.0f} a second")
    print("load average after the polkit flood: %.2f %.2f %.2f" % os.getloadavg())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--concurrent-calls", type=int, default=100, help="calls of each of the 20 callers")
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--rules", type=int, default=1000)
    parser.add_argument("--baseline", help="another build whose daemon is measured alternately")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--polkit-flood", type=int, default=0, metavar="SECONDS")
    parser.add_argument("--against-checker", metavar="CHECKER",
                        help="only the daemon's compile of the benchmark set against CHECKER --quiet")
    args = parser.parse_args()

    bin_dir = pathlib.Path(os.environ["TAVO_SANDBOX_BIN"])
    box = tavo_sandbox.Sandbox(bin_dir, os.environ["TAVO_SANDBOX_STATE"])
    daemons = [("this build", bin_dir / "daemon" / "tavo-policyd")]
    if args.baseline:
        daemons.append(("baseline", pathlib.Path(args.baseline).resolve() / "daemon" / "tavo-policyd"))
    print("load average at the start: %.2f %.2f %.2f" % os.getloadavg())
    box.start_all()
    try:
        if args.against_checker:
            against_checker(box, str(pathlib.Path(args.against_checker).resolve()), args.files, args.rules,
                            args.rounds)
            return
        clear_policy_dir()
        (POLICY_DIR / "web.p").write_bytes(POLICY)
        rounds = {label: [] for label, _ in daemons}
        for _ in range(args.rounds):
            for label, exe in daemons:
                box.stop("daemon")
                box.daemon_exe = exe
                box.start_daemon()
                bus = dbus.SystemBus(private=True)
                mgr = dbus.Interface(bus.get_object("com.norda.zupolicy", "/policymgr"),
                                     "com.norda.zupolicy.policymgr")
                assert mgr.compilePolicy() == 0 and mgr.sendPolicy() == 0
                bus.close()
                rounds[label].append(measure(args.calls, args.concurrent_calls))
        for label, exe in daemons:
            report(f"{label} ({exe})", rounds[label])
        print("load average after the calls: %.2f %.2f %.2f" % os.getloadavg())
        if args.polkit_flood > 0:
            box.stop("daemon")
            box.daemon_exe = daemons[0][1]
            box.start_daemon()
            polkit_flood(box, args.polkit_flood)
        for label, exe in daemons if args.files > 0 else []:
            box.stop("daemon")
            box.daemon_exe = exe
            box.start_daemon()
            print(f"{label}:")
            large_set(box, args.files, args.rules)
    finally:
        box.stop_all()


if __name__ == "__main__":
    main()
