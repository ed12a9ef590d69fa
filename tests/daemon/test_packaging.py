"""The shipped unit and bus policy, as installed."""

import pathlib
import re
import shutil
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
STATUS_UNIT = BIN / "packaging" / "tavo-policy-status.service"
STATUS_TRIGGERS = [pathlib.Path(__file__).resolve().parents[2] / "packaging" / "systemd" / f"tavo-policy-status.{kind}"
                   for kind in ("path", "timer")]


def test_units_verify_and_the_daemon_is_confined(tmp_path):
    programs = {UNIT: BIN / "daemon" / "tavo-policyd",
                INIT_UNIT: BIN / "tools" / "tavo-main-policy-init" / "tavo-main-policy-init",
                STATUS_UNIT: BIN / "tools" / "tavo-policy-check" / "tavo-policy-check"}
    exec_starts = []
    for unit, program in programs.items():
        exec_starts.append(re.search(r"^ExecStart=(\S+)", unit.read_text(), re.M).group(1))
        bind_file(program, exec_starts[-1])
    # The path and timer units find the status service beside them.
    for unit in [STATUS_UNIT, *STATUS_TRIGGERS]:
        shutil.copy(unit, tmp_path / unit.name)
    try:
        # The manual pages are not installed here.
        verify = subprocess.run(["systemd-analyze", "verify", "--man=no", str(UNIT), str(INIT_UNIT),
                                 *[str(tmp_path / u.name) for u in [STATUS_UNIT, *STATUS_TRIGGERS]]],
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
