"""The record of what is in force (/run/tavo), through the real daemon, bus,
polkitd and simulated module: after every step the module took, the record
says what the module holds; a refused or failed step leaves it as it was;
it outlives the daemon; and the daemon and the checker name a policy by the
same identity however the checker is given the files."""

import json
import os
import pathlib
import shutil
import subprocess

import pytest

import tavo_sandbox
from conftest import BIN, POLICY_DIR, SYNTAX_ERROR, OPEN_BUS_POLICY

CHECK = BIN / "tools" / "tavo-policy-check" / "tavo-policy-check"
INIT = BIN / "tools" / "tavo-main-policy-init" / "tavo-main-policy-init"
EXAMPLES = pathlib.Path(os.environ["TAVO_EXAMPLES_DIR"])
RECORD = pathlib.Path("/run/tavo/record")
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
