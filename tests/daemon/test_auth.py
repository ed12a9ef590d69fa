"""Who may call: the shipped bus policy, real polkitd with the shipped action
and rule, and the three-mode rules, over every method; plus the replies of
polkit that real polkitd cannot give (from a stand-in authority)."""

import re
import subprocess
import sys

import pytest

from conftest import CALLER, GOOD_POLICY, MOCK_AUTHORITY, OPEN_BUS_POLICY, write_policy

METHODS = [("compilePolicy", []), ("compileInitPolicy", []), ("compileSectionPolicy", ["web", "front"]),
           ("sendPolicy", []), ("modifyDynamicVariable", ["web", "guard", 1])]
SCENE_DAEMON, DYNAMIC_UID = "/usr/bin/zusec-scene-daemon", "/usr/sbin/tavo-dynamic-uid"
ACCESS_DENIED = "org.freedesktop.DBus.Error.AccessDenied"
S, PID = r"(:\d+\.\d+)", r"\d+"


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


@pytest.fixture
def authority(daemon):
    """A stand-in polkit authority in place of polkitd for one test."""
    yield lambda mode: daemon.start_mock_authority(MOCK_AUTHORITY, mode)
    daemon.restore_polkitd()


@pytest.mark.parametrize("mode,reason,line", [
    ("challenge", "需要管理员密码认证，桌面将弹出授权窗口", (3, "polkit 等待密码认证")),
    ("malformed", "PolicyKit DBus 调用失败: ", "signature"),
    # The bus library gives up after its default reply timeout (25 s).
    ("hang", "PolicyKit DBus 调用失败: ", "reply"),
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


def test_caller_that_left_the_bus(call, daemon, authority):
    # The daemon is held inside a first call while a second caller sends
    # its request and disconnects; the daemon then finds no uid for it.
    authority("hold")
    first = subprocess.Popen(call.argv("sendPolicy"), stdout=subprocess.PIPE, text=True)
    try:
        daemon_wait = daemon.mock_state / "held"
        from tavo_sandbox import wait_for
        wait_for(daemon_wait.exists, "the held authorisation")
        sender = subprocess.run([sys.executable, "-c", LEAVE_THE_BUS], capture_output=True, text=True,
                                check=True).stdout.strip()
        (daemon.mock_state / "release").touch()
        assert first.communicate(timeout=120)[0].strip() == "reply 0"
    finally:
        if first.poll() is None:
            first.kill()
            first.wait()
    expected = f"AUDIT FAIL: method=compilePolicy, sender={sender}, failed to get uid"
    wait_for(lambda: expected in audit_lines(daemon), "the refusal of the departed caller")
    messages = [msg for _, msg in daemon.log.lines()]
    assert any(m.startswith(f"GetConnectionUnixUser failed for sender {sender}: ") for m in messages)
    assert f"#ERROR: auth failed for sender {sender}, method compilePolicy" in messages
    assert "#INFO: 开始全量策略编译" not in messages
