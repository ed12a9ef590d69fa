#!/usr/bin/python3
"""Inside the integration sandbox: has tavo-policyd compile the example
policy set and deliver it to the simulated kernel, then prints the digest
the kernel holds beside the one the daemon logged.

    deliver-example.py POLICY_DIR
"""

import json
import os
import pathlib
import re
import shutil
import sys

import dbus

KERNEL_STATE = pathlib.Path("/sys/kernel/security/tavo/.sim/state")
DIGEST = re.compile(r"delivered image ([0-9a-f]{64})")


def main():
    source = pathlib.Path(sys.argv[1])
    for policy in sorted(source.iterdir()):
        shutil.copy(policy, "/etc/tavo/policy/" + policy.name)
    mgr = dbus.Interface(dbus.SystemBus().get_object("com.norda.zupolicy", "/policymgr"),
                         "com.norda.zupolicy.policymgr")
    compiled = int(mgr.compilePolicy(timeout=600))
    sent = int(mgr.sendPolicy(timeout=600)) if compiled == 0 else None
    print(f"compilePolicy: {compiled}")
    print(f"sendPolicy:    {sent}")

    logged = None
    with open(os.environ["TAVO_SANDBOX_LOG"], encoding="utf-8") as log:
        for line in log:
            record = json.loads(line)
            found = DIGEST.search(record["message"]) if record["ident"] == "tavo-policyd" else None
            if found:
                logged = found.group(1)
    held = None
    if KERNEL_STATE.exists():
        for line in KERNEL_STATE.read_text().splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "policy_digest":
                held = value.strip()
    else:
        print("deliver-example: no simulated kernel in this build (tavo-simkernel)", file=sys.stderr)
    print(f"digest the daemon logged:  {logged}")
    print(f"digest the kernel holds:   {held}")
    ok = compiled == 0 and sent == 0 and held is not None and held == logged
    print("the kernel holds what the daemon delivered" if ok else "MISMATCH or failure")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
