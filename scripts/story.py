#!/usr/bin/python3
"""Inside the integration sandbox: the whole life of a policy, one command
at a time, with what the (simulated) kernel holds after each step.

    story.py BUILD_DIR POLICY_DIR

1. tavo-policy-check checks the policy set and prints its image digest;
2. tavo-main-policy-sync -a: the daemon compiles it and delivers it;
3. tavo-main-policy-sync -d: a dynamic variable is switched in the kernel;
4. tavo-main-policy-sync -p, then -l: one section is compiled and delivered;
5. compileInitPolicy over D-Bus stores the initial image, and
   tavo-main-policy-init -P delivers it from a copy under a mount point, as
   an early-boot system would;
6. tavo-policy-check --status shows what the host's record says is in
   force, which must be what the kernel holds.

Standard output is the story; the commands' log lines go to the sandbox's
log collector. Exits non-zero at the first step that does not do what it
should.
"""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import dbus

KERNEL_STATE = pathlib.Path("/sys/kernel/security/tavo/.sim/state")
POLICY_DIR = pathlib.Path("/etc/tavo/policy")
INIT_IMAGE = pathlib.Path("/var/lib/tavo/init-policy.bin")
DELIVERED = re.compile(r"delivered image ([0-9a-f]{64})")


class StoryError(Exception):
    pass


def kernel_state():
    state = {"dynamic": [], "section": []}
    for line in KERNEL_STATE.read_text().splitlines():
        key, _, value = line.partition(":")
        key, value = key.strip(), value.strip()
        if key in ("dynamic", "section"):
            state[key].append(value)
        else:
            state[key] = value
    return state


def show_kernel():
    state = kernel_state()
    print(f"   kernel: digest {state.get('policy_digest')}, {state.get('policy_nodes')} nodes, "
          f"initial policy: {state.get('init')}")
    for line in state["dynamic"]:
        print(f"   kernel: dynamic {line}")
    for line in state["section"]:
        print(f"   kernel: section update {line}")
    return state


def last_delivered_digest():
    found = None
    with open(os.environ["TAVO_SANDBOX_LOG"], encoding="utf-8") as log:
        for line in log:
            record = json.loads(line)
            match = DELIVERED.search(record["message"]) if record["ident"] == "tavo-policyd" else None
            if match:
                found = match.group(1)
    return found


def run(step, argv, expect_code=0):
    print(f"== {step}")
    print("   $ " + " ".join(str(a) for a in [pathlib.Path(argv[0]).name, *argv[1:]]))
    result = subprocess.run([str(a) for a in argv], capture_output=True, text=True)
    for line in (result.stdout + result.stderr).splitlines():
        # The checker's log lines stay out; its digests and reports stay in.
        if not line.startswith("tavo-policy-check:"):
            print(f"   {line}")
    if result.returncode != expect_code:
        raise StoryError(f"{step}: exit status {result.returncode}, expected {expect_code}")
    return result


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    source = pathlib.Path(sys.argv[2]).resolve()
    check = build / "tools/tavo-policy-check/tavo-policy-check"
    sync = build / "tools/tavo-main-policy-sync/tavo-main-policy-sync"
    init = build / "tools/tavo-main-policy-init/tavo-main-policy-init"

    checked = run("1. check the policy set offline", [check, "--quiet", source])
    offline_digest = checked.stderr.strip().splitlines()[-1].split()[-1]

    for policy in sorted(source.iterdir()):
        shutil.copy(policy, POLICY_DIR / policy.name)
    run("2. compile and deliver the whole policy", [sync, "-a"])
    state = show_kernel()
    logged = last_delivered_digest()
    print(f"   daemon logged the delivery of {logged}")
    if not (state.get("policy_digest") == logged == offline_digest):
        raise StoryError("the kernel does not hold the policy that was checked and delivered")
    print("   the kernel holds the checked policy, as the daemon logged")

    run("3. switch a dynamic variable on", [sync, "-d", "-n", "ssh", "-v", "maintenance", "-V", "true"])
    if "ssh maintenance 1" not in show_kernel()["dynamic"]:
        raise StoryError("the dynamic variable did not change in the kernel")

    run("4a. compile one section", [sync, "-p", "-n", "fileserver", "-s", "samba"])
    run("4b. deliver it", [sync, "-l"])
    state = show_kernel()
    if not any(line.startswith("fileserver samba ") for line in state["section"]):
        raise StoryError("the section update did not reach the kernel")

    print("== 5a. compile the initial policy (compileInitPolicy over D-Bus)")
    mgr = dbus.Interface(dbus.SystemBus().get_object("com.norda.zupolicy", "/policymgr"),
                         "com.norda.zupolicy.policymgr")
    code = int(mgr.compileInitPolicy(timeout=600))
    print(f"   compileInitPolicy: {code}; {INIT_IMAGE} holds {INIT_IMAGE.stat().st_size} bytes")
    if code != 0:
        raise StoryError("compileInitPolicy failed")
    # An early-boot root: a file system of its own, holding /var/lib/tavo.
    sysroot = pathlib.Path(os.environ.get("TMPDIR", "/tmp")) / "sysroot"
    sysroot.mkdir(exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "tavo-sysroot", str(sysroot)], check=True)
    try:
        shutil.copytree("/var/lib/tavo", sysroot / "var/lib/tavo")
        run("5b. deliver it from the early-boot root", [init, "-P", sysroot])
    finally:
        subprocess.run(["umount", str(sysroot)], check=True)
    if show_kernel().get("init") != "yes":
        raise StoryError("the kernel does not hold the initial policy")

    run("6. what is in force, as the host records it", [check, "--status"])
    recorded = json.loads(subprocess.run([str(check), "--status", "--json"], capture_output=True, text=True,
                                         check=True).stdout)
    if recorded["inForce"]["kind"] != "initial" or recorded["inForce"]["nodes"] != int(kernel_state()["policy_nodes"]):
        raise StoryError("the record does not say what the kernel holds")
    print("== done: every step reached the kernel, and the record says so")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except StoryError as error:
        print(f"story: {error}", file=sys.stderr)
        sys.exit(1)
