"""One sandbox (bus daemon, polkitd, simulated module, tavo-policyd) per
session; every test starts from an empty policy directory, three-mode off,
the module present, only the shipped bus policy, and a fresh log."""

import os
import pathlib
import subprocess
import sys

import pytest

if os.environ.get("TAVO_DAEMON_SANDBOX") != "1":
    pytest.skip("runs only inside tests/harness/tavo_sandbox.py (ctest test 'daemon')", allow_module_level=True)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "harness"))
import tavo_sandbox  # noqa: E402

BIN = pathlib.Path(os.environ["TAVO_SANDBOX_BIN"])
STATE = pathlib.Path(os.environ["TAVO_SANDBOX_STATE"])
CALLER = BIN / "tests" / "tavo-test-caller"
MOCK_AUTHORITY = pathlib.Path(__file__).resolve().parent / "mock_authority.py"
POLICY_DIR = tavo_sandbox.POLICY_DIR

# Under AddressSanitizer the daemon is several times slower, and slower
# still over a huge message (its realloc copies the buffer that sd-bus
# grows with every read from the socket): time limits are stretched, and
# huge names are smaller, there.
SANITIZED = os.environ.get("TAVO_SANITIZE") == "ON"
SLOWER = 4 if SANITIZED else 1
HUGE_NAME_BYTES = (2 << 20) if SANITIZED else (20 << 20)

GOOD_POLICY = tavo_sandbox.GOOD_POLICY
SYNTAX_ERROR = tavo_sandbox.SYNTAX_ERROR

# Lets the test users reach the daemon, so that the daemon's own refusal is
# what a test sees.
OPEN_BUS_POLICY = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <policy context="default">
    <allow send_destination="com.norda.zupolicy" send_interface="com.norda.zupolicy.policymgr"/>
  </policy>
</busconfig>
"""


class Reply:
    def __init__(self, text):
        parts = text.strip().split(" ", 2)
        self.code = int(parts[1]) if parts[0] == "reply" else None
        self.error = parts[1] if parts[0] == "error" else None
        self.message = parts[2] if len(parts) > 2 else ""

    def __repr__(self):
        return f"Reply(code={self.code}, error={self.error}, message={self.message!r})"


class Calls:
    """Calls the daemon through tavo-test-caller, as any user, from any
    executable path, in any pid namespace."""

    def __init__(self, sandbox):
        self.sandbox = sandbox

    def argv(self, method, *args, user="root", exe=None, child_pidns=False):
        argv = [str(exe or CALLER), method, *[str(a) for a in args]]
        if child_pidns:
            argv = ["unshare", "-p", "-f", "--kill-child", *argv]
        return tavo_sandbox.as_user(argv, user)

    def __call__(self, method, *args, **kwargs):
        out = subprocess.run(self.argv(method, *args, **kwargs), capture_output=True, text=True, timeout=180)
        assert out.stdout.startswith(("reply", "error")), out.stderr
        return Reply(out.stdout)

    def code(self, method, *args, **kwargs):
        reply = self(method, *args, **kwargs)
        assert reply.error is None, reply
        return reply.code


@pytest.fixture(scope="session")
def sandbox():
    box = tavo_sandbox.Sandbox(BIN, STATE)
    try:
        box.start_all()
        yield box
        # The last daemon too must stop cleanly, with nothing from the
        # sanitizers in its output.
        assert box.stop("daemon") == 0
        output = (STATE / "daemon.out").read_text(errors="replace")
        assert "Sanitizer" not in output and "runtime error" not in output, output[-4000:]
        assert box.stop("simkernel") in (None, 0)
    finally:
        box.stop_all()


@pytest.fixture
def daemon(sandbox):
    """The sandbox, reset for one test."""
    sandbox.clear_policy_dir()
    sandbox.hide_module(False)
    sandbox.set_three_mode(False)
    sandbox.set_test_bus_policy(None)
    if sandbox.polkitd is None:
        sandbox.start_polkitd()
    if sandbox.daemon is None or sandbox.daemon.poll() is not None:
        sandbox.start_daemon()
    sandbox.log.mark()
    yield sandbox
    assert sandbox.daemon.poll() is None, "tavo-policyd died"


@pytest.fixture
def kernel(daemon):
    """The sandbox, when the simulated module can be observed."""
    if not daemon.has_simkernel:
        pytest.skip("tavo-simkernel is not built: the kernel side cannot be observed")
    return daemon


@pytest.fixture
def call(daemon):
    return Calls(daemon)


@pytest.fixture
def authority(daemon):
    """A stand-in polkit authority in place of polkitd for one test."""
    yield lambda mode: daemon.start_mock_authority(MOCK_AUTHORITY, mode)
    daemon.restore_polkitd()


def write_policy(name, content):
    path = POLICY_DIR / name
    path.write_bytes(content)
    return path


def daemon_lines(sandbox):
    """(level, message) of the daemon's lines since the test began, without
    the detail lines of the bus lookups and the type registration."""
    return [(lvl, msg) for lvl, msg in sandbox.log.lines()
            if not msg.startswith(("getCallerUid:", "getCallerPid:", "PolkitAuthResult"))]


def status_kib(pid, field="VmRSS"):
    """A memory figure of /proc/PID/status, in KiB."""
    for line in open(f"/proc/{pid}/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise AssertionError(f"no {field}")


def hold_root_call(daemon, call, authority, method="compilePolicy"):
    """A root call held at the stand-in authority (answered once its
    `release` file exists); returns the caller's process."""
    authority("hold")
    held = subprocess.Popen(call.argv(method), stdout=subprocess.PIPE, text=True)
    tavo_sandbox.wait_for((daemon.mock_state / "held").exists, "the held authorisation")
    return held
