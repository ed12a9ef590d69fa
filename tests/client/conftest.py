"""Fixtures of the client-side tests, inside tests/harness/tavo_sandbox.py
(private /etc, /dev with its log collector, securityfs and /run/dbus): a
plain directory for the module, a private system bus that anyone may use,
and a scripted peer in place of the daemon."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

if os.environ.get("TAVO_DAEMON_SANDBOX") != "1" or "TAVO_SYNC" not in os.environ:
    pytest.skip("runs only inside tests/harness/tavo_sandbox.py (see ctest tests 'client-*')",
                allow_module_level=True)

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "harness"))
import tavo_sandbox  # noqa: E402
from programs import TIMEOUT, run  # noqa: E402,F401

MODULE_DIR = tavo_sandbox.MODULE_DIR


@pytest.fixture(scope="session")
def scratch():
    path = pathlib.Path(os.environ["TMPDIR"]) / "client-tests"
    path.mkdir(mode=0o755, exist_ok=True)
    os.chmod(path, 0o755)
    return path


@pytest.fixture(scope="session")
def sandbox():
    box = tavo_sandbox.Sandbox(os.environ["TAVO_SANDBOX_BIN"], os.environ["TAVO_SANDBOX_STATE"])
    try:
        box.start_collector()
        box.start_module(simulated=False)
        box.hide_module(True)
        yield box
    finally:
        box.stop_all()


@pytest.fixture
def syslog(sandbox):
    """What the programs send to /dev/log: drain() gives (program, message)."""
    sandbox.log.mark()
    return sandbox.log


@pytest.fixture
def module(sandbox):
    """The tavo module's securityfs directory, three-mode off."""
    sandbox.hide_module(False)
    sandbox.set_three_mode(False)
    yield sandbox
    sandbox.hide_module(True)


@pytest.fixture
def no_module(sandbox):
    """No module: its directory is absent."""


@pytest.fixture
def bus(sandbox):
    """A private system bus at the standard socket, nobody on it."""
    sandbox.start_bus(HERE / "bus.conf")
    yield sandbox.bus
    sandbox.stop("bus")


class Peer:
    def __init__(self, scratch):
        self.answers_file = scratch / "answers.json"
        self.calls_file = scratch / "calls.jsonl"
        self.answer()
        self.calls_file.write_text("")
        self.proc = subprocess.Popen([sys.executable, str(HERE / "policymgr_peer.py"), str(self.answers_file),
                                      str(self.calls_file)], stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "ready"

    def answer(self, **answers):
        self.answers_file.write_text(json.dumps(answers))

    def calls(self):
        """Calls since the last look, as (method, signature, args)."""
        text = self.calls_file.read_text()
        self.calls_file.write_text("")
        return [(c["method"], c["signature"], c["args"]) for c in map(json.loads, text.splitlines())]

    def stop(self):
        tavo_sandbox.stop_process(self.proc)
        self.proc.stdout.close()


@pytest.fixture
def peer(bus, scratch):
    """A scripted owner of com.norda.zupolicy on the private bus."""
    p = Peer(scratch)
    yield p
    p.stop()


class Monitor:
    """Watches the private bus, to tell whether a program connected at all."""

    MARKER = "tavoTestMarker"

    def __init__(self):
        self.proc = subprocess.Popen(["dbus-monitor", "--system", "--monitor"], stdout=subprocess.PIPE, text=True)
        for line in self.proc.stdout:
            if "member=NameLost" in line:
                break

    def hellos_until_marker(self):
        """Connections made since the monitor started, not counting the
        one that sends the marker."""
        subprocess.run(["dbus-send", "--system", "--type=signal", "/tavo/test", f"tavo.test.{self.MARKER}"],
                       check=True, timeout=TIMEOUT)
        hellos = 0
        for line in self.proc.stdout:
            if "member=Hello" in line:
                hellos += 1
            if f"member={self.MARKER}" in line:
                break
        tavo_sandbox.stop_process(self.proc)
        self.proc.stdout.close()
        return hellos - 1


@pytest.fixture
def monitor(bus):
    return Monitor()
