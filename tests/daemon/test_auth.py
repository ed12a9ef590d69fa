"""Who may call: the shipped bus policy, real polkitd with the shipped action
and rule, and the three-mode rules, over every method; plus the replies of
polkit that real polkitd cannot give (from a stand-in authority), a
three-mode switch that is absent or in an unknown state, and a whitelisted
path bound over in a private mount namespace."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

from conftest import CALLER, GOOD_POLICY, OPEN_BUS_POLICY, write_policy
from tavo_sandbox import ADMCTL, UID, bus_name_has_owner, mount, wait_for

METHODS = [("compilePolicy", []), ("compileInitPolicy", []), ("compileSectionPolicy", ["web", "front"]),
           ("sendPolicy", []), ("modifyDynamicVariable", ["web", "guard", 1])]
SCENE_DAEMON, DYNAMIC_UID = "/usr/bin/zusec-scene-daemon", "/usr/sbin/tavo-dynamic-uid"
ACCESS_DENIED = "org.freedesktop.DBus.Error.AccessDenied"
S, PID = r"(:\d+\.\d+)", r"\d+"
INIT_IMAGE = "/var/lib/tavo/init-policy.bin"


def passes(three_mode, extra=()):
    return ("pass", [*extra, f"AUDIT PASS: method={{m}}, sender={S}, uid={{uid}}, three_mode={three_mode}"])


def refused(line):
    return ("refused", [line])


NOT_ALLOWED = r"AUDIT FAIL: three-mode, process {exe} \(pid=" + PID + r", uid={uid}\) not allowed, method={m}"
NON_THREE_MODE = "AUDIT FAIL: non-three-mode, only root allowed, current uid={uid}, method={m}"
POLKIT_REFUSED = "AUDIT FAIL: method={m}, sender=" + S + ", uid={uid}, reason="
WHITELISTED = r"AUDIT PASS: three-mode, root process {exe} in init ns and whitelisted, method={m}"

# (caller, uid, executable, in a child pid namespace, three-mode, open bus policy, expected outcome)
TABLE = [
    ("root", 0, None, False, False, False, passes(0)),
    ("secadm", 900, None, False, False, False, refused(NON_THREE_MODE)),
    ("tester", 1000, None, False, False, False, ("bus", ACCESS_DENIED)),
    ("tester", 1000, None, False, False, True, refused(NON_THREE_MODE)),
    ("stranger", 1002, None, False, False, True, refused(POLKIT_REFUSED + "polkit 策略拒绝操作，无权限")),
    ("challenged", 1001, None, False, False, True, refused(POLKIT_REFUSED + "需要管理员密码认证，桌面将弹出授权窗口")),
    ("secadm", 900, None, False, True, False, passes(1, ["AUDIT: secadm user allowed"])),
    ("root", 0, None, False, True, False, refused(NOT_ALLOWED)),
    ("root", 0, SCENE_DAEMON, False, True, False, passes(1, [WHITELISTED])),
    ("root", 0, DYNAMIC_UID, False, True, False, passes(1, [WHITELISTED])),
    ("root", 0, SCENE_DAEMON, True, True, False, refused(NOT_ALLOWED)),
    ("tester", 1000, None, False, True, True, refused(NOT_ALLOWED)),
]


def row_id(row):
    user, _, exe, child, three, open_bus, _ = row
    return "-".join(filter(None, [user, exe and exe.rsplit("/", 1)[1], child and "child-pidns",
                                  "three-mode" if three else "default", open_bus and "open-bus"]))


@pytest.fixture
def whitelisted(daemon):
    daemon.install_whitelisted(CALLER)


def audit_lines(daemon):
    return [msg for _, msg in daemon.log.lines() if msg.startswith(("AUDIT", "#ERROR: auth failed"))]


@pytest.mark.parametrize("row", TABLE, ids=row_id)
def test_who_may_call_every_method(call, daemon, whitelisted, row):
    user, uid, exe, child, three_mode, open_bus, (outcome, pattern) = row
    write_policy("a.p", GOOD_POLICY)
    if daemon.has_simkernel:
        assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0
    daemon.set_three_mode(three_mode)
    if open_bus:
        daemon.set_test_bus_policy(OPEN_BUS_POLICY)
    exe_path = exe or str(CALLER)
    for method, args in METHODS:
        daemon.log.mark()
        reply = call(method, *args, user=user, exe=exe, child_pidns=child)
        lines = audit_lines(daemon)
        if outcome == "bus":
            assert (reply.error, lines) == (pattern, []), method
            continue
        assert reply.error is None, reply
        first = re.fullmatch(rf"AUDIT: D-Bus call from sender={S}, uid={uid}, method={method}", lines[0])
        assert first, lines
        sender = first.group(1)
        expected = [p.format(m=method, uid=uid, exe=re.escape(exe_path)).replace(S, re.escape(sender))
                    for p in pattern]
        if outcome == "pass":
            assert reply.code == 0, (method, reply)
            assert len(lines) == 1 + len(expected), lines
            assert all(re.fullmatch(p, line) for p, line in zip(expected, lines[1:])), lines
        else:
            assert reply.code == -100, (method, reply)
            assert len(lines) == 3, lines
            assert re.fullmatch(expected[0], lines[1]), lines
            assert lines[2] == f"#ERROR: auth failed for sender {sender}, method {method}"
            assert not any(msg.startswith("#INFO") for _, msg in daemon.log.lines())


def refusal_reason(daemon, method="sendPolicy"):
    lines = audit_lines(daemon)
    m = re.fullmatch(rf"AUDIT FAIL: method={method}, sender={S}, uid=0, reason=(.*)", lines[1], re.S)
    assert m, lines
    return m.group(2)


@pytest.mark.parametrize("mode,reason,line", [
    ("challenge", "需要管理员密码认证，桌面将弹出授权窗口", (3, "polkit 等待密码认证")),
    ("malformed", "PolicyKit DBus 调用失败: ", "signature"),
    # The bus library gives up after its default reply timeout (25 s).
    ("hang", "PolicyKit DBus 调用失败: ", "timed out"),
])
def test_polkit_refusals_reach_root_too(call, daemon, authority, mode, reason, line):
    authority(mode)
    daemon.log.mark()
    assert call.code("sendPolicy") == -100
    if isinstance(line, tuple):
        assert refusal_reason(daemon) == reason
        assert line in daemon.log.lines()
    else:
        assert refusal_reason(daemon).startswith(reason) and line in refusal_reason(daemon)


def test_polkitd_stopped_then_back(call, daemon):
    daemon.stop("polkitd")
    assert call.code("sendPolicy") == -100
    assert refusal_reason(daemon).startswith("PolicyKit DBus 调用失败: ")
    daemon.start_polkitd()
    daemon.log.mark()
    assert call.code("sendPolicy") == 0
    assert audit_lines(daemon)[-1].endswith("uid=0, three_mode=0")


LEAVE_THE_BUS = """
import dbus, dbus.lowlevel
bus = dbus.bus.BusConnection(dbus.bus.BUS_SYSTEM)
msg = dbus.lowlevel.MethodCallMessage("com.norda.zupolicy", "/policymgr", "com.norda.zupolicy.policymgr",
                                      "compilePolicy")
bus.send_message(msg)
bus.flush()
print(bus.get_unique_name())
bus.close()
"""


def test_caller_that_left_the_bus(call, daemon):
    # The daemon reads the call only after its caller has left the bus, and
    # then finds no uid for it.
    daemon.daemon.send_signal(signal.SIGSTOP)
    try:
        sender = subprocess.run([sys.executable, "-c", LEAVE_THE_BUS], capture_output=True, text=True,
                                check=True).stdout.strip()
        wait_for(lambda: not bus_name_has_owner(sender), "the caller to leave the bus")
    finally:
        daemon.daemon.send_signal(signal.SIGCONT)
    expected = f"AUDIT FAIL: method=compilePolicy, sender={sender}, failed to get uid"
    wait_for(lambda: expected in audit_lines(daemon), "the refusal of the departed caller")
    messages = [msg for _, msg in daemon.log.lines()]
    assert any(m.startswith(f"GetConnectionUnixUser failed for sender {sender}: ") for m in messages)
    assert f"#ERROR: auth failed for sender {sender}, method compilePolicy" in messages
    assert "#INFO: 开始全量策略编译" not in messages


@pytest.fixture
def module_switch(daemon):
    """The simulated module's own switch file (the sandbox binds a file of
    its own over it), with its faults: `fault(control, errno)`."""
    if not daemon.has_simkernel:
        pytest.skip("needs tavo-simkernel")
    controls = daemon.module_dir / ".sim"
    subprocess.run(["umount", str(ADMCTL)], check=True)
    yield lambda control, code: (controls / control).write_text(f"{code}\n")
    for control in ("admctl_fail", "admctl_open_fail"):
        (controls / control).write_text("0\n")
    mount("--bind", str(daemon.admctl_file), str(ADMCTL))


# How the switch is broken, and the reason the refusal gives.
UNKNOWN_SWITCH = {
    "read fails": (("admctl_fail", 5), rf"cannot read {ADMCTL}: Input/output error"),
    "open refused": (("admctl_open_fail", 13), rf"cannot open {ADMCTL}: Permission denied"),
    "contents 'on'": (b"on\n", rf"contents of {ADMCTL} are neither 0 nor 1"),
    "empty": (b"", rf"contents of {ADMCTL} are neither 0 nor 1"),
}


@pytest.mark.parametrize("user", ["root", "secadm"])
@pytest.mark.parametrize("case", UNKNOWN_SWITCH)
def test_switch_in_unknown_state_refuses_everyone(call, daemon, module_switch, user, case):
    fault, reason = UNKNOWN_SWITCH[case]
    if isinstance(fault, bytes):
        daemon.admctl_file.write_bytes(fault)
        mount("--bind", str(daemon.admctl_file), str(ADMCTL))
    else:
        module_switch(*fault)
    write_policy("a.p", GOOD_POLICY)
    subprocess.run(["rm", "-f", INIT_IMAGE], check=True)
    (daemon.module_dir / ".sim" / "reset").write_text("1")
    try:
        for method, args in [("compilePolicy", []), ("compileInitPolicy", []), ("sendPolicy", [])]:
            daemon.log.mark()
            assert call.code(method, *args, user=user) == -100, method
            audits = [m for _, m in daemon.log.lines() if m.startswith("AUDIT FAIL")]
            assert len(audits) == 1 and re.fullmatch(
                rf"AUDIT FAIL: method={method}, sender={S}, uid={UID[user]}, three-mode switch unreadable: {reason}",
                audits[0]), audits
    finally:
        if isinstance(fault, bytes):
            subprocess.run(["umount", str(ADMCTL)], check=True)
    assert subprocess.run(["test", "-e", INIT_IMAGE]).returncode == 1
    assert "policy_digest: none" in (daemon.module_dir / ".sim" / "state").read_text()


def test_without_the_switch_only_root_acts(call, daemon, module_switch):
    # A module built without role separation: three-mode is off.
    module_switch("admctl_open_fail", 2)
    assert not ADMCTL.exists()
    write_policy("a.p", GOOD_POLICY)
    for user, method, code in [("root", "compilePolicy", 0), ("root", "sendPolicy", 0),
                               ("secadm", "compilePolicy", -100)]:
        daemon.log.mark()
        assert call.code(method, user=user) == code, (user, method)
        expected = (rf"AUDIT PASS: method={method}, sender={S}, uid=0, three_mode=0" if code == 0 else
                    NON_THREE_MODE.format(uid=UID[user], m=method))
        assert re.fullmatch(expected, audit_lines(daemon)[1]), audit_lines(daemon)


def test_whitelisted_path_bound_in_a_private_mount_namespace_is_refused(call, daemon):
    # Any root process could bind its own program over a whitelisted path in
    # a mount namespace of its own; only pid 1's namespace counts.
    write_policy("a.p", GOOD_POLICY)
    daemon.install_whitelisted(CALLER)
    daemon.set_three_mode(True)
    for private in (False, True):
        daemon.log.mark()
        argv = call.argv("compilePolicy", exe=SCENE_DAEMON)
        if private:
            argv = ["unshare", "-m", "--propagation", "private", *argv]
        out = subprocess.run(argv, capture_output=True, text=True, timeout=180).stdout
        audits = [m for _, m in daemon.log.lines() if m.startswith("AUDIT")]
        if private:
            assert out.strip() == "reply -100"
            assert re.fullmatch(rf"AUDIT FAIL: three-mode, process {SCENE_DAEMON} \(pid=\d+, uid=0\) not allowed, "
                                r"method=compilePolicy", audits[-1]), audits
        else:
            assert out.strip() == "reply 0"
            assert audits[-1].endswith("uid=0, three_mode=1"), audits


def other_program(daemon):
    """A copy of the test caller: the same code, another file."""
    copy = daemon.state / "other-program"
    if not copy.exists():
        shutil.copy2(CALLER, copy)
    return copy


def moved_back(call, other):
    # Started in a private mount namespace where `other` is bound over the
    # whitelisted path, then moved into pid 1's mount namespace; the shell
    # keeps the private one (and so the path of the program) alive.
    script = f'mount --bind {other} {SCENE_DAEMON} && TAVO_TEST_SETNS=/proc/1/ns/mnt {SCENE_DAEMON} "$@"; exit $?'
    return subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", "compilePolicy"],
                          capture_output=True, text=True, timeout=180).stdout


def through_proc_root(call, other):
    # Executed from pid 1's mount namespace through /proc/PID/root of a
    # process in a private one where `other` is bound over the path.
    script = f'mount --bind {other} {SCENE_DAEMON} && exec {SCENE_DAEMON} --hold'
    holder = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", script],
                              stdin=subprocess.PIPE)
    try:
        wait_for(lambda: os.path.exists(f"/proc/{holder.pid}/exe")
                 and os.stat(f"/proc/{holder.pid}/exe").st_ino == os.stat(other).st_ino, "the private binding")
        return subprocess.run([f"/proc/{holder.pid}/root{SCENE_DAEMON}", "compilePolicy"], capture_output=True,
                              text=True, timeout=180).stdout
    finally:
        holder.stdin.close()
        holder.wait(30)


@pytest.mark.parametrize("bypass", [moved_back, through_proc_root], ids=["moved-back", "through-proc-root"])
def test_other_program_behind_a_whitelisted_path_is_refused(call, daemon, bypass):
    write_policy("a.p", GOOD_POLICY)
    daemon.install_whitelisted(CALLER)
    daemon.set_three_mode(True)
    out = bypass(call, other_program(daemon))
    audits = [m for _, m in daemon.log.lines() if m.startswith("AUDIT")]
    assert out.strip() == "reply -100", out
    # The path is the whitelisted one; the file is not.
    assert re.fullmatch(rf"AUDIT FAIL: three-mode, process {SCENE_DAEMON} \(pid=\d+, uid=0\) not allowed, "
                        r"method=compilePolicy", audits[-1]), audits


# Connects, hands the connection to a child and exits, so that its pid can
# be taken by another process; the child sends the call when told.
CONNECT_THEN_LEAVE = """
import dbus, dbus.lowlevel, os, sys
bus = dbus.bus.BusConnection(dbus.bus.BUS_SYSTEM)
print(os.getpid(), bus.get_unique_name(), flush=True)
if os.fork():
    os._exit(0)
sys.stdin.readline()
msg = dbus.lowlevel.MethodCallMessage("com.norda.zupolicy", "/policymgr", "com.norda.zupolicy.policymgr",
                                      "compilePolicy")
print(bus.send_message_with_reply_and_block(msg, 120000).get_args_list()[0], flush=True)
"""
CLOCK_TICK = 0.01


def reused_pid():
    """A connection whose pid now belongs to a whitelisted program started
    after it: (the connection's process, its unique name, the program)."""
    for _ in range(5):
        leaver = subprocess.Popen([sys.executable, "-c", CONNECT_THEN_LEAVE], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        pid, name = leaver.stdout.readline().split()
        leaver.wait(30)
        time.sleep(5 * CLOCK_TICK)
        with open("/proc/sys/kernel/ns_last_pid", "w") as f:
            f.write(str(int(pid) - 1))
        program = subprocess.Popen([SCENE_DAEMON, "--hold"], stdin=subprocess.PIPE)
        if program.pid == int(pid):
            return leaver, name, program
        program.stdin.close()
        program.wait(30)
        leaver.stdin.close()
    pytest.fail("could not reuse a pid")


def test_pid_reused_before_the_call_is_refused(call, daemon):
    write_policy("a.p", GOOD_POLICY)
    daemon.install_whitelisted(CALLER)
    daemon.set_three_mode(True)
    leaver, name, program = reused_pid()
    try:
        leaver.stdin.write("go\n")
        leaver.stdin.flush()
        reply = leaver.stdout.readline().strip()
    finally:
        leaver.stdin.close()
        program.stdin.close()
        program.wait(30)
    audits = [m for _, m in daemon.log.lines() if m.startswith("AUDIT")]
    assert reply == "-100", reply
    assert audits[-1] == (f"AUDIT FAIL: three-mode, process behind pid {program.pid} started after the connection "
                          f"of sender {name}, method=compilePolicy"), audits
