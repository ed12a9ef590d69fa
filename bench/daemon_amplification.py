#!/usr/bin/python3
"""The daemon's peak memory on the amplification set (few rules, long lists),
one file more at a time, through compileInitPolicy.

    tests/harness/tavo_sandbox.py --bin-dir BUILD --scratch DIR -- \\
        /usr/bin/python3 bench/daemon_amplification.py [--files N]

Runs inside the integration sandbox. For 1 to N files of
`tavo-gen-policies --amplify` it resets the daemon's peak RSS
(/proc/PID/clear_refs), calls compileInitPolicy and prints the result code,
the time, the daemon's peak RSS (VmHWM) and the library's verdict. Prints
figures; asserts nothing.
"""

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import time

import dbus

POLICY_DIR = pathlib.Path("/etc/tavo/policy")


def daemon_pid(bus):
    proxy = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    return int(proxy.GetConnectionUnixProcessID("com.norda.zupolicy", dbus_interface="org.freedesktop.DBus"))


def peak_mib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def verdicts(seen):
    """Library lines about the compiled image logged since the last call."""
    lines = []
    with open(os.environ["TAVO_SANDBOX_LOG"], encoding="utf-8") as log:
        for number, line in enumerate(log):
            if number < seen[0]:
                continue
            seen[0] = number + 1
            message = json.loads(line).get("message", "")
            if "image compiled" in message or "compile failed" in message or "超出内核模块的限制" in message:
                lines.append(message)
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=4)
    args = parser.parse_args()

    bus = dbus.SystemBus()
    mgr = dbus.Interface(bus.get_object("com.norda.zupolicy", "/policymgr"), "com.norda.zupolicy.policymgr")
    pid = daemon_pid(bus)
    generator = pathlib.Path(os.environ["TAVO_SANDBOX_BIN"]) / "bench" / "tavo-gen-policies"
    seen = [0]
    verdicts(seen)
    print(f"{'files':>5} {'code':>5} {'seconds':>8} {'peak MiB':>9}  verdict")
    for files in range(1, args.files + 1):
        for entry in POLICY_DIR.iterdir():
            shutil.rmtree(entry) if entry.is_dir() else entry.unlink()
        subprocess.run([str(generator), "--amplify", "--files", str(files), str(POLICY_DIR)], check=True,
                       stdout=subprocess.DEVNULL)
        # The daemon gives free heap back half a second after a call: the
        # peak is reset once the last call's memory has gone.
        time.sleep(1.5)
        pathlib.Path(f"/proc/{pid}/clear_refs").write_text("5")
        start = time.perf_counter()
        code = mgr.compileInitPolicy(timeout=3600)
        seconds = time.perf_counter() - start
        lines = verdicts(seen)
        print(f"{files:5d} {int(code):5d} {seconds:8.2f} {peak_mib(pid):9.1f}  {lines[-1] if lines else '-'}")
    for entry in POLICY_DIR.iterdir():
        entry.unlink()


if __name__ == "__main__":
    main()
