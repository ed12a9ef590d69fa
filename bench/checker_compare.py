#!/usr/bin/python3
"""The checkers of several builds timed alternately in one run, on the
benchmark set, the plain set (beside checkpolicy on as many allow rules),
and, inside the sandbox, --in-force and --status on the benchmark set
recorded as in force.

    bench/checker_compare.py --generator build/rel/bench/tavo-gen-policies \\
        [--runs 9] [--checkpolicy /usr/bin/checkpolicy] [--recorder build/rel/tests/tavo-test-record] \\
        [--no-reports LABEL] LABEL=CHECKER [LABEL=CHECKER ...]

--in-force and --status need a private /run and /etc (--recorder given and
run under tests/harness/sandbox-run SCRATCH /usr/bin/python3 ...); without
them those rows are left out. Each row: fastest and median of wall time
and user CPU time, and the largest peak RSS, of every build, run in turn
round by round; the load average before and after each row, and a row
taken at a load average over 1 is marked so. Figures only: nothing here
passes or fails on a time."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

POLICY_DIR = "/etc/tavo/policy"


def selinux_policy(rules):
    """A minimal SELinux policy of `rules` allow rules (as bench/policy_generator.cpp)."""
    types = 1
    while types * types < rules:
        types += 1
    out = ["class file\nsid kernel\nclass file { read write }\ntype kernel_t;\n"]
    out += ["type dom_%d;\n" % t for t in range(types)]
    out += ["allow dom_%d dom_%d : file { read write };\n" % (r // types, r % types) for r in range(rules)]
    out.append("role r;\nrole r types { kernel_t };\nuser u roles { r };\nsid kernel u:r:kernel_t\n")
    return "".join(out)


def run_once(argv):
    """Wall seconds, user CPU seconds, peak RSS in MiB and exit status."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1), (os.POSIX_SPAWN_DUP2, devnull, 2)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
    finally:
        os.close(devnull)
    return wall, usage.ru_utime, usage.ru_maxrss / 1024.0, os.waitstatus_to_exitcode(status)


def timed_row(title, commands, runs):
    """commands: [(label, argv)], run in turn `runs` rounds."""
    before = os.getloadavg()[0]
    samples = {label: [] for label, _ in commands}
    codes = {label: set() for label, _ in commands}
    for _ in range(runs):
        for label, argv in commands:
            wall, user, rss, code = run_once(argv)
            samples[label].append((wall, user, rss))
            codes[label].add(code)
    after = os.getloadavg()[0]
    loaded = max(before, after) > 1.0
    print("\n%s (load average %.2f -> %.2f%s)" % (title, before, after, ", LOADED: over 1" if loaded else ""))
    print("| build | wall fastest | wall median | user fastest | user median | peak RSS | exit | median wall, user vs %s |"
          % commands[0][0])
    print("|---|---|---|---|---|---|---|---|")
    first = None
    for label, _ in commands:
        s = samples[label]
        walls = [x[0] for x in s]
        users = [x[1] for x in s]
        row = (min(walls), statistics.median(walls), min(users), statistics.median(users), max(x[2] for x in s))
        if first is None:
            first = row
        ratio = "%.2fx, %.2fx" % (row[1] / first[1], row[3] / first[3]) if first[1] > 0 and first[3] > 0 else "-"
        print("| %s | %.3f s | %.3f s | %.3f s | %.3f s | %.1f MiB | %s | %s |" %
              ((label,) + row + (",".join(str(c) for c in sorted(codes[label])), ratio)))
    sys.stdout.flush()
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--checkpolicy", default="/usr/bin/checkpolicy")
    parser.add_argument("--recorder", help="tavo-test-record, for --in-force and --status (in the sandbox)")
    parser.add_argument("--no-reports", action="append", default=[], metavar="LABEL",
                        help="a build left out of the --in-force and --status rows (one without them)")
    parser.add_argument("builds", nargs="+", metavar="LABEL=CHECKER")
    o = parser.parse_args()
    builds = []
    for b in o.builds:
        label, sep, path = b.partition("=")
        if not sep:
            parser.error("a build is LABEL=CHECKER")
        builds.append((label, os.path.abspath(path)))

    work = tempfile.mkdtemp(prefix="checker-compare-")
    try:
        sets = {"set": [], "plain": ["--plain"]}
        for name, options in sets.items():
            subprocess.run([o.generator] + options + [os.path.join(work, name)], check=True,
                           stdout=subprocess.DEVNULL)
        print("checkers: " + ", ".join("%s=%s" % b for b in builds))
        print("%d rounds, builds in turn; host %s, %d CPUs" % (o.runs, os.uname().nodename, os.cpu_count()))

        set_dir = os.path.join(work, "set")
        plain_dir = os.path.join(work, "plain")
        timed_row("the benchmark set, 100 x 1,000 rules, 600,000 nodes: --quiet DIR",
                  [(label, [path, "--quiet", set_dir]) for label, path in builds], o.runs)

        plain = [(label, [path, "--quiet", plain_dir]) for label, path in builds]
        if os.access(o.checkpolicy, os.X_OK):
            conf = os.path.join(work, "plain.conf")
            with open(conf, "w") as f:
                f.write(selinux_policy(100000))
            plain.append(("checkpolicy", [o.checkpolicy, "-o", os.path.join(work, "plain.bin"), conf]))
        timed_row("the plain set, 100,000 rules, 200,000 nodes: --quiet DIR (checkpolicy: 100,000 allow rules)",
                  plain, o.runs)

        if o.recorder and os.environ.get("TAVO_SANDBOX") == "1":
            # What is in force: the set in the sandbox's policy directory,
            # recorded as the daemon records a delivery.
            for entry in os.listdir(POLICY_DIR):
                os.unlink(os.path.join(POLICY_DIR, entry))
            for entry in os.listdir(set_dir):
                shutil.copy(os.path.join(set_dir, entry), POLICY_DIR)
            subprocess.run([o.recorder, "full", POLICY_DIR], check=True)
            reporting = [(label, path) for label, path in builds if label not in o.no_reports]
            timed_row("--in-force DIR, the benchmark set in force (exit 0)",
                      [(label, [path, "--in-force", set_dir]) for label, path in reporting], o.runs)
            timed_row("--status, the benchmark set in force and in the policy directory",
                      [(label, [path, "--status"]) for label, path in reporting], o.runs)
        else:
            print("\n--in-force and --status left out (run in the sandbox with --recorder)")
    finally:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
