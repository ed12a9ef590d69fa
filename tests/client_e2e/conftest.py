"""The client side against the whole system: tavo-policyd on a real system
bus with the shipped bus policy, real polkitd and tavo-simkernel, inside
tests/harness/tavo_sandbox.py. Every test starts from an empty policy
directory, three-mode off, a reset simulated module and a fresh log."""

import os
import pathlib
import sys

import pytest

if os.environ.get("TAVO_DAEMON_SANDBOX") != "1" or "TAVO_SYNC" not in os.environ:
    pytest.skip("runs only inside tests/harness/tavo_sandbox.py (ctest test 'client-e2e')", allow_module_level=True)

TESTS = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TESTS / "harness"))
sys.path.insert(0, str(TESTS / "client"))
import tavo_sandbox  # noqa: E402
from programs import Probe, run  # noqa: E402,F401

BIN = pathlib.Path(os.environ["TAVO_SANDBOX_BIN"])
STATE = pathlib.Path(os.environ["TAVO_SANDBOX_STATE"])
SYNC = os.environ["TAVO_SYNC"]
INIT = os.environ["TAVO_INIT"]
POLICY_DIR = tavo_sandbox.POLICY_DIR
SIM = tavo_sandbox.MODULE_DIR / ".sim"

GOOD_POLICY = tavo_sandbox.GOOD_POLICY
SYNTAX_ERROR = tavo_sandbox.SYNTAX_ERROR


class Kernel:
    """The simulated module's controls."""

    @staticmethod
    def reset():
        (SIM / "reset").write_text("1")

    @staticmethod
    def fail_next(code):
        (SIM / "fail").write_text(f"{code}\n")

    @staticmethod
    def state():
        """key -> value; keys that repeat (section, dynamic) -> list."""
        out = {}
        for line in (SIM / "state").read_text().splitlines():
            key, _, value = line.partition(": ")
            if key in ("section", "dynamic"):
                out.setdefault(key, []).append(value)
            else:
                out[key] = value
        return out


@pytest.fixture(scope="session")
def sandbox():
    box = tavo_sandbox.Sandbox(BIN, STATE)
    try:
        box.start_all()
        if not box.has_simkernel:
            pytest.skip("tavo-simkernel is not built")
        yield box
    finally:
        box.stop_all()


@pytest.fixture
def system(sandbox):
    """The sandbox, reset for one test."""
    sandbox.clear_policy_dir()
    sandbox.hide_module(False)
    sandbox.set_three_mode(False)
    sandbox.set_test_bus_policy(None)
    if sandbox.daemon is None or sandbox.daemon.poll() is not None:
        sandbox.start_daemon()
    Kernel.reset()
    sandbox.log.mark()
    yield sandbox
    # A test may stop the daemon on purpose; it must not die by itself.
    assert sandbox.daemon is None or sandbox.daemon.poll() is None, "tavo-policyd died"


@pytest.fixture
def kernel(system):
    return Kernel


@pytest.fixture(scope="session")
def probe(sandbox):
    return Probe(BIN, pathlib.Path(os.environ["TMPDIR"]) / "client-install")


def write_policy(name, content):
    (POLICY_DIR / name).write_bytes(content)


def messages(sandbox, ident):
    return [msg for _, msg in sandbox.log.lines(ident)]
