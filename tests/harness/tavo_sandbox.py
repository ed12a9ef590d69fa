#!/usr/bin/python3
"""The daemon's integration sandbox.

    tavo_sandbox.py --bin-dir BUILD --scratch DIR [--no-services] -- COMMAND [ARG ...]

Re-runs itself in a private mount namespace inside a pid namespace of its
own (`unshare -m -p -f --mount-proc`) and builds there the system the daemon
expects:

  /etc                 a tmpfs copy of the host's, with a private
                       passwd/group/shadow (root, messagebus, polkitd,
                       secadm=900, tester=1000, challenged=1001,
                       stranger=1002);
  /etc/tavo/policy, /var/lib, /run, /dev
                       tmpfs (/dev keeps null, zero, urandom, fuse, ...);
  /dev/log             a collector that records every line with its
                       priority (JSON Lines in $TAVO_SANDBOX_LOG);
  /sys/kernel/security/tavo
                       tavo-simkernel when it is built, else a plain
                       directory standing in for the module;
  polkit               actions and rules directories on tmpfs holding bind
                       mounts of packaging/polkit, plus test rules that only
                       concern the test users;
  /usr/bin, /usr/sbin, /usr/local/sbin, /usr/local/bin
                       overlays, so that test programs can be bound over the
                       three-mode whitelisted paths and the units' ExecStart;
  a dbus-daemon whose configuration includes packaging/dbus by path, the
  real polkitd, and tavo-policyd.

COMMAND runs inside with the services up; with --no-services only the file
system is prepared and pytest starts the services itself through the
Sandbox class below, to restart them at will. Every process started here is
stopped by its pid; the namespaces vanish with the command.
"""

import argparse
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import uuid

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent.parent
PACKAGING = REPO / "packaging"
BUS_POLICY = PACKAGING / "dbus" / "com.norda.zupolicy.conf"
POLKIT_ACTION = PACKAGING / "polkit" / "com.norda.zupolicy.policy"
POLKIT_RULE = PACKAGING / "polkit" / "50-tavo-policyd.rules"
DEBIAN_POLKIT_BUS_POLICY = "/usr/share/dbus-1/system.d/org.freedesktop.PolicyKit1.conf"
POLKITD = "/usr/lib/polkit-1/polkitd"
PYTHON = "/usr/bin/python3"

BUS_SOCKET = "/run/dbus/system_bus_socket"
BUS_ADDRESS = "unix:path=" + BUS_SOCKET
TEST_BUS_POLICY_DIR = pathlib.Path("/run/dbus/tavo-test.d")
POLICY_DIR = pathlib.Path("/etc/tavo/policy")
SECURITYFS = pathlib.Path("/sys/kernel/security")
MODULE_DIR = SECURITYFS / "tavo"
ADMCTL = MODULE_DIR / "paras" / "zusec_global" / "admctl"
WHITELISTED = ["/usr/bin/zusec-scene-daemon", "/usr/sbin/tavo-dynamic-uid"]
SERVICE = "com.norda.zupolicy"
POLKIT_SERVICE = "org.freedesktop.PolicyKit1"
START_TIMEOUT = 60.0

# The policy the daemon's and the clients' tests compile: one namespace with
# a dynamic variable read by a condition, in one section; and one that
# fails on a syntax error.
GOOD_POLICY = b"""string name = web
dynamic bool guard = false
%SECTION front
allow root "/usr/bin/app" "/var/www/*" file { read, write } if ($guard)
%ENDSEC
"""
SYNTAX_ERROR = b'string name = web\nallow root "/usr/bin/app" "/var/www/*" file { read,\n'

USERS = [("root", 0), ("daemon", 1), ("www-data", 33), ("messagebus", 100), ("polkitd", 101), ("secadm", 900),
         ("tester", 1000), ("challenged", 1001), ("stranger", 1002), ("alice", 1003), ("bob", 1004),
         ("nobody", 65534)]
UID = dict(USERS)
DEV_NODES = ["null", "zero", "full", "random", "urandom", "tty", "fuse"]

# Test users only: tester passes polkit, challenged needs a password, and
# stranger gets the action's default (no).
TEST_RULES = """// Test rules of the integration sandbox.
polkit.addRule(function(action, subject) {
    if (action.id != "com.norda.zupolicy.access") return;
    if (subject.user == "tester") return polkit.Result.YES;
    if (subject.user == "challenged") return polkit.Result.AUTH_ADMIN;
});
"""

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>{address}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <include>{polkit}</include>
  <include>{ours}</include>
  <includedir>{tests}</includedir>
</busconfig>
"""

SYSLOG_LINE = re.compile(r"^<(\d+)>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?([^:\[\s]+)(?:\[(\d+)\])?: (.*)$", re.S)
SEVERITY_TO_LEVEL = {3: 1, 4: 2, 6: 3, 7: 4}


def note(*parts):
    print("tavo-sandbox:", *parts, file=sys.stderr, flush=True)


def mount(*argv):
    subprocess.run(["mount", *argv], check=True)


def bind_file(source, target):
    """Binds `source` over `target`, creating an empty `target` first (always
    on a tmpfs or overlay of the sandbox)."""
    target = pathlib.Path(target)
    if not target.exists():
        target.parent.mkdir(parents=True, exist_ok=True)
        target.touch()
    mount("--bind", str(source), str(target))


def wait_for(condition, what, timeout=START_TIMEOUT, proc=None):
    deadline = time.monotonic() + timeout
    while not condition():
        if proc is not None and proc.poll() is not None:
            raise RuntimeError(f"{what}: process exited with status {proc.returncode}")
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(0.01)


def as_user(argv, user):
    """`argv` to run as a user of the sandbox (by name)."""
    if user == "root":
        return list(argv)
    uid = UID[user]
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", *argv]


def stop_process(proc, timeout=20.0):
    """Stops one process we started, by its pid; returns its exit status."""
    if proc is None:
        return None
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


# --- the file system -------------------------------------------------------

def write_user_database(etc):
    passwd, group, shadow = [], [], []
    for name, uid in USERS:
        home = "/nonexistent" if uid < 1000 and uid not in (0, 900) else f"/home/{name}"
        passwd.append(f"{name}:x:{uid}:{uid}:{name}:{home}:/bin/sh")
        group.append(f"{'nogroup' if name == 'nobody' else name}:x:{uid}:")
        shadow.append(f"{name}:!:19000:0:99999:7:::")
    (etc / "passwd").write_text("\n".join(passwd) + "\n")
    (etc / "group").write_text("\n".join(group) + "\n")
    (etc / "shadow").write_text("\n".join(shadow) + "\n")
    (etc / "shadow").chmod(0o640)
    (etc / "gshadow").write_text("")
    (etc / "nsswitch.conf").write_text("passwd: files\ngroup: files\nshadow: files\n")


def overlay(scratch, directory, label):
    upper = scratch / "overlay" / label / "upper"
    work = scratch / "overlay" / label / "work"
    upper.mkdir(parents=True)
    work.mkdir(parents=True)
    mount("-t", "overlay", "tavo-" + label, "-o", f"lowerdir={directory},upperdir={upper},workdir={work}",
          directory)


def prepare_filesystem(scratch):
    """Builds the private system view; runs as root in the new namespaces."""
    scratch = pathlib.Path(scratch)
    mount("--make-rprivate", "/")
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-sandbox", str(scratch))

    etc = scratch / "etc"
    etc.mkdir()
    subprocess.run(["cp", "-a", "/etc/.", str(etc)], stderr=subprocess.DEVNULL)
    write_user_database(etc)
    shutil.rmtree(etc / "tavo", ignore_errors=True)
    (etc / "tavo" / "policy").mkdir(parents=True)
    shutil.rmtree(etc / "polkit-1" / "rules.d", ignore_errors=True)
    (etc / "polkit-1" / "rules.d").mkdir(parents=True)
    mount("--bind", str(etc), "/etc")
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-policy", str(POLICY_DIR))
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-polkit-rules", "/etc/polkit-1/rules.d")
    bind_file(POLKIT_RULE, "/etc/polkit-1/rules.d/" + POLKIT_RULE.name)
    pathlib.Path("/etc/polkit-1/rules.d/90-tavo-test.rules").write_text(TEST_RULES)
    # Debian's own actions and rules stay out: only ours are judged.
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-polkit-actions", "/usr/share/polkit-1/actions")
    bind_file(POLKIT_ACTION, "/usr/share/polkit-1/actions/" + POLKIT_ACTION.name)
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-polkit-defaults", "/usr/share/polkit-1/rules.d")

    dev = scratch / "dev"
    dev.mkdir()
    for node in DEV_NODES:
        if os.path.exists("/dev/" + node):
            bind_file("/dev/" + node, dev / node)
    (dev / "shm").mkdir()
    (dev / "pts").mkdir()
    for fd, name in enumerate(["stdin", "stdout", "stderr"]):
        os.symlink(f"/proc/self/fd/{fd}", dev / name)
    os.symlink("/proc/self/fd", dev / "fd")
    mount("--rbind", str(dev), "/dev")
    mount("-t", "tmpfs", "-o", "mode=1777", "tavo-shm", "/dev/shm")

    # The whole of /run is the sandbox's: the bus socket and the record of
    # what is in force (/run/tavo) among it.
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-run", "/run")
    pathlib.Path("/run/dbus").mkdir()
    TEST_BUS_POLICY_DIR.mkdir()
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-var-lib", "/var/lib")
    for sub in ("tavo", "dbus", "polkit-1"):
        pathlib.Path("/var/lib", sub).mkdir()
    pathlib.Path("/var/lib/dbus/machine-id").write_text(uuid.uuid4().hex + "\n")
    mount("-t", "tmpfs", "-o", "mode=0755", "tavo-securityfs", str(SECURITYFS))
    MODULE_DIR.mkdir()

    overlay(scratch, "/usr/bin", "usr-bin")
    overlay(scratch, "/usr/sbin", "usr-sbin")
    # Where the units' ExecStart= names the programs (the configured prefix).
    for local in ("/usr/local/sbin", "/usr/local/bin"):
        if os.path.isdir(local):
            overlay(scratch, local, local.strip("/").replace("/", "-"))

    state = scratch / "state"
    state.mkdir()
    (scratch / "tmp").mkdir(mode=0o1777)
    (scratch / "tmp").chmod(0o1777)
    return state


# --- the log collector -----------------------------------------------------

def collect(socket_path, out_path):
    """Receives syslog datagrams and appends one JSON object per line:
    level (1 error .. 4 detail), priority, ident, pid and message."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(socket_path)
    os.chmod(socket_path, 0o666)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with open(out_path, "a", encoding="utf-8") as out:
        while True:
            data = sock.recv(65536).decode("utf-8", "surrogateescape")
            m = SYSLOG_LINE.match(data)
            if m:
                priority = int(m.group(1))
                record = {"level": SEVERITY_TO_LEVEL.get(priority & 7, priority & 7), "priority": priority,
                          "ident": m.group(2), "pid": int(m.group(3) or 0), "message": m.group(4)}
            else:
                record = {"level": 0, "priority": -1, "ident": "", "pid": 0, "message": data}
            # ASCII only: a byte that is not UTF-8 (kept as a lone surrogate)
            # or a line separator in a message must neither stop the
            # collector nor split its record.
            out.write(json.dumps(record) + "\n")
            out.flush()


class LogReader:
    """The collector's records, read after a marker proves that everything
    sent before it has been written."""

    def __init__(self, path):
        self.path = pathlib.Path(path)
        self.offset = 0

    def sync(self):
        marker = "tavo-sandbox-sync " + uuid.uuid4().hex
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.sendto(f"<14>tavo-sandbox: {marker}".encode(), "/dev/log")
        sock.close()
        wait_for(lambda: marker in self.path.read_text(encoding="utf-8"), "the log collector")

    def mark(self):
        """Forgets everything logged so far."""
        self.sync()
        self.offset = self.path.stat().st_size

    def drain(self):
        """(ident, message) of every line of any program since the last
        mark or drain; then marks."""
        lines = [(r["ident"], r["message"]) for r in self.records(None) if r["ident"] != "tavo-sandbox"]
        self.offset = self.path.stat().st_size
        return lines

    def records(self, ident="tavo-policyd"):
        self.sync()
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            lines = f.read().decode("utf-8").split("\n")
        out = [json.loads(line) for line in lines if line]
        return [r for r in out if ident is None or r["ident"] == ident]

    def lines(self, ident="tavo-policyd"):
        """(level, message) of every line since the last mark."""
        return [(r["level"], r["message"]) for r in self.records(ident)]


# --- the services ----------------------------------------------------------

def bus_name_has_owner(name):
    probe = subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                            "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name],
                           capture_output=True, text=True)
    return probe.returncode == 0 and "boolean true" in probe.stdout


class Sandbox:
    """The running services. Only used inside the namespaces."""

    def __init__(self, bin_dir, state_dir):
        self.bin_dir = pathlib.Path(bin_dir)
        self.state = pathlib.Path(state_dir)
        self.daemon_exe = self.bin_dir / "daemon" / "tavo-policyd"
        self.simkernel_exe = self.bin_dir / "tests" / "simkernel" / "tavo-simkernel"
        self.log_path = self.state / "syslog.jsonl"
        self.log = LogReader(self.log_path)
        self.collector = self.bus = self.polkitd = self.daemon = self.simkernel = None
        self.module_hidden = False
        self.module_dir = MODULE_DIR
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = BUS_ADDRESS

    @property
    def has_simkernel(self):
        return self.simkernel_exe.exists()

    def output(self, name):
        return open(self.state / f"{name}.out", "ab")

    def start_all(self):
        self.start_collector()
        self.start_module()
        self.start_bus()
        self.start_polkitd()
        self.start_daemon()

    def stop_all(self):
        for name in ("daemon", "polkitd", "bus", "simkernel", "collector"):
            self.stop(name)

    def stop(self, name):
        proc = getattr(self, name)
        if name == "simkernel" and proc is not None:
            subprocess.run(["umount", str(ADMCTL)], stderr=subprocess.DEVNULL)
        status = stop_process(proc)
        setattr(self, name, None)
        if name == "bus":
            pathlib.Path(BUS_SOCKET).unlink(missing_ok=True)
        if name == "simkernel" and os.path.ismount(MODULE_DIR):
            # tavo-simkernel unmounts itself when stopped; this is the
            # fallback when it could not.
            subprocess.run(["umount", "-l", str(MODULE_DIR)], stderr=subprocess.DEVNULL)
        return status

    def start_collector(self):
        self.log_path.touch()
        self.collector = subprocess.Popen([PYTHON, str(pathlib.Path(__file__).resolve()), "--collect", "/dev/log",
                                           str(self.log_path)], stderr=self.output("collector"))
        wait_for(lambda: os.path.exists("/dev/log"), "the log collector", proc=self.collector)

    def start_module(self, simulated=True):
        """tavo-simkernel when asked for and built, else a plain directory."""
        # The three-mode switch is ours to set, whatever the module serves.
        self.admctl_file = self.state / "admctl"
        self.admctl_file.write_text("0\n")
        if simulated and self.has_simkernel:
            # It says "ready" once the file system is mounted.
            self.simkernel = subprocess.Popen([str(self.simkernel_exe), str(MODULE_DIR)], stdout=subprocess.PIPE,
                                              stderr=self.output("simkernel"), text=True)
            if self.simkernel.stdout.readline().strip() != "ready":
                raise RuntimeError(f"tavo-simkernel did not start (status {self.simkernel.wait()})")
        else:
            ADMCTL.parent.mkdir(parents=True, exist_ok=True)
            ADMCTL.touch()
        mount("--bind", str(self.admctl_file), str(ADMCTL))

    def start_bus(self, config=None):
        """The system bus with the shipped bus policy, or with `config`."""
        if config is None:
            config = self.state / "bus.conf"
            config.write_text(BUS_CONFIG.format(address=BUS_ADDRESS, polkit=DEBIAN_POLKIT_BUS_POLICY,
                                                ours=BUS_POLICY, tests=TEST_BUS_POLICY_DIR))
        self.bus = subprocess.Popen(["dbus-daemon", "--config-file=" + str(config), "--nofork", "--nopidfile",
                                     "--nosyslog"], stdout=self.output("dbus"), stderr=subprocess.STDOUT)
        # The socket exists a moment before the bus accepts on it.
        wait_for(lambda: os.path.exists(BUS_SOCKET) and bus_name_has_owner("org.freedesktop.DBus"), "dbus-daemon",
                 proc=self.bus)

    def start_polkitd(self):
        self.polkitd = subprocess.Popen([POLKITD, "--no-debug"], stdout=self.output("polkitd"),
                                        stderr=subprocess.STDOUT)
        wait_for(lambda: bus_name_has_owner(POLKIT_SERVICE), "polkitd", proc=self.polkitd)

    def start_daemon(self, env=None, wrapper=()):
        """Starts tavo-policyd, with `env` added to the environment and
        through `wrapper` (a command that execs its arguments)."""
        self.daemon = subprocess.Popen([*wrapper, str(self.daemon_exe)], stdout=self.output("daemon"),
                                       stderr=subprocess.STDOUT, env=dict(os.environ, **(env or {})))
        wait_for(lambda: bus_name_has_owner(SERVICE), "tavo-policyd", proc=self.daemon)

    def start_mock_authority(self, script, mode):
        """Puts a stand-in authority in polkitd's place (polkitd is stopped)."""
        self.stop("polkitd")
        self.mock_state = self.state / "mock"
        shutil.rmtree(self.mock_state, ignore_errors=True)
        self.mock_state.mkdir()
        self.mock_state.chmod(0o777)
        self.polkitd = subprocess.Popen(as_user([PYTHON, str(script), mode, str(self.mock_state)], "polkitd"),
                                        stdout=self.output("mock-authority"), stderr=subprocess.STDOUT)
        wait_for(lambda: bus_name_has_owner(POLKIT_SERVICE), "the mock authority", proc=self.polkitd)

    def restore_polkitd(self):
        self.stop("polkitd")
        self.start_polkitd()

    # -- switches of the simulated host

    def install_whitelisted(self, program):
        """Binds `program` over the three-mode whitelisted paths (on the
        sandbox's overlays of /usr/bin and /usr/sbin)."""
        for path in WHITELISTED:
            if not os.path.ismount(path):
                bind_file(program, path)

    def set_three_mode(self, on):
        self.admctl_file.write_text("1\n" if on else "0\n")

    def hide_module(self, hidden):
        """Makes the module's securityfs directory vanish (and come back)."""
        if hidden and not self.module_hidden:
            mount("-t", "tmpfs", "tavo-no-module", str(SECURITYFS))
        elif not hidden and self.module_hidden:
            subprocess.run(["umount", str(SECURITYFS)], check=True)
        self.module_hidden = hidden

    def set_test_bus_policy(self, xml):
        """Adds (or with None removes) a bus policy of the tests and has the
        bus daemon reload its configuration."""
        path = TEST_BUS_POLICY_DIR / "tavo-test.conf"
        if xml is None:
            path.unlink(missing_ok=True)
        else:
            path.write_text(xml)
        subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus.ReloadConfig"],
                       check=True, stdout=subprocess.DEVNULL)

    def clear_policy_dir(self):
        for entry in POLICY_DIR.iterdir():
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                entry.unlink()


# --- entry -----------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin-dir")
    parser.add_argument("--scratch")
    parser.add_argument("--no-services", action="store_true")
    parser.add_argument("--collect", nargs=2, metavar=("SOCKET", "OUT"), help=argparse.SUPPRESS)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()

    if args.collect:
        collect(*args.collect)
        return 0
    if not args.bin_dir or not args.scratch or not args.command:
        parser.error("--bin-dir, --scratch and a command are needed")
    command = args.command[1:] if args.command[0] == "--" else args.command

    if os.environ.get("TAVO_DAEMON_SANDBOX") != "1":
        if os.geteuid() != 0:
            note("must run as root (mount and pid namespaces)")
            return 1
        os.environ["TAVO_DAEMON_SANDBOX"] = "1"
        # unshare -f waits for us and passes our exit status on.
        return subprocess.run(["unshare", "-m", "-p", "-f", "--mount-proc", "--propagation", "private",
                               PYTHON, str(pathlib.Path(__file__).resolve()), *sys.argv[1:]]).returncode

    scratch = pathlib.Path(args.scratch).resolve()
    scratch.mkdir(parents=True, exist_ok=True)
    state = prepare_filesystem(scratch)
    os.environ.update({"TMPDIR": str(scratch / "tmp"), "TAVO_SANDBOX_STATE": str(state),
                       "TAVO_SANDBOX_BIN": str(pathlib.Path(args.bin_dir).resolve()),
                       "TAVO_SANDBOX_LOG": str(state / "syslog.jsonl"), "DBUS_SYSTEM_BUS_ADDRESS": BUS_ADDRESS})
    sandbox = None
    try:
        if not args.no_services:
            sandbox = Sandbox(args.bin_dir, state)
            sandbox.start_all()
        child = subprocess.Popen(command)
        try:
            return child.wait()
        except KeyboardInterrupt:
            return stop_process(child)
    finally:
        if sandbox is not None:
            sandbox.stop_all()


if __name__ == "__main__":
    sys.exit(main())
