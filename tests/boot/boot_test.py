#!/usr/bin/python3
"""The packages as an administrator deploys them.

Builds the Debian packages from the work tree and runs lintian on them,
makes a throw-away root of overlays over this machine's /usr, /etc and /var,
and boots the real systemd as pid 1 of private pid, mount, cgroup, uts, ipc
and net namespaces over it, with tavo-simkernel standing in for the module.
Inside: installs the packages, drives the daemon through the shipped units,
bus policy and polkit files, reboots to see the initial policy delivered
early, upgrades, removes and purges; then boots once more to run a play of
the Ansible role (contrib/ansible) there, with Debian's ansible-core.
Nothing on the host changes; every process is stopped by its pid and every
mount and cgroup removed.

usage: boot_test.py SOURCE_DIR SCRATCH_DIR TAVO_SIMKERNEL
  TAVO_BOOT_DEBS=DIR  take the packages (and lintian's verdict) as given
                      instead of building them: for working on this test
"""

import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time
import uuid

HERE = pathlib.Path(__file__).resolve().parent
SECADM_UID, TESTER_UID = 990, 1990
POLICY = "/etc/tavo/policy"
SIM = "/sys/kernel/security/tavo"
INIT_IMAGE = "/var/lib/tavo/init-policy.bin"
OUR_PACKAGES = ["tavo-policyd", "tavo-tools", "libtavointerpreter1", "libtavointerpreter-dev",
                "libtavopolicysync1-standin"]

# Units that would reach the host kernel's global state, or that have no
# business in a throw-away root.
MASKED = """
systemd-modules-load.service systemd-sysctl.service systemd-binfmt.service
proc-sys-fs-binfmt_misc.automount proc-sys-fs-binfmt_misc.mount
systemd-udevd.service systemd-udevd-control.socket systemd-udevd-kernel.socket
systemd-udev-trigger.service systemd-udev-settle.service systemd-hwdb-update.service
systemd-random-seed.service systemd-timesyncd.service systemd-pstore.service
sys-kernel-debug.mount sys-kernel-tracing.mount sys-kernel-config.mount
sys-fs-fuse-connections.mount dev-hugepages.mount dev-mqueue.mount
kmod-static-nodes.service systemd-firstboot.service systemd-machine-id-commit.service
systemd-remount-fs.service systemd-fsck-root.service ldconfig.service
console-getty.service getty@.service serial-getty@.service container-getty@.service
apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer man-db.timer
e2scrub_all.timer e2scrub_reap.service fstrim.timer
""".split()

# The simulated module, "loaded" at boot before the early delivery, like a
# module named in modules-load.d.
SIMKERNEL_UNIT = f"""[Unit]
Description=tavo module stand-in (tavo-simkernel)
DefaultDependencies=no
After=sys-kernel-security.mount
Before=tavo-policy-init.service sysinit.target

[Service]
ExecStartPre=/bin/mkdir -p {SIM}
ExecStart=/usr/local/libexec/tavo-simkernel {SIM}
ExecStartPost=/bin/sh -c 'until mountpoint -q {SIM}; do sleep 0.05; done'
ExecStopPost=/bin/rmdir {SIM}

[Install]
WantedBy=sysinit.target
"""


class Failed(Exception):
    pass


def log(msg):
    print(msg, flush=True)


def run(argv, **kw):
    kw.setdefault("check", True)
    return subprocess.run(argv, **kw)


# --- building ---------------------------------------------------------------

def build_packages(source, scratch):
    """Builds source and binary packages from the work tree's files (tracked
    and new, not ignored) and runs lintian on them. Returns the directory
    holding the .deb files."""
    out = scratch / "pkg"
    shutil.rmtree(out, ignore_errors=True)
    tree = out / "tavo"
    tree.mkdir(parents=True)
    listed = run(["git", "-C", str(source), "ls-files", "-co", "--exclude-standard", "-z"],
                 capture_output=True, check=False)
    if listed.returncode == 0:
        for name in filter(None, listed.stdout.split(b"\0")):
            src = source / os.fsdecode(name)
            if src.is_file() or src.is_symlink():
                dst = tree / os.fsdecode(name)
                dst.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(src, dst, follow_symlinks=False)
    else:
        # Not a git checkout: everything but build trees.
        shutil.rmtree(tree)
        shutil.copytree(source, tree, symlinks=True, ignore=shutil.ignore_patterns(".git", "build", "obj-*"))
    started = time.monotonic()
    run(["dpkg-source", "-b", "tavo"], cwd=out, stdout=subprocess.DEVNULL)
    env = dict(os.environ, DEB_BUILD_OPTIONS=f"noddebs parallel={os.cpu_count() or 1}")
    with open(out / "build.log", "wb") as build_log:
        if run(["dpkg-buildpackage", "-us", "-uc", "-b"], cwd=tree, env=env, stdout=build_log,
               stderr=subprocess.STDOUT, check=False).returncode != 0:
            raise Failed(f"dpkg-buildpackage failed, see {out / 'build.log'}")
    log(f"packages built in {time.monotonic() - started:.0f} s")
    shutil.rmtree(tree)
    changes = next(out.glob("*.changes"))
    lint = run(["lintian", "--pedantic", "--display-info", next(out.glob("*.dsc")).name,
                changes.name], cwd=out, capture_output=True, text=True, check=False)
    report = [line for line in lint.stdout.splitlines() if line]
    log("lintian:\n  " + "\n  ".join(report or ["(nothing)"]))
    bad = [line for line in report if line[:2] in ("E:", "W:")]
    if bad or lint.returncode not in (0, 1) or "E:" in lint.stderr:
        raise Failed("lintian: " + "; ".join(bad) + lint.stderr)
    return out


# --- the throw-away root ----------------------------------------------------

class Root:
    """Overlays over /usr, /etc and /var on a private tmpfs, inside the
    test's own mount namespace."""

    def __init__(self, scratch, simkernel):
        self.base = scratch / "root"
        self.base.mkdir(parents=True, exist_ok=True)
        run(["mount", "-t", "tmpfs", "-o", "mode=0755,size=2g", "tavo-boot", str(self.base)])
        self.path = self.base / "r"
        self.path.mkdir()
        for d in ("proc", "sys", "dev", "run", "tmp", "root", "home", "mnt", "srv", "opt", "media"):
            (self.path / d).mkdir()
        (self.path / "tmp").chmod(0o1777)
        (self.path / "root").chmod(0o700)
        for link in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
            host = pathlib.Path("/") / link
            if host.is_symlink():
                (self.path / link).symlink_to(os.readlink(host))
        for d in ("usr", "etc", "var"):
            for sub in ("upper", "work"):
                (self.base / sub / d).mkdir(parents=True)
            (self.path / d).mkdir()
            run(["mount", "-t", "overlay", f"tavo-boot-{d}", "-o",
                 f"lowerdir=/{d},upperdir={self.base}/upper/{d},workdir={self.base}/work/{d}",
                 str(self.path / d)])
        # The root must be a mount point of its own for pivot_root.
        run(["mount", "--rbind", str(self.path), str(self.path)])
        self.prepare(simkernel)

    def p(self, path):
        return self.path / path.lstrip("/")

    def prepare(self, simkernel):
        etc = self.p("/etc")
        # Nothing of the host's own: no file systems, no enabled services, no
        # policy-rc.d refusing every service action.
        (etc / "fstab").write_text("")
        (etc / "machine-id").write_text(uuid.uuid4().hex + "\n")
        (etc / "hostname").write_text("tavo-boot\n")
        units = etc / "systemd" / "system"
        for wants in units.glob("*.wants"):
            shutil.rmtree(wants)
        for unit in MASKED:
            target = units / unit
            if target.exists() or target.is_symlink():
                target.unlink()
            target.symlink_to("/dev/null")
        self.p("/usr/sbin/policy-rc.d").unlink(missing_ok=True)
        # man-db's index rebuild on every install is most of dpkg's time.
        self.p("/var/lib/man-db/auto-update").unlink(missing_ok=True)
        for f in ("passwd", "group", "shadow"):
            if re.search(r"^(secadm|tavotester):", (etc / f).read_text(), re.M):
                raise Failed(f"the host's /etc/{f} already has secadm or tavotester")
            if f == "passwd":
                lines = [f"secadm:x:{SECADM_UID}:{SECADM_UID}::/nonexistent:/usr/sbin/nologin",
                         f"tavotester:x:{TESTER_UID}:{TESTER_UID}::/nonexistent:/usr/sbin/nologin"]
            elif f == "group":
                lines = [f"secadm:x:{SECADM_UID}:", f"tavotester:x:{TESTER_UID}:"]
            else:
                lines = ["secadm:!:1::::::", "tavotester:!:1::::::"]
            with open(etc / f, "a") as out:
                out.write("\n".join(lines) + "\n")
        libexec = self.p("/usr/local/libexec")
        libexec.mkdir(parents=True, exist_ok=True)
        shutil.copy2(simkernel, libexec / "tavo-simkernel")
        (units / "tavo-simkernel.service").write_text(SIMKERNEL_UNIT)
        (units / "sysinit.target.wants").mkdir(exist_ok=True)
        (units / "sysinit.target.wants" / "tavo-simkernel.service").symlink_to("../tavo-simkernel.service")

    def remove(self):
        run(["umount", "-R", str(self.base)], check=False, stderr=subprocess.DEVNULL)


# --- the booted system ------------------------------------------------------

class Machine:
    """systemd as pid 1 of its own namespaces over the root, in a cgroup
    subtree of its own."""

    def __init__(self, root, scratch, cgroup):
        self.root = root
        self.cgroup = cgroup
        self.console = open(scratch / f"console-{int(time.time() * 1000)}.log", "wb")
        # The wrapper joins the subtree first, so that the cgroup namespace
        # made by unshare has the subtree as its root.
        self.unshare = subprocess.Popen(
            ["/bin/sh", "-c", 'echo $$ > "$1/cgroup.procs" && shift && exec "$@"', "sh", str(cgroup),
             "unshare", "--pid", "--mount", "--cgroup", "--uts", "--ipc", "--net", "--fork",
             "--propagation", "private", str(HERE / "boot-root.sh"), str(root.path)],
            stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT)
        self.pid1 = None
        deadline = time.monotonic() + 10
        while self.pid1 is None:
            if self.unshare.poll() is not None:
                raise Failed(f"the boot ended at once ({self.unshare.returncode}), see {self.console.name}")
            children = pathlib.Path(f"/proc/{self.unshare.pid}/task/{self.unshare.pid}/children").read_text().split()
            if children and os.readlink(f"/proc/{children[0]}/exe").endswith("/systemd"):
                self.pid1 = int(children[0])
            elif time.monotonic() > deadline:
                raise Failed("systemd did not start")
            else:
                time.sleep(0.05)

    def argv(self, argv, user=None):
        prefix = ["nsenter", f"--target={self.pid1}", "--mount", "--uts", "--ipc", "--net", "--pid", "--cgroup",
                  "--root", "--wd", "env", "-i", "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                  "LANG=C.UTF-8", "HOME=/root"]
        if user is not None:
            prefix += ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"]
        return prefix + list(argv)

    def sh(self, command, user=None, check=True, timeout=120):
        """Runs a shell command inside; returns (status, output)."""
        done = subprocess.run(self.argv(["/bin/sh", "-c", command], user), capture_output=True, text=True,
                              timeout=timeout)
        out = done.stdout + done.stderr
        if check and done.returncode != 0:
            raise Failed(f"inside: {command!r} exited {done.returncode}:\n{out}")
        return done.returncode, out.strip()

    def out(self, command, **kw):
        return self.sh(command, **kw)[1]

    def prop(self, unit, name):
        return self.out(f"systemctl show -P {name} {unit}")

    def wait_booted(self, timeout=90):
        deadline = time.monotonic() + timeout
        state = ""
        while time.monotonic() < deadline:
            _, state = self.sh("systemctl is-system-running", check=False)
            if state in ("running", "degraded"):
                break
            time.sleep(0.2)
        else:
            raise Failed(f"the boot did not finish: {state}")
        if state == "degraded":
            log("degraded boot:\n" + self.out("systemctl --failed --no-legend", check=False))
        return state

    def power_off(self, timeout=60):
        self.sh("systemctl poweroff --no-block", check=False)
        try:
            self.unshare.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failed("systemd did not power off")
        finally:
            self.stop()

    def stop(self):
        """Stops whatever is left, by pid: the namespace's init first (which
        takes the whole pid namespace with it), then anything else in the
        subtree."""
        if self.unshare.poll() is None:
            if self.pid1:
                try:
                    os.kill(self.pid1, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                self.unshare.wait(10)
            except subprocess.TimeoutExpired:
                self.unshare.kill()
                self.unshare.wait()
        kill_cgroup(self.cgroup, keep=True)
        self.console.close()


def kill_cgroup(cgroup, keep=False):
    """Kills every process of the subtree by pid and removes its cgroups
    (the top one too, unless keep)."""
    for _ in range(50):
        pids = []
        for procs in cgroup.rglob("cgroup.procs"):
            pids += [int(p) for p in procs.read_text().split()]
        if not pids:
            break
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.1)
    for d in sorted((d for d in cgroup.rglob("*") if d.is_dir()), key=lambda d: len(d.parts), reverse=True):
        d.rmdir()
    if not keep:
        cgroup.rmdir()


# --- the checks -------------------------------------------------------------

T0 = time.monotonic()


def check(cond, what):
    if not cond:
        raise Failed(what)
    log(f"ok  {time.monotonic() - T0:6.1f}s  {what}")


def sim_state(m):
    state = {}
    for line in m.out(f"cat {SIM}/.sim/state").splitlines():
        key, _, value = line.partition(": ")
        state.setdefault(key, value)
    return state


def wait_until(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.3)
    return True


def status_of(m, user=None):
    """tavo-policy-check --status --json inside."""
    return json.loads(m.out("tavo-policy-check --status --json 2>/dev/null", user=user))


def identity_of_policy(m):
    return m.out(f"tavo-policy-check --quiet {POLICY} 2>&1 >/dev/null | sed -n 's/^identity //p'")


def metrics(m):
    """What the node exporter serves, as {sample: value} of the tavo lines."""
    _, text = m.sh("python3 -c 'import urllib.request; "
                   "print(urllib.request.urlopen(\"http://127.0.0.1:9100/metrics\", timeout=5).read().decode())'",
                   check=False)
    return dict(line.rsplit(" ", 1) for line in text.splitlines() if line.startswith("tavo_"))


def check_node_exporter(m):
    """Debian's node exporter on loopback serves the status the units keep
    up to date; an edit of the policy directory shows within 10 s."""
    m.sh("echo 'ARGS=\"--web.listen-address=127.0.0.1:9100 --collector.disable-defaults --collector.textfile\"'"
         " > /etc/default/prometheus-node-exporter && systemctl start prometheus-node-exporter")
    check(wait_until(lambda: metrics(m).get("tavo_disk_matches_kernel") == "1")
          and metrics(m).get("tavo_module_loaded") == "1",
          "the node exporter serves the tavo metrics: the policy directory is what is in force")
    served = metrics(m)
    info = [k for k in served if k.startswith("tavo_policy_info{")]
    check(len(info) == 1 and f'identity="{identity_of_policy(m)}"' in info[0] and 'kind="full"' in info[0],
          "... tavo_policy_info names the identity in force")
    m.sh(f"cp {POLICY}/20-ssh.p /root/20-ssh.p && "
         f"echo 'allow * \"/usr/sbin/sshd\" \"/etc/ssh/extra\" file {{ read }}' >> {POLICY}/20-ssh.p")
    edited = time.monotonic()
    check(wait_until(lambda: metrics(m).get("tavo_disk_matches_kernel") == "0", timeout=10),
          f"an edit of {POLICY} turns tavo_disk_matches_kernel to 0 "
          f"({time.monotonic() - edited:.1f} s)")
    m.sh(f"mv /root/20-ssh.p {POLICY}/20-ssh.p")
    check(wait_until(lambda: metrics(m).get("tavo_disk_matches_kernel") == "1", timeout=10),
          "... and undoing it back to 1")
    m.sh("systemctl stop prometheus-node-exporter")


def busctl(m, method, *args, user=None):
    status, out = m.sh(f"busctl call com.norda.zupolicy /policymgr com.norda.zupolicy.policymgr {method} "
                       + " ".join(args), user=user, check=False)
    return out if status else out.removeprefix("i ").strip()


def first_boot(m, debs, examples):
    m.wait_booted()
    check(m.prop("tavo-simkernel.service", "ActiveState") == "active", "the simulated module is loaded at boot")

    # Install.
    m.sh("mkdir -p /root/debs")
    for deb in debs:
        shutil.copy2(deb, m.root.p("/root/debs"))
    m.sh("dpkg -i /root/debs/*.deb")
    check(m.prop("tavo-policyd", "ActiveState") == "active", "installing starts the daemon")
    check(m.prop("tavo-policy-init", "UnitFileState") == "enabled", "the early-boot unit is enabled")
    check(all(m.prop(u, "UnitFileState") == "enabled" and m.prop(u, "ActiveState") == "active"
              for u in ("tavo-policy-status.path", "tavo-policy-status.timer")),
          "the status refresh's path and timer units are enabled and started")
    exposure = float(re.search(r"Overall exposure level for \S+: ([0-9.]+)",
                               m.out("systemd-analyze security --no-pager tavo-policyd")).group(1))
    check(exposure <= 2.0, f"systemd-analyze security rates the daemon {exposure} (<= 2.0)")
    check(m.prop("tavo-policyd", "ExecStart").startswith("{ path=/usr/sbin/tavo-policyd "),
          "ExecStart names the installed program")

    # Bus activation and the five methods as root.
    for f in sorted(examples.iterdir()):
        shutil.copy2(f, m.root.p(POLICY))
    m.sh("systemctl stop tavo-policyd")
    check(m.prop("tavo-policyd", "Result") == "success", "systemctl stop: the daemon ends cleanly")
    status, out = m.sh("tavo-main-policy-sync -a", check=False)
    check(status == 0 and out == "成功!", "tavo-main-policy-sync -a activates the daemon through the bus")
    check(m.prop("tavo-policyd", "ActiveState") == "active", "the daemon runs after activation")
    check_digest = m.out(f"tavo-policy-check --quiet {POLICY} 2>&1 >/dev/null | tail -n 1").split()[-1]
    check(sim_state(m)["policy_digest"] == check_digest, "the kernel holds tavo-policy-check's digest")
    recorded = status_of(m)["inForce"]
    check(recorded["kind"] == "full" and recorded["identity"] == identity_of_policy(m)
          and m.out("stat -c %a /run/tavo/record") == "644",
          "/run/tavo records the delivery under the checker's identity, readable by anyone")
    for args, what in ((["-d", "-n", "ssh", "-v", "maintenance", "-V", "true"], "modifyDynamicVariable"),
                       (["-p", "-n", "fileserver", "-s", "samba"], "compileSectionPolicy"),
                       (["-l"], "sendPolicy")):
        check(m.sh("tavo-main-policy-sync " + " ".join(args), check=False)[0] == 0, f"{what} through the command")
    state = m.out(f"cat {SIM}/.sim/state")
    check("dynamic: ssh maintenance 1" in state and "section: fileserver samba" in state,
          "the kernel holds the variable and the section")
    recorded = status_of(m)["inForce"]
    check([(d["namespace"], d["variable"], d["value"]) for d in recorded["dynamicVariables"]]
          == [("ssh", "maintenance", 1)]
          and [(u["namespace"], u["section"]) for u in recorded["sectionUpdates"]] == [("fileserver", "samba")]
          and recorded["nodes"] == int(sim_state(m)["policy_nodes"]),
          "... and so does the record")
    check_node_exporter(m)

    # Who may call.
    m.sh(f"echo 1 > {SIM}/paras/zusec_global/admctl")
    check(busctl(m, "sendPolicy", user=SECADM_UID) == "0", "three-mode on: secadm may deliver")
    check(busctl(m, "sendPolicy") == "-100", "three-mode on: root is refused")
    # Without the shipped rule polkit says no to secadm (polkitd rereads its
    # rules when they change).
    rule = "/usr/share/polkit-1/rules.d/50-tavo-policyd.rules"
    m.sh(f"mv {rule} /root/")
    check(wait_until(lambda: busctl(m, "sendPolicy", user=SECADM_UID) == "-100")
          and "reason=" in m.out("journalctl -q -o cat -p err -u tavo-policyd | grep 'AUDIT FAIL' | tail -n 1"),
          "three-mode on, without the polkit rule: polkit refuses secadm")
    m.sh(f"mv /root/{pathlib.PurePath(rule).name} {rule}")
    check(wait_until(lambda: busctl(m, "sendPolicy", user=SECADM_UID) == "0"), "... and lets secadm in with it")
    m.sh(f"echo 0 > {SIM}/paras/zusec_global/admctl")
    check(busctl(m, "sendPolicy", user=SECADM_UID) == "-100", "three-mode off: secadm is refused by the daemon")
    check("Access denied" in busctl(m, "sendPolicy", user=TESTER_UID), "an ordinary user is refused by the bus")

    # The module absent at start, then loaded: no restart needed.
    # The real module's directory appears inside the one securityfs mount, so
    # that mount must be writable in the daemon's namespace; another security
    # module's directory there must not be.
    m.sh("systemctl stop tavo-policyd tavo-simkernel")
    m.sh("mkdir -p /sys/kernel/security/apparmor")
    m.sh("systemctl start tavo-policyd")
    pid = m.prop("tavo-policyd", "MainPID")
    check(busctl(m, "sendPolicy") == "-1", "without the module the daemon starts and answers -1")
    inside = f"nsenter --target={pid} --mount"
    check(m.sh(f"{inside} mkdir /sys/kernel/security/later && rmdir /sys/kernel/security/later", check=False)[0] == 0
          and "Read-only" in m.sh(f"{inside} touch /sys/kernel/security/apparmor/x", check=False)[1],
          "securityfs is writable to the daemon, another module's directory is not")
    m.sh("rmdir /sys/kernel/security/apparmor")
    m.sh("systemctl start tavo-simkernel")
    check(busctl(m, "compilePolicy") == "0" and busctl(m, "sendPolicy") == "0"
          and sim_state(m)["policy_digest"] == check_digest, "a module loaded later is written without a restart")
    check(m.prop("tavo-policyd", "MainPID") == pid, "... by the same daemon process")

    # The journal.
    errors = m.out("journalctl -q -o cat -p err -u tavo-policyd")
    check("错误：tavo模块未加载，需要先加载tavo模块。" in errors and "AUDIT FAIL" in errors,
          "journalctl -p err holds the errors")
    check("INFO" not in errors and "AUDIT PASS" not in m.out("journalctl -q -o cat -p err -u tavo-policyd"),
          "... and no INFO line")
    facilities = set(m.out("journalctl -q -o json -u tavo-policyd --output-fields=SYSLOG_FACILITY,MESSAGE "
                           "| sed -n 's/.*\"SYSLOG_FACILITY\":\"\\([0-9]*\\)\".*/\\1/p'").split())
    check(facilities == {"3", "10"}, f"daemon lines to the daemon facility, AUDIT to authpriv ({facilities})")

    check_floods(m)
    check_connection_churn(m)
    check_watchdog(m)

    m.power_off()


# secadm may send (bus policy) but is refused in default mode. Both floods
# are sent without expecting replies and written before the next command.
DESCRIPTOR_BURST = """
import dbus, dbus.lowlevel, os
bus = dbus.bus.BusConnection(dbus.bus.BUS_SYSTEM)
fd = dbus.types.UnixFd(os.open("/dev/null", os.O_RDONLY))
def call(method, fds):
    msg = dbus.lowlevel.MethodCallMessage("com.norda.zupolicy", "/policymgr", "com.norda.zupolicy.policymgr",
                                          method)
    msg.set_no_reply(True)
    if fds:
        msg.append(*[fd] * fds, signature="h" * fds)
    bus.send_message(msg)
    if fds:
        bus.flush()
for _ in range(1000):
    call("sendPolicy", 0)
for _ in range(100):
    call("compilePolicy", 16)
bus.flush()
"""
REFUSED_FLOOD = """
import dbus, dbus.lowlevel
bus = dbus.bus.BusConnection(dbus.bus.BUS_SYSTEM)
for i in range(80000):
    msg = dbus.lowlevel.MethodCallMessage("com.norda.zupolicy", "/policymgr", "com.norda.zupolicy.policymgr",
                                          "sendPolicy")
    msg.set_no_reply(True)
    bus.send_message(msg)
    if i % 1000 == 999:
        bus.flush()
bus.flush()
print(bus.get_unique_name())
"""


def check_floods(m):
    """The shipped unit's limits keep the same daemon through floods of a
    caller it refuses."""
    pid = m.prop("tavo-policyd", "MainPID")
    restarts = m.prop("tavo-policyd", "NRestarts")
    check(m.prop("tavo-policyd", "LimitNOFILE") == "1024" and m.prop("tavo-policyd", "MemoryMax") != "infinity",
          "the shipped unit bounds the daemon's descriptors and memory")
    m.sh(f"python3 -c '{DESCRIPTOR_BURST}'", user=SECADM_UID)
    check(busctl(m, "sendPolicy") == "0", "descriptors behind 1,000 queued calls: root's next call is answered")
    check(m.prop("tavo-policyd", "MainPID") == pid and m.prop("tavo-policyd", "NRestarts") == restarts,
          "... by the same daemon process")
    sender = m.out(f"python3 -c '{REFUSED_FLOOD}'", user=SECADM_UID, timeout=600)
    started = time.monotonic()
    check(busctl(m, "sendPolicy") == "0", "behind 80,000 refused calls root's call is answered")
    log(f"    ... in {time.monotonic() - started:.1f} s")

    def summarised():
        journal = m.out("journalctl -q -o cat -u tavo-policyd", check=False)
        return journal.count(f"#ERROR: auth failed for sender {sender},") + sum(int(n) for n in re.findall(
            rf"AUDIT FAIL: uid=(?:{SECADM_UID}|unknown), (\d+) calls refused in the last second without their lines",
            journal))
    check(wait_until(lambda: summarised() > 79000, timeout=120), "... and the refusals are summarised")
    check(m.prop("tavo-policyd", "MainPID") == pid and m.prop("tavo-policyd", "NRestarts") == restarts,
          "... by the same daemon process")


# Connections of 16 calls each, closed at once, for 30 s.
CONNECTION_CHURN = """
import dbus, dbus.lowlevel, time
end = time.monotonic() + 30
while time.monotonic() < end:
    bus = dbus.bus.BusConnection(dbus.bus.BUS_SYSTEM)
    for _ in range(16):
        bus.send_message(dbus.lowlevel.MethodCallMessage("com.norda.zupolicy", "/policymgr",
                                                         "com.norda.zupolicy.policymgr", "sendPolicy"))
    bus.flush()
    bus.close()
"""


def check_connection_churn(m):
    """While secadm churns connections, every one of root's calls is taken
    and has its AUDIT PASS line in the journal, which drops nothing."""
    def passed():
        return len(re.findall(r"^AUDIT PASS: method=sendPolicy, sender=:\S+, uid=0, three_mode=0$",
                              m.out("journalctl -q -o cat -u tavo-policyd", check=False), re.M))
    before = passed()
    since = m.out("date '+%Y-%m-%d %H:%M:%S'").strip()
    m.sh(f"for i in 1 2 3; do timeout 40 python3 -c '{CONNECTION_CHURN}' >/dev/null 2>&1 & done",
         user=SECADM_UID)
    answers = []
    started = time.monotonic()
    while time.monotonic() - started < 30:
        answers.append(busctl(m, "sendPolicy"))
    m.sh(f"while pgrep -u {SECADM_UID} python3 >/dev/null; do sleep 0.5; done", timeout=60)
    log(f"    ... {len(answers)} of root's calls in 30 s")
    check(answers and all(a == "0" for a in answers),
          f"during a connection churn by secadm every call of root's is taken ({sorted(set(answers))})")
    check(wait_until(lambda: passed() - before == len(answers)),
          f"... and has its AUDIT PASS line in the journal ({passed() - before} of {len(answers)})")
    suppressed = m.out(f"journalctl -q -o cat _TRANSPORT=driver --since '{since}' | grep -i 'suppressed.*tavo-policyd'",
                       check=False).strip()
    check(suppressed == "", f"... and journald suppressed nothing of the daemon's ({suppressed})")


def boot_without_image(m):
    check(m.wait_booted() == "running", "the system boots with nothing failed")
    check(m.prop("tavo-policy-init", "ConditionResult") == "no"
          and int(m.prop("tavo-policy-init", "ConditionTimestampMonotonic")) > 0
          and sim_state(m)["writes"] == "0", "without an initial image the early unit is skipped")
    check(busctl(m, "compileInitPolicy") == "0" and m.sh(f"test -s {INIT_IMAGE}", check=False)[0] == 0,
          "compileInitPolicy stores the initial image")
    m.power_off()


def check_watchdog(m):
    shipped = m.prop("tavo-policyd", "WatchdogUSec")
    check(shipped not in ("", "0", "infinity") and m.prop("tavo-policyd", "NotifyAccess") == "main",
          f"the shipped unit sets a watchdog ({shipped}) and takes notifications from the daemon only")
    # Nothing holds the daemon's event loop, whatever it serves; a drop-in
    # shortens the shipped interval here so that the restart is seen in
    # seconds.
    m.sh("mkdir -p /run/systemd/system/tavo-policyd.service.d && printf '[Service]\\nWatchdogSec=4s\\n'"
         " > /run/systemd/system/tavo-policyd.service.d/watchdog.conf")
    m.sh("systemctl daemon-reload && systemctl restart tavo-policyd")
    watchdog = m.prop("tavo-policyd", "WatchdogUSec")
    seconds = usec(watchdog)
    pid = m.prop("tavo-policyd", "MainPID")
    restarts = int(m.prop("tavo-policyd", "NRestarts"))
    time.sleep(min(seconds * 1.2, 60))
    check(m.prop("tavo-policyd", "MainPID") == pid and int(m.prop("tavo-policyd", "NRestarts")) == restarts,
          "a running daemon keeps the watchdog fed")
    m.sh(f"kill -STOP {pid}")
    # systemd signals the stopped process, continues it, and kills it at the
    # latest after its abort timeout.
    deadline = time.monotonic() + seconds + 120
    while time.monotonic() < deadline:
        if m.prop("tavo-policyd", "MainPID") not in (pid, "0") and m.prop("tavo-policyd", "ActiveState") == "active":
            break
        time.sleep(0.5)
    check(int(m.prop("tavo-policyd", "NRestarts")) > restarts and m.prop("tavo-policyd", "MainPID") != pid,
          f"a daemon whose event loop stopped is restarted by the watchdog ({watchdog})")
    check(re.fullmatch(r"-?[0-9]+", busctl(m, "sendPolicy")) is not None, "... and the new one answers")
    m.sh("rm -r /run/systemd/system/tavo-policyd.service.d && systemctl daemon-reload")


def usec(text):
    """systemd's time span ("5s", "1min 30s", "500ms") in seconds."""
    units = {"us": 1e-6, "ms": 1e-3, "s": 1, "min": 60, "h": 3600}
    return sum(float(n) * units[u] for n, u in re.findall(r"([0-9.]+)\s*(us|ms|s|min|h)", text))


def second_boot(m):
    m.wait_booted()
    state = sim_state(m)
    check(state["init"] == "yes" and state["writes"] == "1", "the early-boot unit delivered the initial image")
    check(m.prop("tavo-policy-init", "Result") == "success"
          and int(m.prop("tavo-policy-init", "ExecMainExitTimestampMonotonic"))
          <= int(m.prop("sysinit.target", "ActiveEnterTimestampMonotonic")),
          "... before sysinit.target, that is before every ordinary service")
    report = status_of(m)
    recorded = report["inForce"]
    check(recorded["kind"] == "initial" and recorded["delivered"]["method"] == "tavo-main-policy-init"
          and recorded["identity"] == report["initialImage"]["identity"] is not None
          and report["initialImageMatchesKernel"] is True,
          "the record names the initial image the early-boot unit delivered")
    check(m.sh("tavo-main-policy-sync -a", check=False)[0] == 0 and status_of(m)["inForce"]["kind"] == "full"
          and m.sh("tavo-main-policy-sync -d -n ssh -v maintenance -V true", check=False)[0] == 0
          and [d["variable"] for d in status_of(m)["inForce"]["dynamicVariables"]] == ["maintenance"],
          "... and follows -a and a switch of a dynamic variable")
    # A damaged image for the next boot.
    m.sh(f"printf 'not an image' > {INIT_IMAGE}")
    m.power_off()


def third_boot(m):
    state = m.wait_booted()
    check(state == "degraded" and m.prop("tavo-policy-init", "Result") == "exit-code"
          and m.prop("tavo-policyd", "ActiveState") == "active" and sim_state(m)["writes"] == "0",
          "a damaged initial image fails the early unit without holding up the boot")

    # Upgrade: the same packages again.
    if m.prop("tavo-policyd", "ActiveState") != "active":
        m.sh("systemctl start tavo-policyd")
    pid = m.prop("tavo-policyd", "MainPID")
    m.sh("dpkg -i /root/debs/*.deb")
    check(m.prop("tavo-policyd", "ActiveState") == "active" and m.prop("tavo-policyd", "MainPID") != pid,
          "upgrading restarts the daemon")

    # Remove, then purge.
    files = m.out("dpkg -L " + " ".join(OUR_PACKAGES)).splitlines()
    m.sh(f"echo 'admin policy' > {POLICY}/99-admin.p")
    m.sh("dpkg -r " + " ".join(OUR_PACKAGES))
    check(m.prop("tavo-policyd", "ActiveState") == "inactive"
          and m.sh(f"kill -0 {pid}", check=False)[0] != 0, "removing stops the daemon")
    m.sh("dpkg -P " + " ".join(OUR_PACKAGES))
    left = m.out("for f in " + " ".join(f"'{f}'" for f in files)
                 + '; do [ -e "$f" ] && [ ! -d "$f" ] && echo "$f"; done; true').split()
    check(not left, f"purge leaves no file of ours ({left})")
    check(m.sh("test -e /var/lib/tavo", check=False)[0] != 0, "purge removes /var/lib/tavo")
    check(m.sh(f"test -f {POLICY}/99-admin.p", check=False)[0] == 0, "the administrator's policy stays")
    m.power_off()


# --- the Ansible role ---------------------------------------------------------

ROLE_DIR = "/root/ansible"
# The packages as the role installs them from files: libraries first.
ROLE_DEBS = ["libtavopolicysync1-standin", "libtavointerpreter1", "tavo-policyd", "tavo-tools"]
ROLE_PLAY = """- name: Tavo policy
  hosts: all
  gather_facts: false
  roles:
    - tavo
"""


def role_run(m, variables, check_mode=False):
    """Runs the sample play with Debian's ansible-core, connection local,
    inside. Returns (exit status, output, {task: [result]}, recap), the
    results as the default callback prints them with -v, one JSON line each
    (loop items left out)."""
    m.root.p(f"{ROLE_DIR}/vars.json").write_text(json.dumps(variables))
    env = ("ANSIBLE_ROLES_PATH=roles ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_PIPELINING=1 "
           "ANSIBLE_CALLBACK_RESULT_FORMAT=json ANSIBLE_CALLBACK_FORMAT_PRETTY=false")
    status, out = m.sh(f"cd {ROLE_DIR} && {env} ansible-playbook -v -i inventory.ini play.yml -e @vars.json"
                       + (" --check --diff" if check_mode else ""), check=False, timeout=600)
    results, task = {}, None
    for line in out.splitlines():
        banner = re.match(r"TASK \[(?:tavo : )?(.*)\] \**$", line)
        if banner:
            task = banner.group(1)
            continue
        result = re.match(r"(?:ok|changed|skipping|fatal): \[localhost\](?:: FAILED!)? => (\{.*\})$", line)
        if result and task:
            results.setdefault(task, []).append(json.loads(result.group(1)))
    recap = re.search(r"^localhost\s+: (.*)$", out, re.M)
    recap = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", recap.group(1))} if recap else {}
    return status, out, results, recap


def policy_digests(m):
    """What the policy directory holds, file by file."""
    return m.out(f"cd {POLICY} && sha256sum -- * 2>/dev/null; true")


def role_check(cond, what, out):
    """check() that shows what the play printed when it fails."""
    if not cond:
        log(out[-20000:])
    check(cond, what)


def ansible_role_boot(m, source, examples, debs):
    """The role of contrib/ansible on the purged system of the last boot:
    installs from the package files, places and delivers only what changed,
    validates, shows the rules in check mode, sets switches, sees drift and
    acts as secadm in three-mode."""
    m.wait_booted()
    role = m.root.p(f"{ROLE_DIR}/roles/tavo")
    shutil.copytree(source / "contrib" / "ansible" / "roles" / "tavo", role)
    controller = m.root.p(f"{ROLE_DIR}/policy")
    shutil.copytree(examples, controller)
    m.root.p(f"{ROLE_DIR}/play.yml").write_text(ROLE_PLAY)
    m.root.p(f"{ROLE_DIR}/inventory.ini").write_text(
        "localhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3\n")
    m.sh(f"rm -f {POLICY}/*")
    m.root.p(f"{ROLE_DIR}/debs").mkdir()
    for deb in debs:
        shutil.copy2(deb, m.root.p(f"{ROLE_DIR}/debs"))
    debs = [m.out(f"ls {ROLE_DIR}/debs/{name}_*.deb") for name in ROLE_DEBS]
    base = {"tavo_debs": debs, "tavo_policy_src_dir": f"{ROLE_DIR}/policy", "tavo_policy_remove_unlisted": True}

    status, out, results, recap = role_run(m, base)
    role_check(status == 0 and recap.get("changed", 0) > 0 and m.prop("tavo-policyd", "ActiveState") == "active"
               and all(m.prop(u, "UnitFileState") == "enabled" for u in ("tavo-policyd", "tavo-policy-init")),
               "role: installs the package files, enables the daemon and the early-boot unit", out)
    check_digest = m.out(f"tavo-policy-check --quiet {POLICY} 2>&1 >/dev/null | tail -n 1").split()[-1]
    report_status = status_of(m)
    check(sim_state(m)["policy_digest"] == check_digest
          and report_status["inForce"]["identity"] == identity_of_policy(m) == report_status["initialImage"]["identity"]
          and report_status["initialImageMatchesKernel"] is True,
          "... delivers: the kernel holds the checker's image, the record and the stored initial image name it")

    writes = sim_state(m)["writes"]
    status, out, results, recap = role_run(m, base)
    role_check(status == 0 and recap.get("changed") == 0 and sim_state(m)["writes"] == writes
               and [r.get("commands") for r in results["Deliver the policy where the kernel differs"]] == [[]],
               "role: a second run reports changed=0 and the module is not written to", out)

    # A broken file beside a changed one: neither lands.
    before = policy_digests(m)
    broken = m.root.p(f"{ROLE_DIR}/broken.p")
    shutil.copy2(source / "tests" / "corpus" / "bad" / "gram_empty_call_args.p", broken)
    ssh = controller / "20-ssh.p"
    original = ssh.read_text()
    changed = (original.replace('allow * "/usr/sbin/sshd" "/home/*/.ssh" dir { search }\n', "")
               + 'allow * "/usr/sbin/sshd" "/etc/ssh/extra" file { read }\n')
    ssh.write_text(changed)
    status, out, results, recap = role_run(m, dict(base, tavo_policy_files=[{"src": f"{ROLE_DIR}/broken.p"}]))
    role_check(status != 0 and recap.get("failed") == 1 and "syntax error at symbol ')' on line 3" in out
               and policy_digests(m) == before and sim_state(m)["writes"] == writes,
               "role: a broken file fails the play with the checker's message, the directory and the kernel as they were", out)

    # Check mode with the changed file: the rules, and nothing done.
    status, out, results, recap = role_run(m, base, check_mode=True)
    shown = out[out.find("TASK [tavo : Deliver the policy where the kernel differs]"):].split("\n\n")[0]
    log("    " + shown.replace("\n", "\n    "))
    role_check(status == 0 and re.search(r'^-9: allow \* "/usr/sbin/sshd" "/home/\*/\.ssh" dir \{ search \}$', out, re.M)
               and re.search(r'^\+\d+: allow \* "/usr/sbin/sshd" "/etc/ssh/extra" file \{ read \}$', out, re.M)
               and policy_digests(m) == before and sim_state(m)["writes"] == writes
               and status_of(m)["inForce"]["identity"] == report_status["inForce"]["identity"],
               "role: check mode shows the rule removed and the rule added, and changes nothing", out)

    # The change delivered, and a switch set with it; a file no longer
    # listed goes, the administrator's own stays.
    (controller / "40-capabilities.p").unlink()
    m.sh(f"echo '# local notes' > {POLICY}/99-local.p")
    switch = dict(base, tavo_dynamic_variables=[{"namespace": "ssh", "variable": "maintenance", "value": True}])
    status, out, results, recap = role_run(m, switch)
    recorded = status_of(m)["inForce"]
    role_check(status == 0 and "dynamic: ssh maintenance 1" in m.out(f"cat {SIM}/.sim/state")
               and recorded["identity"] == identity_of_policy(m)
               and m.out(f"ls {POLICY}").split() == ["10-fileserver.p", "20-ssh.p", "30-kernel.policy", "99-local.p"]
               and [(d["namespace"], d["variable"], d["value"]) for d in recorded["dynamicVariables"]]
               == [("ssh", "maintenance", 1)],
               "role: delivers the change and sets the switch: kernel and record hold both; "
               "the file no longer listed is removed, the administrator's own kept", out)
    writes = sim_state(m)["writes"]
    status, out, results, recap = role_run(m, switch)
    role_check(status == 0 and recap.get("changed") == 0 and sim_state(m)["writes"] == writes,
               "... and a second run sets nothing again", out)

    # A file edited and delivered by hand: disk and kernel agree, but it is
    # not what the role left.
    def by_hand():
        m.sh(f"echo 'allow * \"/usr/sbin/sshd\" \"/srv/hand\" file {{ read }}' >> {POLICY}/20-ssh.p"
             " && tavo-main-policy-sync -a")
    by_hand()
    status, out, results, recap = role_run(m, switch)
    inspected = results.get("Compare the policy in force with the policy directory")
    role_check(status == 0 and inspected and inspected[0]["changed"] and inspected[0]["drift"]
               and "not the one this role delivered" in inspected[0]["msg"] and "sendPolicy by root" in inspected[0]["msg"]
               and status_of(m)["inForce"]["identity"] == identity_of_policy(m)
               and m.root.p(f"{POLICY}/20-ssh.p").read_text() == changed,
               "role: a delivery by hand is reported as drift (changed), and the role's policy delivered again", out)
    by_hand()
    hand = status_of(m)["inForce"]["identity"]
    status, out, results, recap = role_run(m, dict(switch, tavo_fail_on_drift=True))
    role_check(status != 0 and '"msg": "drift: ' in out and status_of(m)["inForce"]["identity"] == hand,
               "... and with tavo_fail_on_drift fails the play, delivering nothing", out)

    # Three-mode: the role acts as secadm; without the account nobody may.
    m.sh(f"echo 1 > {SIM}/paras/zusec_global/admctl")
    ssh.write_text(original)
    status, out, results, recap = role_run(m, switch)
    recorded = status_of(m)["inForce"]
    role_check(status == 0 and recorded["identity"] == identity_of_policy(m)
               and recorded["delivered"]["user"] == "secadm" and status_of(m)["initialImageMatchesKernel"] is True
               and [d["changed"]["user"] for d in recorded["dynamicVariables"]] == ["secadm"],
               "role: with three-mode on it delivers as secadm", out)
    ssh.write_text(changed)
    writes = sim_state(m)["writes"]
    status, out, results, recap = role_run(m, switch, check_mode=True)
    role_check(status == 0 and re.search(r'^\+\d+: allow \* "/usr/sbin/sshd" "/etc/ssh/extra" file \{ read \}$', out, re.M)
               and sim_state(m)["writes"] == writes,
               "... and in check mode, as secadm, shows the rules and changes nothing", out)
    m.sh("cp /etc/passwd /root/passwd && sed -i '/^secadm:/d' /etc/passwd")
    status, out, results, recap = role_run(m, switch)
    m.sh("mv /root/passwd /etc/passwd")
    role_check(status != 0 and "当前用户无权执行此命令" in out and sim_state(m)["writes"] == writes,
               "... and where nobody may act it fails with the sync command's message", out)
    m.sh(f"echo 0 > {SIM}/paras/zusec_global/admctl")
    m.power_off()


# --- main -------------------------------------------------------------------

def inner(source, scratch, simkernel):
    """Inside a mount namespace of our own."""
    started = time.monotonic()
    debs_dir = pathlib.Path(os.environ["TAVO_BOOT_DEBS"]) if os.environ.get("TAVO_BOOT_DEBS") else \
        build_packages(source, scratch)
    debs = sorted(d for d in debs_dir.glob("*.deb") if "-dbgsym_" not in d.name)
    check(sorted(d.name.split("_")[0] for d in debs) == sorted(OUR_PACKAGES), "the five packages are built")

    cgroot = scratch / "cgroup"
    cgroot.mkdir(exist_ok=True)
    run(["mount", "-t", "cgroup2", "tavo-boot-cgroup", str(cgroot)])
    # Subtrees that a killed run left empty behind.
    for stale in cgroot.glob("tavo-boot-*"):
        if not any(procs.read_text().strip() for procs in stale.rglob("cgroup.procs")):
            kill_cgroup(stale)
    cgroup = cgroot / f"tavo-boot-{os.getpid()}"
    cgroup.mkdir()
    root = machine = None
    try:
        booted = time.monotonic()
        root = Root(scratch, simkernel)
        machine = Machine(root, scratch, cgroup)
        first_boot(machine, debs, source / "examples" / "policy")
        machine = Machine(root, scratch, cgroup)
        boot_without_image(machine)
        machine = Machine(root, scratch, cgroup)
        second_boot(machine)
        machine = Machine(root, scratch, cgroup)
        third_boot(machine)
        machine = Machine(root, scratch, cgroup)
        ansible_role_boot(machine, source, source / "examples" / "policy", debs)
        log(f"boots and checks took {time.monotonic() - booted:.0f} s, the whole test {time.monotonic() - started:.0f} s")
    finally:
        if machine:
            machine.stop()
        kill_cgroup(cgroup)
        run(["umount", str(cgroot)], check=False)
        if root:
            root.remove()


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--inner":
        source, scratch, simkernel = map(pathlib.Path, sys.argv[2:])

        def interrupted(signum, frame):
            raise Failed(f"interrupted by signal {signum}")
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, interrupted)
        try:
            inner(source, scratch, simkernel)
        except Failed as e:
            print(f"FAILED: {e}", file=sys.stderr)
            sys.exit(1)
        return
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    if os.geteuid() != 0:
        sys.exit("boot_test.py: run me as root")
    source, scratch, simkernel = (pathlib.Path(a).resolve() for a in sys.argv[1:])
    scratch.mkdir(parents=True, exist_ok=True)
    # A mount namespace of our own: every mount we make goes with it.
    child = subprocess.Popen(["unshare", "--mount", "--propagation", "private", sys.executable, __file__, "--inner",
                              str(source), str(scratch), str(simkernel)])
    # A stop request reaches the inner run, which cleans up.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda signum, frame: child.send_signal(signum))
    sys.exit(child.wait())


if __name__ == "__main__":
    main()
