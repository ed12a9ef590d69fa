"""The record of what is in force (/run/tavo), through the real daemon, bus,
polkitd and simulated module: after every step the module took, the record
says what the module holds; a refused or failed step leaves it as it was;
it outlives the daemon; the daemon and the checker name a policy by the
same identity however the checker is given the files; a daemon killed
during a step, or a full /run/tavo, leaves a record of unknown content,
never the policy before; and no other account's locks delay a delivery."""

import json
import os
import pathlib
import shutil
import signal
import stat
import subprocess
import time

import pytest

import tavo_sandbox
from conftest import BIN, POLICY_DIR, SLOWER, SYNTAX_ERROR, OPEN_BUS_POLICY

CHECK = BIN / "tools" / "tavo-policy-check" / "tavo-policy-check"
INIT = BIN / "tools" / "tavo-main-policy-init" / "tavo-main-policy-init"
EXAMPLES = pathlib.Path(os.environ["TAVO_EXAMPLES_DIR"])
RECORD = pathlib.Path("/run/tavo/record")
PYTHON = tavo_sandbox.PYTHON
SAMBA_RULE = b'allow $share_users "/usr/sbin/smbd" "/srv/share/new/*" dir { read, search }\n'


def checker(*args, user="root"):
    return subprocess.run(tavo_sandbox.as_user([str(CHECK), *map(str, args)], user), capture_output=True,
                          text=True, timeout=120)


def status(user="root"):
    out = checker("--status", "--json", user=user)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def identity_of(*paths):
    out = checker("--quiet", *paths)
    assert out.returncode == 0, out.stderr
    [line] = [l for l in out.stderr.splitlines() if l.startswith("identity ")]
    return line.split()[1]


def module_state(kernel):
    held = {"sections": set(), "dynamic": {}}
    for line in (kernel.module_dir / ".sim" / "state").read_text().splitlines():
        key, _, value = line.partition(": ")
        if key == "section":
            held["sections"].add(tuple(value.split()[:2]))
        elif key == "dynamic":
            ns, var, val = value.split()
            held["dynamic"][(ns, var)] = int(val)
        else:
            held[key] = value
    return held


def assert_agrees(kernel):
    """What the record says is what the module holds."""
    recorded = status()["inForce"]
    held = module_state(kernel)
    assert recorded["state"] == "recorded"
    assert (recorded["kind"] == "initial") == (held["init"] == "yes")
    assert recorded["nodes"] == int(held["policy_nodes"])
    assert {(u["namespace"], u["section"]) for u in recorded["sectionUpdates"]} == held["sections"]
    for d in recorded["dynamicVariables"]:
        assert held["dynamic"][(d["namespace"], d["variable"])] == d["value"], d
    return recorded


def install_examples():
    for f in EXAMPLES.iterdir():
        shutil.copy(f, POLICY_DIR / f.name)


def full_delivery(call, kernel):
    install_examples()
    assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0


def dynamic_variable_by_secadm(call, kernel):
    kernel.set_three_mode(True)
    try:
        assert call.code("modifyDynamicVariable", "ssh", "maintenance", 1, user="secadm") == 0
    finally:
        kernel.set_three_mode(False)


def section_update(call, kernel):
    with open(POLICY_DIR / "10-fileserver.p", "r+b") as f:
        text = f.read().replace(b"%SECTION samba\n", b"%SECTION samba\n" + SAMBA_RULE, 1)
        f.seek(0)
        f.write(text)
    assert call.code("compileSectionPolicy", "fileserver", "samba") == 0 and call.code("sendPolicy") == 0


def initial_policy_at_boot(call, kernel):
    assert call.code("compileInitPolicy") == 0
    assert kernel.stop("daemon") == 0
    init = subprocess.run([str(INIT)], capture_output=True, text=True, timeout=60)
    assert init.returncode == 0, init.stderr
    kernel.start_daemon()


# Each step, and what the record then says beyond agreeing with the module.
STEPS = [
    (full_delivery, lambda r, s: r["kind"] == "full" and r["delivered"]["method"] == "sendPolicy"
     and s["diskMatchesKernel"] is True),
    (dynamic_variable_by_secadm, lambda r, s: [(d["variable"], d["changed"]["user"])
                                              for d in r["dynamicVariables"]] == [("maintenance", "secadm")]),
    # The kernel holds the new section: the edited directory is in force.
    (section_update, lambda r, s: len(r["sectionUpdates"]) == 1 and s["diskMatchesKernel"] is True
     and r["dynamicVariables"] != []),
    (section_update, lambda r, s: len(r["sectionUpdates"]) == 1),
    (initial_policy_at_boot, lambda r, s: r["delivered"]["method"] == "tavo-main-policy-init"
     and r["sectionUpdates"] == [] and r["dynamicVariables"] == [] and s["initialImageMatchesKernel"] is True),
]


def test_after_each_step_the_record_says_what_the_module_holds(call, kernel):
    (kernel.module_dir / ".sim" / "reset").write_text("1\n")
    for step, expected in STEPS:
        step(call, kernel)
        recorded = assert_agrees(kernel)
        assert expected(recorded, status()), (step.__name__, recorded)
    # The identity in force is the one the checker gives the directory.
    assert recorded["identity"] == identity_of(POLICY_DIR)


def fail_next_write(kernel, code):
    (kernel.module_dir / ".sim" / "fail").write_text(f"{code}\n")


def refused_delivery(call, kernel):
    (POLICY_DIR / "20-ssh.p").unlink()
    assert call.code("compilePolicy") == 0
    fail_next_write(kernel, 22)
    assert call.code("sendPolicy") == 22


def failed_compile(call, kernel):
    (POLICY_DIR / "20-ssh.p").write_bytes(SYNTAX_ERROR)
    assert call.code("compilePolicy") == 3
    assert call.code("sendPolicy") == 71


def refused_section(call, kernel):
    assert call.code("compileSectionPolicy", "fileserver", "nosuch") == 22
    assert call.code("sendPolicy") == 71


def unknown_variable(call, kernel):
    assert call.code("modifyDynamicVariable", "ssh", "nosuch", 1) == 22


def refused_variable_change(call, kernel):
    fail_next_write(kernel, 12)
    assert call.code("modifyDynamicVariable", "ssh", "maintenance", 1) == 12


def unauthorised_caller(call, kernel):
    kernel.set_test_bus_policy(OPEN_BUS_POLICY)
    for method, args in [("compilePolicy", []), ("sendPolicy", []),
                         ("modifyDynamicVariable", ["ssh", "maintenance", 1])]:
        assert call.code(method, *args, user="tester") == -100


@pytest.mark.parametrize("step", [refused_delivery, failed_compile, refused_section, unknown_variable,
                                  refused_variable_change, unauthorised_caller],
                         ids=lambda f: f.__name__)
def test_a_refused_or_failed_step_leaves_the_record(call, kernel, step):
    (kernel.module_dir / ".sim" / "reset").write_text("1\n")
    full_delivery(call, kernel)
    before = RECORD.read_bytes()
    step(call, kernel)
    assert RECORD.read_bytes() == before
    assert_agrees(kernel)


def test_the_record_outlives_the_daemon(call, kernel):
    (kernel.module_dir / ".sim" / "reset").write_text("1\n")
    full_delivery(call, kernel)
    before = RECORD.read_bytes()
    assert kernel.stop("daemon") == 0
    kernel.start_daemon()
    assert RECORD.read_bytes() == before
    # The new daemon adds to the record it finds.
    assert call.code("modifyDynamicVariable", "ssh", "maintenance", 1) == 0
    recorded = assert_agrees(kernel)
    assert recorded["kind"] == "full" and len(recorded["dynamicVariables"]) == 1


def test_the_daemon_and_the_checker_give_one_identity(call, kernel):
    full_delivery(call, kernel)
    recorded = status()["inForce"]["identity"]
    files = sorted(POLICY_DIR.iterdir())
    assert identity_of(POLICY_DIR) == recorded
    assert identity_of(*files) == recorded
    assert identity_of(*reversed(files)) == recorded
    # Relative paths from elsewhere.
    out = subprocess.run([str(CHECK), "--quiet", *[os.path.relpath(f, "/") for f in files]], cwd="/",
                         capture_output=True, text=True, timeout=60)
    assert f"identity {recorded}" in out.stderr.splitlines()


def test_who_may_read_what(call, kernel):
    full_delivery(call, kernel)
    # Anyone sees what is in force; the sources are root's and secadm's.
    assert status(user="tester")["inForce"]["identity"] == status()["inForce"]["identity"]
    refused = checker("--in-force", user="tester")
    assert refused.returncode == 77 and refused.stdout == ""
    assert "readable by root and secadm only" in refused.stderr
    assert checker("--in-force", user="secadm").returncode == 0
    # A record that cannot be read for another reason (here a link) is
    # trouble, not a matter of who reads it.
    saved = RECORD.with_name("record.saved")
    RECORD.rename(saved)
    RECORD.symlink_to(saved)
    try:
        assert checker("--in-force").returncode == 2
    finally:
        RECORD.unlink()
        saved.rename(RECORD)


# --- the record tells the truth --------------------------------------------

# Takes every file and directory it can open under the given trees, again
# and again (records are replaced by renames), until its input closes.
LOCK_HOLDER = r"""
import fcntl, os, select, sys
held = {}
def take(path):
    if path in held:
        return
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
    except OSError:
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        held[path] = fd
    except OSError:
        os.close(fd)
first = True
while True:
    for top in sys.argv[1:]:
        for root, dirs, files in os.walk(top):
            for name in [root, *[os.path.join(root, f) for f in files]]:
                take(name)
    if first:
        print(len(held), flush=True)
        first = False
    if select.select([sys.stdin], [], [], 0.02)[0]:
        break
"""


def timed_code(call, method, *args):
    started = time.monotonic()
    code = call.code(method, *args)
    return code, time.monotonic() - started


def test_an_account_holding_every_lock_it_can_take_delays_no_delivery(call, kernel):
    (kernel.module_dir / ".sim" / "reset").write_text("1\n")
    full_delivery(call, kernel)
    assert call.code("compileInitPolicy") == 0
    holder = subprocess.Popen(tavo_sandbox.as_user([PYTHON, "-c", LOCK_HOLDER, "/run/tavo", "/var/lib/tavo"],
                                                   "alice"),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert int(holder.stdout.readline()) >= 2  # at least /run/tavo and its record
        steps = [("compileInitPolicy",), ("compilePolicy",), ("sendPolicy",),
                 ("modifyDynamicVariable", "ssh", "maintenance", 1), ("compileSectionPolicy", "ssh", "config"),
                 ("sendPolicy",), ("modifyDynamicVariable", "ssh", "maintenance", 0)]
        for step in steps:
            code, seconds = timed_code(call, *step)
            assert code == 0, step
            # The record's own lock waits up to 10 s for whoever holds it.
            assert seconds < 3 * SLOWER, (step, seconds)
            recorded = assert_agrees(kernel)
            assert recorded["identity"] is not None, step
    finally:
        holder.stdin.close()
        holder.wait(timeout=20)
    assert recorded["identity"] == identity_of(POLICY_DIR)


def run_under_umask_0077(argv):
    return subprocess.run(["sh", "-c", 'umask 0077; exec "$0" "$@"', *map(str, argv)], capture_output=True,
                          text=True, timeout=60)


@pytest.mark.parametrize("maker", ["tavo-policyd", "tavo-main-policy-init"])
def test_run_tavo_made_under_the_units_umask_is_for_anyone_to_read(call, kernel, maker):
    full_delivery(call, kernel)
    assert call.code("compileInitPolicy") == 0
    shutil.rmtree("/run/tavo")
    if maker == "tavo-policyd":
        assert kernel.stop("daemon") == 0
        kernel.start_daemon(wrapper=["sh", "-c", 'umask 0077; exec "$0"'])
        assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0
    else:
        out = run_under_umask_0077([INIT])
        assert out.returncode == 0, out.stderr
    assert stat.S_IMODE(os.stat("/run/tavo").st_mode) == 0o755
    assert status(user="tester")["inForce"]["identity"] == status()["inForce"]["identity"] is not None
    if maker == "tavo-policyd":
        assert kernel.stop("daemon") == 0
        kernel.start_daemon()


# Sources of some size: the record takes a moment to store them.
PADDING = "# padding\n" * 6400


def numbered_policy(tag, count=40):
    """`count` files of one namespace each; the first has a dynamic
    variable. `tag` makes the rules of one set differ from another's."""
    for f in POLICY_DIR.iterdir():
        f.unlink()
    for i in range(count):
        variable = "dynamic bool guard = false\n" if i == 0 else ""
        condition = " if ($guard)" if i == 0 else ""
        (POLICY_DIR / f"{i:02d}-{tag}.p").write_text(
            f"string name = n{i}\n{variable}{PADDING}%SECTION s\n"
            f'allow root "/usr/bin/app{i}" "/var/{tag}/{i}/*" file {{ read }}{condition}\n%ENDSEC\n')


def deliver_numbered(call, tag):
    numbered_policy(tag)
    assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0


def module_digest(kernel):
    return module_state(kernel)["policy_digest"]


def wait_for_module(kernel, caller, taken):
    """Until the module holds what `taken` looks for, or the call ended."""
    while not taken(module_state(kernel)) and caller.poll() is None:
        pass


def kill_daemon_during(call, kernel, argv, point, delay, taken):
    sources = RECORD.parent / "sources"
    listed = set(os.listdir(sources))
    caller = subprocess.Popen(call.argv(*argv), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started = time.monotonic()
    if point == "module":
        wait_for_module(kernel, caller, taken)
    elif point == "storing":
        while set(os.listdir(sources)) == listed and caller.poll() is None:
            pass
    elif point == "answer":
        caller.wait(timeout=60)
    time.sleep(max(0.0, delay - (time.monotonic() - started)) if point == "call" else delay)
    kernel.daemon.send_signal(signal.SIGKILL)
    kernel.daemon.wait()
    caller.wait(timeout=60)
    kernel.start_daemon()


def assert_names_only_what_the_module_holds(kernel, identities):
    held = module_state(kernel)
    recorded = status()["inForce"]
    if recorded["identity"] is None:
        return
    assert recorded["identity"] == identities[held["policy_digest"]], (recorded, held)
    changed = {(d["namespace"], d["variable"]): d["value"] for d in recorded["dynamicVariables"]}
    assert held["dynamic"].get(("n0", "guard"), 0) == changed.get(("n0", "guard"), 0), (recorded, held)


# Where the daemon is killed: after the call was sent, once the module
# holds the new policy or value, once the record's sources start to change
# (seconds after each), or after the answer.
KILL_POINTS = [("call", 0.0), ("call", 0.002), ("module", 0.0), ("module", 0.001), ("storing", 0.0),
               ("storing", 0.0), ("storing", 0.0005), ("storing", 0.001), ("storing", 0.003), ("answer", 0.0)]
KILLS = [("sendPolicy", *p) for p in KILL_POINTS] + \
        [("modifyDynamicVariable", *p) for p in [("call", 0.001), ("module", 0.0), ("module", 0.0005),
                                                 ("answer", 0.0)]]


def test_a_daemon_killed_during_a_step_leaves_no_record_of_the_policy_before(call, kernel):
    (kernel.module_dir / ".sim" / "reset").write_text("1\n")
    identities = {}
    for tag in ("a", "b"):
        deliver_numbered(call, tag)
        identities[module_digest(kernel)] = status()["inForce"]["identity"]
    assert len(identities) == 2 and None not in identities.values()
    for method, point, delay in KILLS:
        deliver_numbered(call, "a")
        assert identities[module_digest(kernel)] == status()["inForce"]["identity"]
        if method == "sendPolicy":
            numbered_policy("b")
            assert call.code("compilePolicy") == 0
            before = module_digest(kernel)
            argv = ["sendPolicy"]
            taken = lambda held: held["policy_digest"] != before  # noqa: E731
        else:
            argv = ["modifyDynamicVariable", "n0", "guard", 1]
            taken = lambda held: held["dynamic"].get(("n0", "guard")) == 1  # noqa: E731
        kill_daemon_during(call, kernel, argv, point, delay, taken)
        assert_names_only_what_the_module_holds(kernel, identities)
        # A switch after that is recorded on what the record knows, never
        # on the policy before.
        assert call.code("modifyDynamicVariable", "n0", "guard", 0) == 0
        assert_names_only_what_the_module_holds(kernel, identities)


def prometheus():
    out = checker("--status", "--prometheus")
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


def assert_unknown(kernel):
    assert status()["inForce"]["identity"] is None
    text = checker("--status").stdout
    assert "unknown" in [l for l in text.splitlines() if l.startswith("in force:")][0], text
    assert checker("--in-force").returncode == 4
    metrics = prometheus()
    assert "tavo_policy_record_known 0" in metrics, metrics
    assert not [m for m in metrics if m.startswith("tavo_policy_info{identity=\"") and "unknown" not in m]


def test_a_full_run_tavo_makes_the_record_unknown_until_a_delivery_has_room(call, kernel):
    (kernel.module_dir / ".sim" / "reset").write_text("1\n")
    os.makedirs("/run/tavo", exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tavo-run-tavo", "/run/tavo"], check=True)
    try:
        full_delivery(call, kernel)
        filler = pathlib.Path("/run/tavo/filler")
        subprocess.run(["dd", "if=/dev/zero", f"of={filler}", "bs=4096"], capture_output=True)
        # A delivery whose sources need more room than the record before
        # gives back.
        (POLICY_DIR / "50-large.p").write_text("string name = large\n" + "# padding\n" * 4000 +
                                              'allow root "/usr/bin/app" "/srv/*" file { read }\n')
        assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0
        assert_unknown(kernel)
        assert call.code("modifyDynamicVariable", "ssh", "maintenance", 1) == 0
        assert_unknown(kernel)
        filler.unlink()
        assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0
        recorded = assert_agrees(kernel)
        assert recorded["identity"] == identity_of(POLICY_DIR)
        assert "tavo_policy_record_known 1" in prometheus()
    finally:
        subprocess.run(["umount", "/run/tavo"], check=True)
