"""The shipped unit and bus policy, as installed."""

import re
import subprocess
import sys

from conftest import BIN
from tavo_sandbox import bind_file, UID

UNIT = BIN / "packaging" / "tavo-policyd.service"

REQUEST_NAME = """
import dbus, sys
bus = dbus.bus.BusConnection(dbus.bus.BUS_SYSTEM)
try:
    print(bus.request_name("com.norda.zupolicy", dbus.bus.NAME_FLAG_DO_NOT_QUEUE))
except dbus.DBusException as e:
    print(e.get_dbus_name())
"""


INIT_UNIT = BIN / "packaging" / "tavo-policy-init.service"


def test_units_verify_and_the_daemon_is_confined():
    programs = {UNIT: BIN / "daemon" / "tavo-policyd",
                INIT_UNIT: BIN / "tools" / "tavo-main-policy-init" / "tavo-main-policy-init"}
    exec_starts = []
    for unit, program in programs.items():
        exec_starts.append(re.search(r"^ExecStart=(\S+)", unit.read_text(), re.M).group(1))
        bind_file(program, exec_starts[-1])
    try:
        # The manual pages are not installed here.
        verify = subprocess.run(["systemd-analyze", "verify", "--man=no", str(UNIT), str(INIT_UNIT)],
                                capture_output=True, text=True)
        assert verify.returncode == 0, verify.stderr
        security = subprocess.run(["systemd-analyze", "security", "--offline=true", "--threshold=20", str(UNIT)],
                                  capture_output=True, text=True)
        assert security.returncode == 0, security.stdout[-400:]
    finally:
        for exec_start in exec_starts:
            subprocess.run(["umount", exec_start], check=True)


def test_only_root_may_own_the_name(daemon):
    for user in ("secadm", "tester"):
        uid = UID[user]
        out = subprocess.run(["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", sys.executable, "-c",
                              REQUEST_NAME], capture_output=True, text=True, check=True).stdout.strip()
        assert out == "org.freedesktop.DBus.Error.AccessDenied", user


def test_second_daemon_cannot_take_the_name(daemon):
    second = subprocess.run([str(daemon.daemon_exe)], capture_output=True, timeout=120)
    assert second.returncode == 1
    errors = [msg for lvl, msg in daemon.log.lines() if lvl == 1]
    assert errors == ["Name com.norda.zupolicy is already owned on the system bus"]
    assert daemon.daemon.poll() is None
