"""tavo-main-policy-sync from the shell: the order of its checks, its
options, texts and exit statuses, and the requests it sends, against a
scripted peer that owns the daemon's name on a private system bus."""

import os
import subprocess

import pytest

import tavo_sandbox
from conftest import run

SYNC = os.environ["TAVO_SYNC"]
USAGE = "".join(line + "\n" for line in [
    "用法: tavo-main-policy-sync <opreation> [-n] <namespace> [-s] <section>",
    "功能: 主策略下发",
    "参数:",
    "    -h, --help    显示帮助信息",
    "    -a, --all    全量下发",
    "    -p, --patial 部分下发",
    "    -l, --load 策略同步",
    "    -d, --dynamicvar   变量更新",
    "    -n, --namespace    命名空间",
    "    -s, --section    程序段",
    "    -v, --variable  变量名",
    "    -V, --varvalue  变量值",
    "    opreation,       包含-h、-a、-p、-d",
    "举例:",
    "    tavo-main-policy-sync -a",
    "    tavo-main-policy-sync -p -n defaultpolicy -s filectl",
    "    tavo-main-policy-sync -d -n defaultpolicy -v fileflag -V true",
])
DENIED = "错误: 当前用户无权执行此命令。在三权开启时需要 secadm 用户，在默认模式下需要 root 用户。\n"
INVALID = "无效的参数\n"
NO_OPERATION = "命令格式不正确\n"
SUCCESS = "成功!\n"
FAILURE = "失败，查看日志获取更多信息!\n"
ILLEGAL = "包含非法字符（仅允许字母、数字、下划线、连字符）"
MODULE_MISSING = "错误：tavo模块未加载，需要先加载tavo模块。"
MODULE_MISSING_LINE = "错误: tavo模块未加载（/sys/kernel/security/tavo/ 不存在），需要先加载tavo模块\n"
# After a failed compile, where the checker is not installed (it is not, in
# this sandbox: tests/client_e2e installs it).
NO_CHECKER = f"原因: 无法运行 {os.environ['TAVO_CHECK_INSTALLED']}；运行 journalctl -t tavo-policyd 查看\n"

# args, user, three-mode, stdout, stderr, status
REFUSALS = [
    ([], "tester", False, USAGE, "", 255),  # usage before the user is looked at
    (["-h"], "tester", False, "", DENIED, 255),
    (["-h"], "secadm", False, "", DENIED, 255),
    (["-h"], "root", False, USAGE, "", 0),
    (["-a"], "root", True, "", DENIED, 255),
    (["-a"], "tester", True, "", DENIED, 255),
    (["--help"], "secadm", True, USAGE, "", 0),
    (["-a", "-h", "-x"], "root", False, USAGE, "", 0),
    (["-x"], "root", False, USAGE, f"{SYNC}: invalid option -- 'x'\n{INVALID}", 255),
    (["-a", "-n"], "root", False, USAGE, f"{SYNC}: option requires an argument -- 'n'\n{INVALID}", 255),
    (["--patial"], "root", False, USAGE, f"{SYNC}: unrecognized option '--patial'\n{INVALID}", 255),
    (["-i"], "root", False, USAGE, INVALID, 255),
    (["-a", "--init"], "root", False, USAGE, INVALID, 255),
    (["-n", "ns1", "stray"], "root", False, USAGE, NO_OPERATION, 255),
    (["--version"], "root", False, "tavo-main-policy-sync 0.1.0\n", "", 0),
    (["--version"], "tester", False, "", DENIED, 255),
    (["-d", "-n", "defaultpolicy", "-v", "fileflag", "-V", "True"], "root", False, "",
     '变量值(varvalue) 必须为 "true" 或 "false"，当前值为 "True"\n', 1),
    (["-d", "-n", "defaultpolicy", "-v", "fileflag"], "secadm", True, "",
     '变量值(varvalue) 必须为 "true" 或 "false"，当前值为 ""\n', 1),
]


@pytest.mark.parametrize("args,user,three_mode,stdout,stderr,status", REFUSALS,
                         ids=[f"{r[1]}:{' '.join(r[0])}" for r in REFUSALS])
def test_refusals_and_usage(module, peer, args, user, three_mode, stdout, stderr, status):
    module.set_three_mode(three_mode)
    r = run([SYNC, *args], user=user)
    assert (r.stdout, r.stderr, r.code) == (stdout, stderr, status)
    assert peer.calls() == []


# args, log line, the one line on standard error
BAD_NAMES = [
    (["-p", "-n", "defaultpolicy"], "validate_name_param: 策略段名称(section) 为空",
     "错误: 缺少策略段名称(section)，请用 -s 给出"),
    (["-p", "-s", "filectl"], "validate_name_param: 命名空间名称(namespace) 为空",
     "错误: 缺少命名空间名称(namespace)，请用 -n 给出"),
    (["-p", "-n", "a/b", "-s", "filectl"], f"validate_name_param: 命名空间名称(namespace) {ILLEGAL}",
     f'错误: 命名空间名称(namespace) "a/b" {ILLEGAL}'),
    (["-d", "-n", "n" * 513, "-v", "fileflag", "-V", "true"],
     "validate_name_param: 命名空间名称(namespace) 长度(513)超过限制(512)",
     "错误: 命名空间名称(namespace) 长度(513)超过限制(512)"),
    # The variable is judged before the value.
    (["-d", "-n", "defaultpolicy", "-v", "a b", "-V", "maybe"], f"validate_name_param: 变量名称(variable) {ILLEGAL}",
     f'错误: 变量名称(variable) "a b" {ILLEGAL}'),
    # The last operation is done; the line says the others were given.
    (["-a", "-d"], "validate_name_param: 命名空间名称(namespace) 为空",
     "错误: 缺少命名空间名称(namespace)，请用 -n 给出（给出了多个操作 -a -d，只做最后一个）"),
]


@pytest.mark.parametrize("args,log,stderr", BAD_NAMES, ids=[str(i) for i in range(len(BAD_NAMES))])
def test_refused_names_exit_1_with_one_log_line(module, peer, syslog, args, log, stderr):
    r = run([SYNC, *args])
    assert (r.stdout, r.stderr, r.code) == ("", stderr + "\n", 1)
    assert syslog.drain() == [("tavo-main-policy-sync", log)]
    assert peer.calls() == []


COMPILE, SEND = ("compilePolicy", "", []), ("sendPolicy", "", [])

# args, user, three-mode, answers, calls, stdout, status (a failed compile
# adds its reasons on standard error)
OPERATIONS = [
    (["-a"], "root", False, {}, [COMPILE, SEND], SUCCESS, 0),
    (["--all"], "secadm", True, {}, [COMPILE, SEND], SUCCESS, 0),
    (["-a"], "root", False, {"compilePolicy": 3}, [COMPILE], FAILURE, 3),
    (["-a"], "root", False, {"sendPolicy": 70}, [COMPILE, SEND], FAILURE, 70),
    (["-l"], "secadm", True, {}, [SEND], SUCCESS, 0),
    (["-P", "/x", "-l"], "root", False, {}, [SEND], SUCCESS, 0),
    (["-l", "-a"], "root", False, {}, [COMPILE, SEND], SUCCESS, 0),
    (["-a", "-p", "-n", "ns1", "-s", "sec1"], "root", False, {},
     [("compileSectionPolicy", "ss", ["ns1", "sec1"])], SUCCESS, 0),
    (["--partial", "--namespace", "a", "--namespace=defaultpolicy", "--section", "filectl"], "root", False,
     {"compileSectionPolicy": -3}, [("compileSectionPolicy", "ss", ["defaultpolicy", "filectl"])], FAILURE, 253),
    (["-d", "-n", "defaultpolicy", "-v", "fileflag", "-V", "true"], "secadm", True, {},
     [("modifyDynamicVariable", "ssi", ["defaultpolicy", "fileflag", 1])], SUCCESS, 0),
    (["--dynamicvar", "-n", "defaultpolicy", "--variable", "fileflag", "--varvalue", "false"], "root", False,
     {"modifyDynamicVariable": 22}, [("modifyDynamicVariable", "ssi", ["defaultpolicy", "fileflag", 0])],
     FAILURE, 22),
    (["-l"], "root", False, {"sendPolicy": -100}, [SEND], FAILURE, 156),
    (["-l"], "root", False, {"sendPolicy": -1}, [SEND], FAILURE, 255),
    # Results whose low eight bits are zero must not read as success.
    (["-l"], "root", False, {"sendPolicy": 256}, [SEND], FAILURE, 1),
    (["-a"], "root", False, {"compilePolicy": -256}, [COMPILE], FAILURE, 1),
]


@pytest.mark.parametrize("args,user,three_mode,answers,calls,stdout,status", OPERATIONS,
                         ids=[f"{o[1]}:{' '.join(o[0])}:{o[3]}" for o in OPERATIONS])
def test_operations(module, peer, args, user, three_mode, answers, calls, stdout, status):
    module.set_three_mode(three_mode)
    peer.answer(**answers)
    r = run([SYNC, *args], user=user)
    compile_failed = any(answers.get(c[0], 0) != 0 for c in calls if c[0].startswith("compile"))
    assert (r.stdout, r.stderr, r.code) == (stdout, NO_CHECKER if compile_failed else "", status)
    assert peer.calls() == calls


def test_daemon_absent(module, bus, syslog):
    r = run([SYNC, "-l"])
    assert (r.stdout, r.stderr, r.code) == (FAILURE, "", 255)
    [(program, message)] = syslog.drain()
    assert message.startswith("其他 D-Bus 错误 [sendPolicy]: ")


@pytest.mark.parametrize("args", [[], ["-h"], ["-a"]])
def test_module_missing_comes_first(no_module, syslog, args):
    r = run([SYNC, *args], user="tester")
    assert (r.stdout, r.stderr, r.code) == ("", MODULE_MISSING_LINE, 255)
    assert syslog.drain() == [("tavo-main-policy-sync", MODULE_MISSING)]


ADMCTL = tavo_sandbox.ADMCTL
SWITCH_UNKNOWN = f"错误: 三权开关状态未知，任何用户都无权执行此命令: contents of {ADMCTL} are neither 0 nor 1\n"


@pytest.fixture
def no_switch(module):
    """The module's directory without the three-mode switch."""
    subprocess.run(["umount", str(ADMCTL)], check=True)
    ADMCTL.unlink()
    yield
    ADMCTL.touch()
    subprocess.run(["mount", "--bind", str(module.admctl_file), str(ADMCTL)], check=True)


# user, switch ("absent" or its contents), stderr, calls made
SWITCH_STATES = [
    ("root", "absent", "", [COMPILE, SEND]),
    ("secadm", "absent", DENIED, []),
    ("root", "on\n", SWITCH_UNKNOWN, []),
    ("secadm", "on\n", SWITCH_UNKNOWN, []),
    ("secadm", "1\n0\n", SWITCH_UNKNOWN, []),
]


@pytest.mark.parametrize("user,switch,stderr,calls", SWITCH_STATES, ids=[f"{s[0]}:{s[1]!r}" for s in SWITCH_STATES])
def test_absent_switch_is_off_and_unknown_contents_refuse_everyone(request, module, peer, user, switch, stderr,
                                                                   calls):
    if switch == "absent":
        request.getfixturevalue("no_switch")
    else:
        module.admctl_file.write_text(switch)
    r = run([SYNC, "-a"], user=user)
    assert (r.stdout, r.stderr, r.code) == (SUCCESS if calls else "", stderr, 0 if calls else 255)
    assert peer.calls() == calls
