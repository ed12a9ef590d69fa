"""What the status says is loaded, through the real daemon, bus, polkitd and
simulated module: every scene with its files, sections and counts, whether
it is permissive, and every dynamic variable with its delivered and current
value, after a full delivery and after a change of a switch."""

import json
import os
import pathlib
import shutil
import subprocess

import tavo_sandbox
from conftest import BIN, POLICY_DIR

CHECK = BIN / "tools" / "tavo-policy-check" / "tavo-policy-check"
EXAMPLES = pathlib.Path(os.environ["TAVO_EXAMPLES_DIR"])
STORE = "busctl call com.norda.zupolicy /policymgr com.norda.zupolicy.policymgr compileInitPolicy"


def checker(*args, user="root"):
    out = subprocess.run(tavo_sandbox.as_user([str(CHECK), *args], user), capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout


def checker_status(*args):
    return subprocess.run([str(CHECK), *args], capture_output=True, text=True, timeout=120)


def loaded(user="root"):
    return json.loads(checker("--status", "--json", user=user))


def test_status_lists_scenes_and_switches(call, kernel):
    for f in EXAMPLES.iterdir():
        shutil.copy(f, POLICY_DIR / f.name)
    assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0

    status = loaded()
    scenes = {s["name"]: s for s in status["loaded"]["scenes"]}
    assert (scenes["fileserver"]["files"], scenes["fileserver"]["sections"]) == (["10-fileserver.p"],
                                                                                 ["backup", "samba"])
    assert scenes["ssh"]["sections"] == ["config"] and scenes["kernel"]["sections"] == []
    assert {n: (s["rules"], s["permissive"]) for n, s in scenes.items()} == {
        "fileserver": (5, False), "ssh": (5, False), "kernel": (5, False), "capabilities": (3, True)}
    assert sum(s["nodes"] for s in scenes.values()) == status["inForce"]["nodes"]
    assert status["loaded"]["dynamicVariables"] == [
        {"namespace": "ssh", "variable": "maintenance", "delivered": 0, "current": 0, "changed": None}]
    # Where what is stored for boot does not hold it, the status names the command.
    if status["initialImageMatchesKernel"] is not True:
        assert status["storeInitialImage"] == STORE
        assert f"  store with:                 {STORE}" in checker("--status").splitlines()

    assert call.code("modifyDynamicVariable", "ssh", "maintenance", 1) == 0
    [switch] = loaded()["loaded"]["dynamicVariables"]
    assert (switch["delivered"], switch["current"], switch["changed"]["user"]) == (0, 1, "root")
    text = checker("--status").splitlines()
    assert any(line.startswith("  ssh/maintenance") and "1 (delivered 0), changed: modifyDynamicVariable by root"
               in line for line in text), text
    assert 'tavo_dynamic_variable_value{namespace="ssh",variable="maintenance"} 1' in checker(
        "--status", "--prometheus").splitlines()

    # The rules are those in force, but a full delivery would set the switch back.
    report = checker_status("--in-force")
    assert report.returncode == 0, report.stderr
    lines = report.stdout.splitlines()
    assert lines[-1] == "the candidate is the policy in force"
    assert lines[-4:-1] == ["a full delivery (tavo-main-policy-sync -a) would set these dynamic variables:",
                            "  ssh/maintenance: 1 now, 0 after", ""]
    report = json.loads(checker_status("--in-force", "--json").stdout)
    assert (report["same"], report["dynamicResets"], report["declarations"]) == (
        True, [{"namespace": "ssh", "variable": "maintenance", "now": 1, "after": 0}], [])

    # Anyone sees the scenes; the declarations need the sources.
    other = loaded(user="tester")["loaded"]
    assert [s["name"] for s in other["scenes"]] == sorted(scenes)
    assert (other["declarationsKnown"], [s["permissive"] for s in other["scenes"]]) == (False, [None] * 4)
    assert [(v["variable"], v["delivered"], v["current"]) for v in other["dynamicVariables"]] == [
        ("maintenance", None, 1)]

    # A full delivery resets the switch to what the file declares.
    assert call.code("compilePolicy") == 0 and call.code("sendPolicy") == 0
    assert loaded()["loaded"]["dynamicVariables"][0]["current"] == 0
