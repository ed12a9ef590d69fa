"""tavo-main-policy-init from the shell: the order of its checks, its
options, texts and exit statuses. What it delivers is tested against the
simulated module in tests/client_e2e."""

import os

import pytest

from conftest import MODULE_DIR, run

INIT = os.environ["TAVO_INIT"]
USAGE = "".join(line + "\n" for line in [
    "用法: tavo-main-policy-init",
    "功能: 下发初始化策略",
    "参数:",
    "    -P, --prefix 目录前缀",
    "    -h, --help    显示帮助信息",
    "举例:",
    "    tavo-main-policy-init",
    "    tavo-main-policy-init -P /sysroot",
])
ROOT_ONLY = "Error: this command must be run as root.\n"
INVALID = "Invalid option\n"
MODULE_MISSING = "错误：tavo模块未加载，需要先加载tavo模块。"
POLICY_FILE = MODULE_DIR / "policy"

# args, user, stdout, stderr, status
REFUSALS = [
    (["-h"], "tester", "", ROOT_ONLY, 255),
    (["-h"], "secadm", "", ROOT_ONLY, 255),
    (["-h"], "root", USAGE, "", 0),
    (["--help", "-x"], "root", USAGE, "", 0),
    (["-x"], "root", USAGE, f"{INIT}: invalid option -- 'x'\n{INVALID}", 255),
    (["-P"], "root", USAGE, f"{INIT}: option requires an argument -- 'P'\n{INVALID}", 255),
    (["--prefix"], "root", USAGE, f"{INIT}: option '--prefix' requires an argument\n{INVALID}", 255),
    (["--version"], "root", "tavo-main-policy-init 0.1.0\n", "", 0),
    (["--version"], "tester", "", ROOT_ONLY, 255),
]


@pytest.fixture
def kernel(module):
    """The module's policy file, empty until something is delivered."""
    POLICY_FILE.write_bytes(b"")
    return POLICY_FILE


@pytest.mark.parametrize("args,user,stdout,stderr,status", REFUSALS,
                         ids=[f"{r[1]}:{' '.join(r[0])}" for r in REFUSALS])
def test_refusals_and_usage(kernel, args, user, stdout, stderr, status):
    r = run([INIT, *args], user=user)
    assert (r.stdout, r.stderr, r.code) == (stdout, stderr, status)
    assert kernel.read_bytes() == b""


def test_module_missing_comes_before_the_root_check(no_module, syslog):
    r = run([INIT, "-h"], user="tester")
    assert (r.stdout, r.stderr, r.code) == (
        "", "Error: the tavo module is not loaded (/sys/kernel/security/tavo/ does not exist)\n", 255)
    assert syslog.drain() == [("tavo-main-policy-init", MODULE_MISSING)]


def test_refused_prefix_delivers_nothing(kernel):
    r = run([INIT, "-P", "relative/sysroot"])
    assert (r.stdout, r.stderr, r.code) == ("", "Kernel sync failed: invalid mount point prefix\n", 22)
    assert kernel.read_bytes() == b""
