"""The five methods over the real bus: result codes and the log lines of the
handlers ("#"), the directory pipeline ("##") and one file ("###", "####"),
and what reaches the simulated kernel module, also across restarts and the
init command."""

import ctypes
import os
import pathlib
import re
import select
import socket
import struct
import subprocess

import pytest

from conftest import BIN, GOOD_POLICY, SYNTAX_ERROR, POLICY_DIR, write_policy

MODULE_ABSENT = (1, "错误：tavo模块未加载，需要先加载tavo模块。")
INIT_IMAGE = pathlib.Path("/var/lib/tavo/init-policy.bin")


def layered(sandbox):
    """The handler and pipeline lines (those starting with '#'), trailing
    line feeds removed; the compiler's own diagnostics are the unit tests'
    business."""
    return [(lvl, msg.rstrip("\n")) for lvl, msg in sandbox.log.lines()
            if msg.startswith("#") and not msg.startswith("####ERROR: syntax error")]


def audited(sandbox):
    return [msg for _, msg in sandbox.log.lines() if msg.startswith("AUDIT")]


def file_ok(name):
    return [(4, f"###INFO: 读取配置文件{name}成功"), (4, f"####INFO: 构造文件{name}中的数据"),
            (4, f"####INFO: 文件{name}中的数据构造完成"), (4, f"###INFO: 文件{name}处理完成"),
            (4, f"##INFO: 处理策略文件 {name} 成功")]


def compile_ok(start, names):
    lines = [(3, start), (3, "##INFO: 策略清除完成")]
    for name in names:
        lines += file_ok(name)
    return lines + [(3, "#INFO: 策略文件处理成功")]


@pytest.mark.parametrize("method,args,start,tail", [
    ("compilePolicy", [], "#INFO: 开始全量策略编译", [(3, "#INFO: 策略文件编译成功")]),
    ("compileInitPolicy", [], "#INFO: 开始初始化策略编译", [(3, "#INFO: 策略文件编译成功")]),
    ("compileSectionPolicy", ["web", "front"], "#INFO: 开始增量策略编译", []),
])
def test_compile_methods_succeed(call, daemon, method, args, start, tail):
    write_policy("a.p", GOOD_POLICY)
    assert call.code(method, *args) == 0
    assert layered(daemon) == compile_ok(start, ["a.p"]) + tail
    assert audited(daemon)[-1].startswith(f"AUDIT PASS: method={method}, sender=:")


# Directory contents through the daemon: (files, expected code, expected
# "#"-lines between the start line and the end).
def _fifo(path):
    os.mkfifo(path)


def _subdir(path):
    os.mkdir(path)
    (path / "inner.p").write_bytes(GOOD_POLICY)


def _link(path):
    os.symlink(POLICY_DIR / "b.p", path)


EMPTY_FILE_LINES = [(4, "###INFO: 读取配置文件a.p成功"), (2, "####WARN: 文件a.p为空"),
                    (2, "###WARN: 文件a.p中有效策略数为0"), (4, "###INFO: 文件a.p处理完成"),
                    (4, "##INFO: 处理策略文件 a.p 成功")]

DIRECTORY_CASES = {
    "empty directory": ({}, 1, [(1, "##ERROR: 不存在.p或.policy结尾的策略文件，策略将不会下发"),
                                (1, "#ERROR: 处理策略文件失败，不存在以.p或.policy结尾的有效策略文件")]),
    "empty file": ({"a.p": b""}, 0, EMPTY_FILE_LINES + [(3, "#INFO: 策略文件处理成功"),
                                                        (3, "#INFO: 策略文件编译成功")]),
    "skipped names": ({"a.P": GOOD_POLICY, "a.policy.bak": GOOD_POLICY, "policy": GOOD_POLICY,
                       ".hidden.p": SYNTAX_ERROR, "a..p": SYNTAX_ERROR, "b.p": GOOD_POLICY, "link.p": _link},
                      0, file_ok("b.p") + [(3, "#INFO: 策略文件处理成功"), (3, "#INFO: 策略文件编译成功")]),
    "sub.p directory": ({"sub.p": _subdir}, -1, [(1, "##ERROR: 处理策略文件 sub.p 失败，错误码 -1"),
                                                 (1, "#ERROR: 处理策略文件失败，错误信息为 -1 ")]),
    "FIFO named x.p": ({"x.p": _fifo}, -1, [(1, "##ERROR: 处理策略文件 x.p 失败，错误码 -1"),
                                            (1, "#ERROR: 处理策略文件失败，错误信息为 -1 ")]),
    "syntax error stops the run": ({"1.p": SYNTAX_ERROR, "2.p": GOOD_POLICY}, 3, [
        (4, "###INFO: 读取配置文件1.p成功"), (1, "####ERROR: 文件1.p中存在编译错误"),
        (1, "###ERROR: 策略文件1.p解析失败"), (4, "###INFO: 文件1.p处理完成"),
        (1, "##ERROR: 处理策略文件 1.p 失败，错误码 3"), (1, "#ERROR: 处理策略文件失败，存在语法编译错误")]),
    "NUL byte": ({"a.p": GOOD_POLICY + b"\0" + SYNTAX_ERROR}, 3, [
        (4, "###INFO: 读取配置文件a.p成功"), (1, "####ERROR: 文件a.p第6行含有NUL字节，拒绝编译"),
        (1, "###ERROR: 策略文件a.p解析失败"), (4, "###INFO: 文件a.p处理完成"),
        (1, "##ERROR: 处理策略文件 a.p 失败，错误码 3"), (1, "#ERROR: 处理策略文件失败，存在语法编译错误")]),
}


EXTRA_LINES = {
    "skipped names": ["跳过非法文件名: a..p", "跳过目录内软链接文件: link.p"],
    "sub.p directory": ["路径 sub.p 不是常规文件"],
    "FIFO named x.p": ["路径 x.p 不是常规文件"],
}
ABSENT_NAMES = {
    "skipped names": ["a.P", "a.policy.bak", ".hidden.p"],
    "syntax error stops the run": ["2.p"],
}


@pytest.mark.parametrize("case", DIRECTORY_CASES)
def test_directory_cases_through_the_daemon(call, daemon, case):
    files, expected_code, expected_lines = DIRECTORY_CASES[case]
    for name, content in files.items():
        if callable(content):
            content(POLICY_DIR / name)
        else:
            write_policy(name, content)
    assert call.code("compilePolicy") == expected_code
    lines = layered(daemon)
    assert lines[:2] == [(3, "#INFO: 开始全量策略编译"), (3, "##INFO: 策略清除完成")]
    assert lines[2:] == expected_lines
    messages = [msg for _, msg in daemon.log.lines()]
    for expected in EXTRA_LINES.get(case, []):
        assert messages.count(expected) == 1, expected
    for absent in ABSENT_NAMES.get(case, []):
        assert not any(absent in msg for msg in messages), absent


def test_module_absent(call, daemon):
    # Answered -1 before authorisation, and audited all the same. Without the
    # module there is no three-mode switch either: three-mode is off, and
    # root stores the initial policy that the module takes at the next boot.
    write_policy("a.p", GOOD_POLICY)
    INIT_IMAGE.unlink(missing_ok=True)
    daemon.hide_module(True)
    S = r"sender=:\d+\.\d+"
    for method, args in [("compilePolicy", []), ("compileSectionPolicy", ["web", "front"]), ("sendPolicy", []),
                         ("modifyDynamicVariable", ["web", "guard", 1])]:
        daemon.log.mark()
        assert call.code(method, *args) == -1, method
        lines = daemon.log.lines()
        assert lines[0] == MODULE_ABSENT and len(lines) == 2, lines
        assert re.fullmatch(rf"AUDIT FAIL: method={method}, {S}, refused before authorisation: tavo module not loaded",
                            lines[1][1]) and lines[1][0] == 1, lines
    daemon.log.mark()
    assert call.code("compileInitPolicy") == 0
    assert re.fullmatch(rf"AUDIT PASS: method=compileInitPolicy, {S}, uid=0, three_mode=0", audited(daemon)[-1])
    assert layered(daemon)[-1] == (3, "#INFO: 策略文件编译成功")
    assert INIT_IMAGE.exists()
    # Nobody but root, as in any mode that is off.
    daemon.log.mark()
    assert call.code("compileInitPolicy", user="secadm") == -100


LONG = "a" * 513
BAD_ARGUMENTS = [
    ("compileSectionPolicy", ["", "front"], "validate_name_param: 命名空间名称(ns_name) 为空",
     "#ERROR: compileSectionPolicy 输入校验失败，ns_name不合法"),
    ("compileSectionPolicy", [LONG, "front"], "validate_name_param: 命名空间名称(ns_name) 长度(513)超过限制(512)",
     "#ERROR: compileSectionPolicy 输入校验失败，ns_name不合法"),
    ("compileSectionPolicy", ["web", "a.b"],
     "validate_name_param: 策略段名称(sec_name) 包含非法字符（仅允许字母、数字、下划线、连字符）",
     "#ERROR: compileSectionPolicy 输入校验失败，sec_name不合法"),
    ("modifyDynamicVariable", ["web", "guard", 2], None,
     "#ERROR: modifyDynamicVariable var_value invalid, must be 0 or 1, received 2"),
    ("modifyDynamicVariable", ["web", "guard", -1], None,
     "#ERROR: modifyDynamicVariable var_value invalid, must be 0 or 1, received -1"),
    ("modifyDynamicVariable", ["网", "guard", 1],
     "validate_name_param: 命名空间名称(ns_name) 包含非法字符（仅允许字母、数字、下划线、连字符）",
     "#ERROR: modifyDynamicVariable 输入校验失败，ns_name不合法"),
    ("modifyDynamicVariable", ["web", "", 0], "validate_name_param: 变量名称(var_name) 为空",
     "#ERROR: modifyDynamicVariable 输入校验失败，var_name不合法"),
]


@pytest.mark.parametrize("method,args,check_line,handler_line", BAD_ARGUMENTS)
def test_bad_names_and_values(call, daemon, method, args, check_line, handler_line):
    write_policy("a.p", GOOD_POLICY)
    assert call.code(method, *args) == -1
    messages = [msg for _, msg in daemon.log.lines() if not msg.startswith(("AUDIT", "polkit", "getCaller"))]
    # Over-long names are refused before authorisation, so before the start line.
    start = ["#INFO: 开始增量策略编译"] if method == "compileSectionPolicy" and LONG not in args else []
    assert messages == start + ([check_line] if check_line else []) + [handler_line]
    if LONG in args:
        # Neither the bus daemon nor polkit was asked.
        lines = audited(daemon)
        assert len(lines) == 1 and re.fullmatch(
            rf"AUDIT FAIL: method={method}, sender=:\d+\.\d+, refused before authorisation: "
            r"命名空间名称\(ns_name\) longer than 512 bytes", lines[0]), lines


# --- the kernel side, through tavo-simkernel ---------------------------------

def sim_state(daemon):
    text = (daemon.module_dir / ".sim" / "state").read_text()
    return dict(line.split(":", 1) for line in text.splitlines() if ":" in line)


def kernel_digest(daemon):
    return sim_state(daemon).get("policy_digest", "").strip()


def compile_and_send(call):
    assert call.code("compilePolicy") == 0
    assert call.code("sendPolicy") == 0


def test_policy_reaches_the_kernel(call, kernel):
    write_policy("a.p", GOOD_POLICY)
    compile_and_send(call)
    digest = kernel_digest(kernel)
    assert re.fullmatch(r"[0-9a-f]{16,}", digest)
    assert any(digest in msg for _, msg in kernel.log.lines()), "the daemon did not log the delivered digest"
    assert (3, "#INFO: 策略同步成功") in layered(kernel)


SEND_FAILURES = {
    5: "#ERROR: 策略同步失败，内核获取上层策略数据流失败",
    12: "#ERROR: 策略同步失败，系统内存不足",
    22: "#ERROR: 策略同步失败，策略格式不规范，数据不完整或魔术字校验不通过",
    61: "#ERROR: 策略同步失败，附加函数不存在, 或者存在但是没有注册到框架中",
    70: "#ERROR: 策略同步失败，tavo_main主模块未加载",
    71: "#ERROR: 策略同步失败，策略下发顺序错误",
    74: "#ERROR: 策略同步失败，策略消息类型错误",
    1: "#ERROR: 策略同步失败，错误码为 1, 查看日志获取更多信息",
}


@pytest.mark.parametrize("errno_value", SEND_FAILURES)
def test_kernel_codes_of_send_policy(call, kernel, errno_value):
    write_policy("a.p", GOOD_POLICY)
    assert call.code("compilePolicy") == 0
    before = kernel_digest(kernel)
    (kernel.module_dir / ".sim" / "fail").write_text(f"{errno_value}\n")
    kernel.log.mark()
    assert call.code("sendPolicy") == errno_value
    assert layered(kernel) == [(3, "#INFO: 开始策略同步"), (1, SEND_FAILURES[errno_value])]
    assert kernel_digest(kernel) == before


# A failed compile leaves nothing to deliver: every compile method clears
# the library first, a refused section included.
@pytest.mark.parametrize("content, method, args, code", [
    (SYNTAX_ERROR, "compilePolicy", [], 3),
    (GOOD_POLICY, "compileSectionPolicy", ["web", "back"], 22),
], ids=["file fails", "section refused"])
def test_failed_compile_then_send_keeps_the_kernels_policy(call, kernel, content, method, args, code):
    write_policy("a.p", GOOD_POLICY)
    compile_and_send(call)
    delivered = kernel_digest(kernel)
    write_policy("a.p", content)
    assert call.code(method, *args) == code
    assert call.code("sendPolicy") == 71
    assert kernel_digest(kernel) == delivered


FAN_CLASS_CONTENT, FAN_CLOEXEC, FAN_MARK_ADD, FAN_OPEN_PERM, FAN_ALLOW = 0x4, 0x1, 0x1, 0x10000, 0x1
FAN_EVENT = struct.Struct("=IBBHQii")  # event_len, vers, reserved, metadata_len, mask, fd, pid


def run_holding_opens(argv, path, while_held):
    """Runs `argv` while every open of `path` waits for our answer (fanotify
    permission events); `while_held` runs once, while the first one waits.
    Returns the program's standard output."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int, ctypes.c_char_p]
    fan = libc.fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, os.O_RDONLY)
    assert fan >= 0, os.strerror(ctypes.get_errno())
    try:
        assert libc.fanotify_mark(fan, FAN_MARK_ADD, FAN_OPEN_PERM, -100, str(path).encode()) == 0
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
        held = False
        while proc.poll() is None:
            if not select.select([fan], [], [], 0.1)[0]:
                continue
            data = os.read(fan, 4096)
            while data:
                length, _, _, _, _, fd, _ = FAN_EVENT.unpack_from(data)
                if not held:
                    while_held()
                    held = True
                os.write(fan, struct.pack("=iI", fd, FAN_ALLOW))
                os.close(fd)
                data = data[length:]
        assert held, f"{path} was never opened"
        return proc.communicate(timeout=180)[0]
    finally:
        os.close(fan)


def test_file_changed_before_the_run_ended_is_not_delivered(call, kernel):
    # a.p is read and compiled; while the daemon opens b.p, a.p is rewritten
    # in place with another version of the same size and its times are put
    # back: only its content tells.
    version = GOOD_POLICY.replace(b"/usr/bin/app", b"/usr/bin/apq")
    write_policy("a.p", GOOD_POLICY)
    write_policy("b.p", b"# nothing\n")
    compile_and_send(call)
    delivered = kernel_digest(kernel)
    a = POLICY_DIR / "a.p"
    before = a.stat()

    def rewrite_a():
        with open(a, "r+b") as f:
            f.write(version)
        os.utime(a, ns=(before.st_atime_ns, before.st_mtime_ns))

    kernel.log.mark()
    out = run_holding_opens(call.argv("compilePolicy"), POLICY_DIR / "b.p", rewrite_a)
    assert out.strip() == "reply -1"
    assert layered(kernel)[-3:] == [(1, "###ERROR: 文件a.p在读取过程中被修改，拒绝编译"),
                                    (1, "##ERROR: 处理策略文件 a.p 失败，错误码 -1"),
                                    (1, "#ERROR: 处理策略文件失败，错误信息为 -1 ")]
    assert call.code("sendPolicy") == 71
    assert kernel_digest(kernel) == delivered


def test_dynamic_variable_reaches_the_kernel(call, kernel):
    write_policy("a.p", GOOD_POLICY)
    compile_and_send(call)
    kernel.log.mark()
    assert call.code("modifyDynamicVariable", "web", "guard", 1) == 0
    assert layered(kernel) == [(3, "#INFO: 修改动态变量[web:guard] = 1 成功")]
    assert "guard" in sim_state(kernel).get("dynamic", "")
    kernel.log.mark()
    assert call.code("modifyDynamicVariable", "web", "nosuch", 1) != 0
    assert layered(kernel) == [(3, "#INFO: 修改动态变量[web:nosuch] = 1 失败")]


# --- the module judges dynamic variables, whatever came before ---------------

INIT = BIN / "tools" / "tavo-main-policy-init" / "tavo-main-policy-init"
OTHER_NAMESPACE = b"""string name = mail
%SECTION inbox
allow root "/usr/bin/mda" "/var/mail/*" file { read }
%ENDSEC
"""


def kernel_dynamic(sandbox):
    text = (sandbox.module_dir / ".sim" / "state").read_text()
    return [line.split(": ", 1)[1] for line in text.splitlines() if line.startswith("dynamic: ")]


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
    (kernel.module_dir / ".sim" / "reset").write_text("1\n")
    before, variable, expected, held = DYNAMIC_CASES[case]
    before(call, kernel)
    kernel.log.mark()
    assert call.code("modifyDynamicVariable", "web", variable, 1) == expected
    outcome = "成功" if expected == 0 else "失败"
    assert (3, f"#INFO: 修改动态变量[web:{variable}] = 1 {outcome}") in kernel.log.lines()
    assert kernel_dynamic(kernel) == held


# --- the initial image's store ----------------------------------------------

INIT_DIR = "/var/lib/tavo"


def _read_only(path):
    subprocess.run(["mount", "--bind", path, path], check=True)
    subprocess.run(["mount", "-o", "remount,bind,ro", path], check=True)


def _full(path):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k", "tavo-full", path], check=True)


@pytest.mark.parametrize("make,reason", [(_read_only, "Read-only file system"),
                                         (_full, "No space left on device")])
def test_failed_store_of_the_initial_image_says_why(call, daemon, make, reason):
    write_policy("a.p", GOOD_POLICY + b"".join(
        b'allow 0 "/usr/bin/app%d" "/srv/*" file { read }\n' % i for i in range(200)))
    os.makedirs(INIT_DIR, exist_ok=True)
    make(INIT_DIR)
    try:
        assert call.code("compileInitPolicy") == 5
    finally:
        subprocess.run(["umount", INIT_DIR], check=True)
    errors = [msg for lvl, msg in daemon.log.lines() if lvl == 1]
    assert errors == [f"cannot store the initial policy image in {INIT_DIR}/init-policy.bin: {reason}",
                      "#ERROR: 策略编译失败，数据解析错误"]


# --- hostile text in log lines ------------------------------------------------

def test_hostile_file_name_reaches_the_log_escaped(call, daemon):
    # A C1 CSI, a line separator, a right-to-left override and a byte that
    # is not UTF-8, in the name of a file that fails.
    name = b"a\xc2\x9b2J\xe2\x80\xa8\xe2\x80\xaeb\xff.p"
    (POLICY_DIR / os.fsdecode(name)).write_bytes(SYNTAX_ERROR)
    assert call.code("compilePolicy") == 3
    escaped = "a\\xc2\\x9b2J\\xe2\\x80\\xa8\\xe2\\x80\\xaeb\\xff.p"
    assert (1, f"##ERROR: 处理策略文件 {escaped} 失败，错误码 3") in layered(daemon)
    # Whatever another process sends, the collector keeps recording.
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.sendto(b"<11>raw: \xff\xc2\x85\xe2\x80\xa8end", "/dev/log")
    sock.close()
    assert [r["message"] for r in daemon.log.records("raw")] == ["\udcff\x85\u2028end"]
