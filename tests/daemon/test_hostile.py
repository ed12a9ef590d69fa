"""Hostile callers and a failing host: a flood of huge calls must not wedge
the daemon, a three-mode switch that cannot be read refuses everyone, and a
whitelisted path bound over in a private mount namespace is no whitelisted
program."""

import re
import subprocess
import sys

import dbus
import pytest

from conftest import CALLER, GOOD_POLICY, MOCK_AUTHORITY, write_policy
from tavo_sandbox import ADMCTL, UID, mount, wait_for

S = r":\d+\.\d+"
INIT_IMAGE = "/var/lib/tavo/init-policy.bin"

# secadm may send (bus policy) but is refused in default mode: six calls
# with 20 MiB names, written in one go, and gone before any is answered.
BURST = """
import dbus, dbus.lowlevel
bus = dbus.bus.BusConnection(dbus.bus.BUS_SYSTEM)
name = "a" * (20 << 20)
for _ in range(6):
    msg = dbus.lowlevel.MethodCallMessage("com.norda.zupolicy", "/policymgr", "com.norda.zupolicy.policymgr",
                                          "compileSectionPolicy")
    msg.append(name, "front", signature="ss")
    bus.send_message(msg)
bus.flush()
print(bus.get_unique_name())
bus.close()
"""


def as_user(user, argv):
    uid = UID[user]
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", *argv]


@pytest.fixture
def authority(daemon):
    yield lambda mode: daemon.start_mock_authority(MOCK_AUTHORITY, mode)
    daemon.restore_polkitd()


def test_burst_of_huge_calls_does_not_wedge_the_daemon(call, daemon, authority):
    # The burst arrives while the event loop is held inside a root call's
    # authorisation, so it piles up unread-from as it would behind any slow
    # call; afterwards the held call, Ping and a new call are all answered
    # well inside the bus library's 25 s reply timeout.
    write_policy("a.p", GOOD_POLICY)
    authority("hold")
    held = subprocess.Popen(call.argv("compilePolicy"), stdout=subprocess.PIPE, text=True)
    try:
        wait_for((daemon.mock_state / "held").exists, "the held authorisation")
        sender = subprocess.run(as_user("secadm", [sys.executable, "-c", BURST]), capture_output=True, text=True,
                                check=True).stdout.strip()
        (daemon.mock_state / "release").touch()
        assert held.communicate(timeout=120)[0].strip() == "reply 0"
    finally:
        if held.poll() is None:
            held.kill()
            held.wait()
    bus = dbus.SystemBus(private=True)
    try:
        bus.call_blocking("com.norda.zupolicy", "/policymgr", "org.freedesktop.DBus.Peer", "Ping", "", [],
                          timeout=20)
        mgr = dbus.Interface(bus.get_object("com.norda.zupolicy", "/policymgr"), "com.norda.zupolicy.policymgr")
        assert mgr.compilePolicy(timeout=20) == 0
    finally:
        bus.close()
    refusal = (f"AUDIT FAIL: method=compileSectionPolicy, sender={sender}, refused before authorisation: "
               "命名空间名称(ns_name) longer than 512 bytes")
    assert [m for _, m in daemon.log.lines()].count(refusal) == 6
    assert "Socket notifiers" not in (daemon.state / "daemon.out").read_text(errors="replace")


@pytest.fixture
def failing_switch(daemon):
    """Exposes the simulated module's own switch file (the sandbox binds a
    file of its own over it) and makes its reads fail with EIO."""
    if not daemon.has_simkernel:
        pytest.skip("needs tavo-simkernel")
    control = daemon.module_dir / ".sim" / "admctl_fail"
    subprocess.run(["umount", str(ADMCTL)], check=True)
    control.write_text("5\n")
    yield
    control.write_text("0\n")
    mount("--bind", str(daemon.admctl_file), str(ADMCTL))


@pytest.mark.parametrize("user", ["root", "secadm"])
def test_unreadable_three_mode_switch_refuses_everyone(call, daemon, failing_switch, user):
    write_policy("a.p", GOOD_POLICY)
    subprocess.run(["rm", "-f", INIT_IMAGE], check=True)
    (daemon.module_dir / ".sim" / "reset").write_text("1")
    for method, args in [("compilePolicy", []), ("compileInitPolicy", []), ("sendPolicy", [])]:
        daemon.log.mark()
        assert call.code(method, *args, user=user) == -100, method
        audits = [m for _, m in daemon.log.lines() if m.startswith("AUDIT FAIL")]
        assert len(audits) == 1 and re.fullmatch(
            rf"AUDIT FAIL: method={method}, sender={S}, uid={UID[user]}, three-mode switch unreadable: "
            rf"cannot read {ADMCTL}: Input/output error", audits[0]), audits
    assert subprocess.run(["test", "-e", INIT_IMAGE]).returncode == 1
    assert "policy_digest: none" in (daemon.module_dir / ".sim" / "state").read_text()


def test_whitelisted_path_bound_in_a_private_mount_namespace_is_refused(call, daemon):
    # Any root process could bind its own program over a whitelisted path in
    # a mount namespace of its own; only pid 1's namespace counts.
    write_policy("a.p", GOOD_POLICY)
    daemon.install_whitelisted(CALLER)
    daemon.set_three_mode(True)
    scene_daemon = "/usr/bin/zusec-scene-daemon"
    for private in (False, True):
        daemon.log.mark()
        argv = call.argv("compilePolicy", exe=scene_daemon)
        if private:
            argv = ["unshare", "-m", "--propagation", "private", *argv]
        out = subprocess.run(argv, capture_output=True, text=True, timeout=180).stdout
        audits = [m for _, m in daemon.log.lines() if m.startswith("AUDIT")]
        if private:
            assert out.strip() == "reply -100"
            assert re.fullmatch(rf"AUDIT FAIL: three-mode, process {scene_daemon} \(pid=\d+, uid=0\) not allowed, "
                                r"method=compilePolicy", audits[-1]), audits
        else:
            assert out.strip() == "reply 0"
            assert audits[-1].endswith("uid=0, three_mode=1"), audits
