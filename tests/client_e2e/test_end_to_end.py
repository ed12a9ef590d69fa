"""The client library and both commands against the running daemon and the
simulated kernel module: what they print and return, and what reaches the
module."""

import os
import pathlib
import re
import shutil
import subprocess

import pytest

from conftest import GOOD_POLICY, INIT, SYNC, SYNTAX_ERROR, messages, run, write_policy

SUCCESS = "成功!\n"
FAILURE = "失败，查看日志获取更多信息!\n"
DELIVERED = re.compile(r"^sendPolicy: delivered image ([0-9a-f]{64}) ")
INIT_IMAGE = pathlib.Path("/var/lib/tavo/init-policy.bin")


def delivered_digests(system):
    return [m.group(1) for m in map(DELIVERED.match, messages(system, "tavo-policyd")) if m]


def test_library_functions_drive_the_daemon(system, kernel, probe):
    write_policy("web.p", GOOD_POLICY)
    steps = [
        (["compilePolicy"], 0),
        (["sendPolicy"], 0),
        (["compileSectionPolicy", "web", "front"], 0),
        (["sendPolicy"], 0),
        (["modifyDynamicVariable", "web", "guard", 1], 0),
        # The daemon's own refusal comes back as it is.
        (["modifyDynamicVariable", "web", "guard", 2], -1),
        (["compileInitPolicy"], 0),
    ]
    for args, result in steps:
        r = run(probe.argv(*args), env=probe.env())
        assert (r.stdout, r.stderr, r.code) == (f"{result}\n", "", 0), args
    state = kernel.state()
    assert state["policy_digest"] == delivered_digests(system)[0]
    assert len(state["section"]) == 1 and state["section"][0].startswith("web front ")
    assert state["dynamic"] == ["web guard 1"]
    assert INIT_IMAGE.is_file()


def test_library_caller_refused_by_the_shipped_bus_policy(system, probe):
    # Only root and secadm may reach the daemon at all.
    r = run(probe.argv("compilePolicy"), user="tester", env=probe.env())
    assert r.stdout == "-1\n"
    [line] = messages(system, "probe")
    assert line.startswith("D-Bus 访问被拒绝 [compilePolicy]: ")


@pytest.mark.parametrize("user,three_mode", [("root", False), ("secadm", True)])
def test_sync_all_puts_the_policy_in_the_module(system, kernel, user, three_mode):
    system.set_three_mode(three_mode)
    write_policy("web.p", GOOD_POLICY)
    r = run([SYNC, "-a"], user=user)
    assert (r.stdout, r.stderr, r.code) == (SUCCESS, "", 0)
    state = kernel.state()
    assert [state["policy_digest"]] == delivered_digests(system)
    assert state["init"] == "no" and int(state["policy_nodes"]) > 0

    r = run([SYNC, "-d", "-n", "web", "-v", "guard", "-V", "true"], user=user)
    assert (r.stdout, r.code) == (SUCCESS, 0)
    assert kernel.state()["dynamic"] == ["web guard 1"]


def test_sync_all_stops_after_a_failed_compile(system, kernel):
    write_policy("web.p", SYNTAX_ERROR)
    r = run([SYNC, "-a"])
    # Without the checker installed, the reason is only named (test_reasons.py).
    assert (r.stdout, r.code) == (FAILURE, 3)
    assert r.stderr == f"原因: 无法运行 {os.environ['TAVO_CHECK_INSTALLED']}；运行 journalctl -t tavo-policyd 查看\n"
    lines = messages(system, "tavo-policyd")
    assert "#INFO: 开始全量策略编译" in lines and "#INFO: 开始策略同步" not in lines
    assert kernel.state()["policy_digest"] == "none"


# Kernel answers to a delivery, as the sync command reports them. 256 would
# read as success in the shell: it exits 1.
@pytest.mark.parametrize("code,status", [(70, 70), (12, 12), (256, 1)])
def test_sync_reports_the_kernels_answer(system, kernel, code, status):
    write_policy("web.p", GOOD_POLICY)
    assert run([SYNC, "-a"]).code == 0
    kernel.fail_next(code)
    r = run([SYNC, "-l"])
    assert (r.stdout, r.stderr, r.code) == (FAILURE, "", status)


def test_sync_without_the_daemon(system):
    system.stop("daemon")
    r = run([SYNC, "-l"])
    assert (r.stdout, r.stderr, r.code) == (FAILURE, "", 255)
    [line] = messages(system, "tavo-main-policy-sync")
    assert line.startswith("其他 D-Bus 错误 [sendPolicy]: ")


@pytest.fixture
def init_image(system, probe):
    """The initial image, compiled by the daemon into /var/lib/tavo."""
    write_policy("web.p", GOOD_POLICY)
    r = run(probe.argv("compileInitPolicy"), env=probe.env())
    assert r.stdout == "0\n"
    return INIT_IMAGE


KERNEL_CODES = [
    (5, "Kernel sync failed: failed to get policy data stream from kernel\n", 5),
    (12, "Kernel sync failed: system out of memory\n", 12),
    (22, "Kernel sync failed: policy format invalid, incomplete data or magic number verification failed\n", 22),
    (61, "Kernel sync failed: additional function does not exist or not registered in framework\n", 61),
    (70, "Kernel sync failed: tavo_main module not loaded\n", 70),
    (71, "Kernel sync failed: policy delivery order error\n", 71),
    (74, "Kernel sync failed: policy message type error\n", 74),
    (3, "Kernel sync failed, error code 3, check logs for more details\n", 3),
    (256, "Kernel sync failed, error code 256, check logs for more details\n", 1),
]


@pytest.mark.parametrize("code,message,status", KERNEL_CODES, ids=[str(c[0]) for c in KERNEL_CODES])
def test_init_maps_each_kernel_code(kernel, init_image, code, message, status):
    kernel.fail_next(code)
    r = run([INIT])
    assert (r.stdout, r.stderr, r.code) == ("", message, status)
    assert kernel.state()["policy_digest"] == "none"


def test_init_early_boot_delivers_the_image_under_the_prefix(system, kernel, init_image):
    """The daemon compiles the initial policy; a root mounted at a prefix
    holds a copy of /var/lib/tavo; the command delivers that copy."""
    sysroot = pathlib.Path(system.state) / "sysroot"
    sysroot.mkdir(exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "tavo-sysroot", str(sysroot)], check=True)
    try:
        shutil.copytree("/var/lib/tavo", sysroot / "var" / "lib" / "tavo")
        init_image.unlink()  # only the copy under the prefix is there to find
        r = run([INIT, "-P", "/nonexistent", "-P", str(sysroot)])
        assert (r.stdout, r.stderr, r.code) == ("", "", 0)
    finally:
        subprocess.run(["umount", str(sysroot)], check=True)
    state = kernel.state()
    assert state["init"] == "yes"
    [compiled] = [m for m in messages(system, "tavo-main-policy-init") if "delivered initial image" in m]
    assert state["policy_digest"] in compiled


def test_init_refused_prefix_constructs_nothing(system, kernel, init_image):
    plain = pathlib.Path(system.state) / "not-a-mount-point"
    plain.mkdir(exist_ok=True)
    writes = kernel.state()["writes"]
    r = run([INIT, "-P", str(plain)])
    assert (r.stdout, r.stderr, r.code) == ("", "Kernel sync failed: invalid mount point prefix\n", 22)
    assert kernel.state()["writes"] == writes
    assert not [m for m in messages(system, "tavo-main-policy-init") if m.startswith("sendInitPolicy")]
