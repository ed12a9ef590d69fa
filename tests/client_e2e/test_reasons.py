"""The sync command says why a compile failed: its line and status stay the
daemon's, and standard error shows the checker's errors and warnings on the
same directory, or the command that shows them where the caller cannot read
the files."""

import os
import pathlib
import shutil

import pytest

from conftest import SYNC, SYNTAX_ERROR, run, write_policy

FAILURE = "失败，查看日志获取更多信息!\n"
INSTALLED = pathlib.Path(os.environ["TAVO_CHECK_INSTALLED"])


@pytest.fixture
def checker():
    """The checker where the sync command looks for it."""
    if INSTALLED.exists():
        pytest.skip(f"{INSTALLED} exists in the sandbox already")
    shutil.copy(os.environ["TAVO_POLICY_CHECK"], INSTALLED)
    INSTALLED.chmod(0o755)
    yield INSTALLED
    INSTALLED.unlink()


def test_a_syntax_error_shows_file_and_line(system, kernel, checker):
    write_policy("web.p", SYNTAX_ERROR)
    write_policy("users.p", b'string name = users\n%SECTION a\nallow rooot "/usr/bin/a" "/srv/*" file { read }\n')
    r = run([SYNC, "-a"])
    assert (r.stdout, r.code) == (FAILURE, 3)
    lines = r.stderr.splitlines()
    assert lines[0] == "原因 (tavo-policy-check /etc/tavo/policy):"
    # The daemon's own texts, by the checker: the line, then the file.
    assert "tavo-policy-check: ####ERROR: syntax error at symbol '' on line 3" in lines
    assert "tavo-policy-check: ###ERROR: 策略文件web.p解析失败" in lines
    # A warning the journal alone would have shown, and a checker warning.
    assert "tavo-policy-check: ####WARN: 文件users.p第3行的用户rooot没有账户，uid取4294967294" in lines
    assert ('/etc/tavo/policy/users.p:2: warning: section "a" is still open at the end of the file (no %ENDSEC)'
            in lines)
    assert not [line for line in lines if line.startswith(("identity ", "stand-in image"))]


def test_a_caller_who_cannot_read_the_files_is_told_the_command(system, kernel, checker):
    system.set_three_mode(True)
    write_policy("web.p", SYNTAX_ERROR)
    (pathlib.Path("/etc/tavo/policy") / "web.p").chmod(0o600)
    r = run([SYNC, "-a"], user="secadm")
    assert (r.stdout, r.code) == (FAILURE, 3)
    assert r.stderr == ("原因: 当前用户无法读取/etc/tavo/policy中的策略文件；由 root 运行 tavo-policy-check "
                        "/etc/tavo/policy 查看，或运行 journalctl -t tavo-policyd\n")


def test_a_partial_compile_names_the_reason_too(system, kernel, checker):
    write_policy("web.p", b'string name = web\n%SECTION s\nallow root "usr/bin/a" "/srv/*" file { read }\n%ENDSEC\n')
    assert run([SYNC, "-a"]).code == 0
    r = run([SYNC, "-p", "-n", "web", "-s", "nosuch"])
    assert r.stdout == FAILURE and r.code != 0
    # The files compile: the checker's warnings are all it can add.
    assert r.stderr.splitlines()[1:] == [
        '/etc/tavo/policy/web.p:3: warning: subject "usr/bin/a" is a relative path: it is taken as a name, not a file']
