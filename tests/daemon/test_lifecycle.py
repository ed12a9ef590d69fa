"""The daemon across changes around it: the kernel keeps the policy in force
while the daemon restarts or compiles other things; the bus goes away; the
service manager's watchdog hears from the event loop."""

import os
import signal
import socket
import subprocess
import time

import pytest

import tavo_sandbox
from conftest import BIN, GOOD_POLICY, SYNTAX_ERROR, write_policy

INIT = BIN / "tools" / "tavo-main-policy-init" / "tavo-main-policy-init"
OTHER_NAMESPACE = b"""string name = mail
%SECTION inbox
allow root "/usr/bin/mda" "/var/mail/*" file { read }
%ENDSEC
"""


def kernel_dynamic(sandbox):
    text = (sandbox.module_dir / ".sim" / "state").read_text()
    return [line.split(": ", 1)[1] for line in text.splitlines() if line.startswith("dynamic: ")]


@pytest.fixture
def kernel(daemon):
    if not daemon.has_simkernel:
        pytest.skip("tavo-simkernel is not built")
    (daemon.module_dir / ".sim" / "reset").write_text("1\n")
    return daemon


def restart_daemon(sandbox):
    assert sandbox.stop("daemon") == 0
    sandbox.start_daemon()


def delivered_then_restarted(call, sandbox):
    write_policy("a.p", GOOD_POLICY)
    assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0
    restart_daemon(sandbox)


def initial_policy_at_boot(call, sandbox):
    # The daemon stored the initial image once; at boot the init command
    # delivers it and the daemon is then started (activated) afresh.
    write_policy("a.p", GOOD_POLICY)
    assert call.code("compileInitPolicy") == 0
    assert sandbox.stop("daemon") == 0
    init = subprocess.run([str(INIT)], capture_output=True, text=True, timeout=60)
    assert init.returncode == 0, init.stdout + init.stderr
    sandbox.start_daemon()


def section_of_another_namespace(call, sandbox):
    write_policy("a.p", GOOD_POLICY)
    write_policy("b.p", OTHER_NAMESPACE)
    assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0
    assert call.code("compileSectionPolicy", "mail", "inbox") == 0 and call.code("sendPolicy") == 0


def failed_compile(call, sandbox):
    write_policy("a.p", GOOD_POLICY)
    assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0
    write_policy("b.p", SYNTAX_ERROR)
    assert call.code("compilePolicy") == 3


def nothing_in_force(call, sandbox):
    write_policy("a.p", GOOD_POLICY)
    assert call.code("compilePolicy") == 0


# What happened before the change of web:guard, what the daemon answers (the
# module's own code), and what the module then holds.
DYNAMIC_CASES = {
    "after a daemon restart": (delivered_then_restarted, "guard", 0, ["web guard 1"]),
    "after the init command at boot": (initial_policy_at_boot, "guard", 0, ["web guard 1"]),
    "after a section update of another namespace": (section_of_another_namespace, "guard", 0, ["web guard 1"]),
    "after a failed compile": (failed_compile, "guard", 0, ["web guard 1"]),
    "variable the module does not hold": (delivered_then_restarted, "nosuch", 22, ["web guard 0"]),
    "no policy in force": (nothing_in_force, "guard", 71, []),
}


@pytest.mark.parametrize("case", DYNAMIC_CASES)
def test_the_module_judges_dynamic_variables(call, kernel, case):
    before, variable, expected, held = DYNAMIC_CASES[case]
    before(call, kernel)
    kernel.log.mark()
    assert call.code("modifyDynamicVariable", "web", variable, 1) == expected
    outcome = "成功" if expected == 0 else "失败"
    assert (3, f"#INFO: 修改动态变量[web:{variable}] = 1 {outcome}") in kernel.log.lines()
    assert kernel_dynamic(kernel) == held


# --- the initial image's directory ------------------------------------------

STATE_DIR = "/var/lib/tavo"


def test_stale_temporaries_are_removed_before_the_initial_image_is_stored(call, daemon):
    write_policy("a.p", GOOD_POLICY)
    # A small directory filled up by temporaries of interrupted stores:
    # without their removal the store fails with 5.
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0755", "tavo-var-lib-tavo", STATE_DIR], check=True)
    try:
        others = {"init-policy.bin.1234567": b"x", "init-policy.bin.abc": b"x", "other.bin.a1B2c3": b"x",
                  "init-policy.bin.a-b_c1": b"x"}
        for name, content in others.items():
            with open(os.path.join(STATE_DIR, name), "wb") as f:
                f.write(content)
        os.mkdir(os.path.join(STATE_DIR, "init-policy.bin.dirXYZ"))
        os.symlink("/etc/passwd", os.path.join(STATE_DIR, "init-policy.bin.lnkXYZ"))
        stale = []
        try:
            for i in range(1000):
                name = f"init-policy.bin.Tmp{i:03d}"
                with open(os.path.join(STATE_DIR, name), "wb") as f:
                    stale.append(name)
                    f.write(os.urandom(64 * 1024))
        except OSError:
            pass
        assert len(stale) > 1

        assert call.code("compileInitPolicy") == 0
        left = set(os.listdir(STATE_DIR))
        assert left == {"init-policy.bin", "init-policy.bin.dirXYZ", "init-policy.bin.lnkXYZ", *others}
        assert os.path.getsize(os.path.join(STATE_DIR, "init-policy.bin")) > 0
        removed = [m for _, m in daemon.log.lines() if "left by an interrupted store" in m]
        assert len(removed) == len(stale)
    finally:
        subprocess.run(["umount", STATE_DIR], check=True)


# --- the bus daemon goes away ---------------------------------------------------

def test_losing_the_bus_ends_the_daemon_with_a_failure(daemon):
    proc = daemon.daemon
    daemon.bus.send_signal(signal.SIGKILL)
    daemon.bus.wait(30)
    daemon.bus = None
    try:
        status = proc.wait(60)
    finally:
        daemon.daemon = None
        # A new bus for the tests that follow, and the services on it.
        os.unlink(tavo_sandbox.BUS_SOCKET)
        daemon.stop("polkitd")
        daemon.start_bus()
        daemon.start_polkitd()
        daemon.start_daemon()
    assert status == 1
    assert (1, "Lost the connection to the system bus, exiting ...") in daemon.log.lines()


# --- the service manager's watchdog -------------------------------------------

WATCHDOG_USEC = 600_000


@pytest.mark.parametrize("pid,notified", [("self", True), ("another", False)])
def test_watchdog_notifications_arrive_while_the_daemon_serves(call, daemon, pid, notified):
    write_policy("a.p", GOOD_POLICY)
    # Short enough for a socket address, on the sandbox's own tmpfs.
    address = f"/dev/shm/tavo-notify-{os.getpid()}"
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(address)
    listener.settimeout(0.05)
    assert daemon.stop("daemon") == 0
    env = {"NOTIFY_SOCKET": address, "WATCHDOG_USEC": str(WATCHDOG_USEC)}
    # The shell's pid is the daemon's once it execs.
    wrapper = ["sh", "-c", 'WATCHDOG_PID=$$ exec "$0"'] if pid == "self" else []
    if pid == "another":
        env["WATCHDOG_PID"] = "1"
    try:
        daemon.start_daemon(env=env, wrapper=wrapper)
        messages = []
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0
            try:
                while True:
                    messages.append(listener.recv(4096).decode())
            except socket.timeout:
                pass
    finally:
        listener.close()
        os.unlink(address)
        assert daemon.stop("daemon") == 0
        daemon.start_daemon()
    if notified:
        # Every 0.3 s for 3 s, the first at once: well over three.
        assert len(messages) >= 3 and set(messages) == {"WATCHDOG=1"}, messages
    else:
        assert messages == []
