"""libtavointerpreter as a client program sees it: the exported symbols,
a build from the installed header and pkg-config, and each function's
checks, results and log lines against a private system bus."""

import os
import pathlib
import subprocess

import pytest

from conftest import run
from programs import Probe

LIBRARY = os.environ["TAVO_LIBRARY"]
BUILD_DIR = os.environ["TAVO_BUILD_DIR"]
STRING = "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >"
PROXY = "ZupolicyPolicymgrInterface::"

EXPORTED = {
    "compilePolicy", "compileInitPolicy", "sendPolicy", "compileSectionPolicy", "modifyDynamicVariable",
    PROXY + "ZupolicyPolicymgrInterface(QString const&, QString const&, QDBusConnection const&, QObject*)",
    PROXY + "~ZupolicyPolicymgrInterface()",
    PROXY + "metaObject() const",
    PROXY + "qt_metacast(char const*)",
    PROXY + "qt_metacall(QMetaObject::Call, int, void**)",
    PROXY + "staticMetaObject",
    PROXY + "compileSectionPolicy(QString const&, QString const&)",
    PROXY + "modifyDynamicVariable(QString const&, QString const&, int)",
    f"validate_name_param({STRING} const&, unsigned long, {STRING} const&)",
    "isInitPidNamespace(int)",
    "is_tavo_module_loaded()",
    "isThreeModeEnabled()",
    f"isAllowedInThreeMode(unsigned int, int, {STRING} const&)",
}


def test_exports_exactly_the_client_interface():
    out = subprocess.run(["nm", "-D", "--defined-only", "--demangle", LIBRARY], check=True, capture_output=True,
                         text=True).stdout
    names = {line.split(" ", 2)[2] for line in out.splitlines() if line.strip()}
    assert names == EXPORTED
    soname = subprocess.run(["objdump", "-p", LIBRARY], check=True, capture_output=True, text=True).stdout
    assert "SONAME               libtavointerpreter.so.1" in soname


@pytest.fixture(scope="module")
def probe():
    """The probe client, built against an installed tree with pkg-config only."""
    built = Probe(BUILD_DIR, pathlib.Path(os.environ["TMPDIR"]) / "client-install")

    def call(*args, user="root"):
        r = run(built.argv(*args), user=user, env=built.env())
        assert r.code == 0, r.stderr
        return int(r.stdout), r.stderr

    return call


def test_each_function_returns_the_daemons_answer(probe, peer):
    peer.answer(compileInitPolicy=5, sendPolicy=-100, compileSectionPolicy=12, modifyDynamicVariable=71)
    cases = [
        (["compilePolicy"], 0, ("compilePolicy", "", [])),
        (["compileInitPolicy"], 5, ("compileInitPolicy", "", [])),
        (["sendPolicy"], -100, ("sendPolicy", "", [])),
        (["compileSectionPolicy", "defaultpolicy", "file_ctl-2"], 12,
         ("compileSectionPolicy", "ss", ["defaultpolicy", "file_ctl-2"])),
        (["compileSectionPolicy", "n" * 512, "A"], 12, ("compileSectionPolicy", "ss", ["n" * 512, "A"])),
        (["modifyDynamicVariable", "defaultpolicy", "fileflag", 1], 71,
         ("modifyDynamicVariable", "ssi", ["defaultpolicy", "fileflag", 1])),
        # The value is not the library's to judge.
        (["modifyDynamicVariable", "defaultpolicy", "fileflag", -7], 71,
         ("modifyDynamicVariable", "ssi", ["defaultpolicy", "fileflag", -7])),
    ]
    for args, result, call in cases:
        assert probe(*args) == (result, ""), args
        assert peer.calls() == [call]


CHECKS = [
    (["compileSectionPolicy", "(null)", "filectl"], "输入校验失败: 参数不能为空\n", []),
    (["modifyDynamicVariable", "defaultpolicy", "(null)", 1], "输入校验失败: 参数不能为空\n", []),
    (["compileSectionPolicy", "defaultpolicy", ""], "", ["validate_name_param: 策略段名称(sec_name) 为空"]),
    (["compileSectionPolicy", "n" * 513, "filectl"], "",
     ["validate_name_param: 命名空间名称(ns_name) 长度(513)超过限制(512)"]),
    (["compileSectionPolicy", "a b", "filectl"], "",
     ["validate_name_param: 命名空间名称(ns_name) 包含非法字符（仅允许字母、数字、下划线、连字符）"]),
    (["modifyDynamicVariable", "defaultpolicy", "a.b", 1], "",
     ["validate_name_param: 变量名称(var_name) 包含非法字符（仅允许字母、数字、下划线、连字符）"]),
    (["modifyDynamicVariable", "策略", "fileflag", 1], "",
     ["validate_name_param: 命名空间名称(ns_name) 包含非法字符（仅允许字母、数字、下划线、连字符）"]),
]


@pytest.mark.parametrize("args,stderr,log", CHECKS, ids=[str(i) for i in range(len(CHECKS))])
def test_refused_arguments_never_reach_the_bus(probe, monitor, syslog, args, stderr, log):
    assert probe(*args) == (-1, stderr)
    assert [m for _, m in syslog.drain()] == log
    # No connection at all: the proxy was never made.
    assert monitor.hellos_until_marker() == 0


def test_accepted_arguments_do_connect(probe, monitor):
    """The other side of the check above: a call that passes its checks
    shows on the bus."""
    assert probe("sendPolicy")[0] == -1
    assert monitor.hellos_until_marker() == 1


def test_daemon_absent(probe, bus, syslog):
    assert probe("sendPolicy") == (-1, "")
    [(program, message)] = syslog.drain()
    assert program == "probe" and message.startswith("其他 D-Bus 错误 [sendPolicy]: ")


def test_reply_that_is_not_one_int(probe, peer, syslog):
    peer.answer(compileInitPolicy="zero")
    assert probe("compileInitPolicy") == (-1, "")
    [(program, message)] = syslog.drain()
    assert program == "probe" and message.startswith("其他 D-Bus 错误 [compileInitPolicy]: ")


def test_commands_carry_their_own_client_code():
    """The sync command has the client functions built in; the init command
    needs neither them nor Qt."""
    def needed(program):
        out = subprocess.run(["readelf", "-d", program], check=True, capture_output=True, text=True).stdout
        return " ".join(line for line in out.splitlines() if "(NEEDED)" in line)
    sync, init = needed(os.environ["TAVO_SYNC"]), needed(os.environ["TAVO_INIT"])
    assert "libtavointerpreter" not in sync and "libQt5DBus" in sync
    assert "libtavointerpreter" not in init and "libQt5" not in init and "libtavopolicysync" in init
