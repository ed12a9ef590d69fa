"""Fixtures of the client-side tests: a private system view inside the
namespace of tests/harness/sandbox-run (securityfs, /run/dbus and /dev/log
are tmpfs or sockets of ours), a private system bus, a scripted peer in
place of the daemon, and the users of tests/harness/passwd.
"""

import json
import os
import pathlib
import pwd
import re
import shutil
import socket
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
SECURITYFS = pathlib.Path("/sys/kernel/security")
MODULE_DIR = SECURITYFS / "tavo"
ADMCTL = MODULE_DIR / "paras" / "zusec_global" / "admctl"
RUN_DBUS = pathlib.Path("/run/dbus")
SYSLOG_RE = re.compile(r"^<\d+>\w{3} [ \d]\d \d\d:\d\d:\d\d ([^:\[ ]+)(?:\[\d+\])?: (.*)$", re.S)
TIMEOUT = 60
LSAN_SUPPRESSIONS = HERE / "lsan-qt-exit.supp"

if os.environ.get("TAVO_SANDBOX") != "1" or "TAVO_SYNC" not in os.environ:
    pytest.skip("runs only inside tests/harness/sandbox-run (see ctest tests 'client-*')",
                allow_module_level=True)


def mount(*args):
    subprocess.run(["mount", *args], check=True)


DEV_NODES = ("null", "zero", "full", "random", "urandom", "tty", "ptmx", "fuse")
DEV_LINKS = {"fd": "/proc/self/fd", "stdin": "/proc/self/fd/0", "stdout": "/proc/self/fd/1",
             "stderr": "/proc/self/fd/2"}


def private_dev(scratch):
    """A /dev of our own in which /dev/log can be a socket of ours: the
    usual nodes are bound from the host's /dev, nothing else is there."""
    host = scratch / "host-dev"
    host.mkdir()
    mount("--rbind", "/dev", str(host))
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-dev", "/dev")
    dev = pathlib.Path("/dev")
    for name in DEV_NODES:
        if (host / name).exists():
            (dev / name).touch()
            mount("--bind", str(host / name), str(dev / name))
    for name, target in DEV_LINKS.items():
        (dev / name).symlink_to(target)
    (dev / "shm").mkdir()
    mount("-t", "tmpfs", "-o", "mode=1777", "tavo-shm", str(dev / "shm"))
    (dev / "pts").mkdir()
    mount("--rbind", str(host / "pts"), str(dev / "pts"))


class Syslog:
    """Collects what the programs send to /dev/log. A datagram is in the
    socket's queue when syslog() returns, so after a program has exited
    everything it logged can be drained without waiting."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind("/dev/log")
        os.chmod("/dev/log", 0o666)
        self.sock.setblocking(False)

    def drain(self):
        """(program, message) of every line since the last drain."""
        lines = []
        while True:
            try:
                data = self.sock.recv(1 << 16)
            except BlockingIOError:
                return lines
            text = data.decode("utf-8", "surrogateescape")
            m = SYSLOG_RE.match(text)
            lines.append((m.group(1), m.group(2)) if m else ("?", text))


@pytest.fixture(scope="session")
def scratch():
    path = pathlib.Path(os.environ["TMPDIR"]) / "client-tests"
    path.mkdir(mode=0o755, exist_ok=True)
    os.chmod(path, 0o755)
    return path


@pytest.fixture(scope="session")
def system_view(scratch):
    """Private securityfs and /run/dbus, and our own /dev/log."""
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-securityfs", str(SECURITYFS))
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-run-dbus", str(RUN_DBUS))
    private_dev(scratch)
    return Syslog()


@pytest.fixture
def syslog(system_view):
    system_view.drain()
    return system_view


class Module:
    def __init__(self):
        self.remove()
        ADMCTL.parent.mkdir(parents=True)
        self.three_mode(False)

    def three_mode(self, on):
        ADMCTL.write_text("1\n" if on else "0\n")

    @staticmethod
    def remove():
        if MODULE_DIR.exists():
            shutil.rmtree(MODULE_DIR)


@pytest.fixture
def module(system_view):
    """The tavo module's securityfs directory, three-mode off."""
    m = Module()
    yield m
    m.remove()


@pytest.fixture
def no_module(system_view):
    Module.remove()


class Bus:
    def __init__(self):
        conf = HERE / "bus.conf"
        self.proc = subprocess.Popen(["dbus-daemon", f"--config-file={conf}", "--nofork", "--nopidfile",
                                      "--print-address=1"], stdout=subprocess.PIPE, text=True)
        self.address = self.proc.stdout.readline().strip()
        assert self.address, "the private system bus did not start"

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=TIMEOUT)
        self.proc.stdout.close()
        pathlib.Path(RUN_DBUS / "system_bus_socket").unlink(missing_ok=True)


@pytest.fixture
def bus(system_view):
    """A private system bus at the standard socket, nobody on it."""
    b = Bus()
    yield b
    b.stop()


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
        self.proc.terminate()
        self.proc.wait(timeout=TIMEOUT)
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
        self.proc.terminate()
        self.proc.wait(timeout=TIMEOUT)
        self.proc.stdout.close()
        return hellos - 1


@pytest.fixture
def monitor(bus):
    return Monitor()


class Result:
    def __init__(self, proc):
        self.code = proc.returncode
        self.stdout = proc.stdout.decode("utf-8", "surrogateescape")
        self.stderr = proc.stderr.decode("utf-8", "surrogateescape")


def run(argv, user="root", env=None):
    """Runs a program as a user of the sandbox's passwd (name or uid)."""
    entry = pwd.getpwuid(user) if isinstance(user, int) else pwd.getpwnam(user)
    kwargs = {}
    if entry.pw_uid != 0:
        kwargs = {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": []}
    full_env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
    for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if key in os.environ:
            full_env[key] = os.environ[key]
    if "ASAN_OPTIONS" in full_env:
        full_env["LSAN_OPTIONS"] = f"suppressions={LSAN_SUPPRESSIONS}:print_suppressions=0"
    full_env.update(env or {})
    proc = subprocess.run([os.fsencode(a) if isinstance(a, str) else a for a in argv], capture_output=True,
                          env=full_env, timeout=TIMEOUT, **kwargs)
    return Result(proc)
