#!/usr/bin/python3
# -*- coding: utf-8 -*-
# Compares the policy on disk with what the tavo module holds and delivers
# it, through tavo-policy-check and tavo-main-policy-sync: the decisions are
# theirs, this module only runs them and reports in Ansible's terms.

DOCUMENTATION = r"""
---
module: tavo_policy
short_description: Deliver the tavo policy only where the kernel differs from the disk
description:
  - C(inspect) reports whether the policy in force is what the policy
    directory holds (C(tavo-policy-check --in-force)), three-mode and the
    account that may act. A policy in force that the disk does not hold
    (drift) is reported as changed, or as failed with I(fail_on_drift).
  - C(deliver) runs C(tavo-main-policy-sync -a) when the candidate differs
    from what is in force, stores the initial image again (compileInitPolicy)
    when it does not hold what is in force, and sets each dynamic variable
    whose recorded value differs. In check mode it runs nothing that
    changes the host and reports the rules that would be added and removed.
options:
  action:
    description: What to do.
    type: str
    choices: [inspect, deliver]
    default: deliver
  path:
    description: The policy directory the daemon compiles.
    type: path
    default: /etc/tavo/policy
  candidate:
    description:
      - What the policy directory will hold once the role placed its files;
        compared with what is in force in check mode, where I(path) is not
        changed. Defaults to I(path).
    type: path
  delivered_file:
    description:
      - A file naming the identity the role delivered last; C(inspect) also
        counts as drift a policy in force that is another (a delivery by
        hand of files since put back).
    type: path
  fail_on_drift:
    description: C(inspect) fails on drift.
    type: bool
    default: false
  initial_image:
    description: C(deliver) stores the initial image again when it does not hold what is in force.
    type: bool
    default: true
  initial_image_identity:
    description:
      - The stored initial image's identity as C(inspect) returned it, for
        C(deliver) run as an account that may not read its record.
    type: str
  dynamic_variables:
    description: Dynamic variables to set, each C(namespace), C(variable) and C(value) (a bool).
    type: list
    elements: dict
    default: []
author: tavo developers
"""

RETURN = r"""
in_force:
  description: C(tavo-policy-check --in-force --json) of the candidate (null when it says nothing is known).
  type: dict
  returned: always
in_force_status:
  description: Its exit status (0 same, 1 differs, 4 nothing known).
  type: int
  returned: always
status:
  description: C(tavo-policy-check --status --json) before anything was done.
  type: dict
  returned: always
three_mode:
  description: Whether three-mode is on (null when the switch cannot be read).
  type: bool
  returned: always
act_as:
  description: The account that may change the policy on the host (C(secadm) or C(root)).
  type: str
  returned: action inspect
initial_image_identity:
  description: The identity of the stored initial image (null when none, or not the image its record names).
  type: str
  returned: action inspect
drift:
  description: The policy in force is not what the policy directory holds.
  type: bool
  returned: action inspect
rules_added:
  description: Rules the candidate adds to what is in force.
  type: int
  returned: always
rules_removed:
  description: Rules the candidate removes from what is in force.
  type: int
  returned: always
identity:
  description: The identity of the policy in force once done (null when unknown, or in check mode when it would change).
  type: str
  returned: action deliver
commands:
  description: The commands run (or, in check mode, that would be) that change the host.
  type: list
  returned: always
"""

import json
import pwd
import time

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.parsing.convert_bool import boolean

CHECK = "tavo-policy-check"
SYNC = "tavo-main-policy-sync"
SECADM = "secadm"
SAME, DIFFERS, NOTHING_KNOWN = 0, 1, 4
BUSCTL = ["busctl", "call", "com.norda.zupolicy", "/policymgr", "com.norda.zupolicy.policymgr"]


def run(module, argv):
    rc, out, err = module.run_command(argv, environ_update={"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"})
    return rc, out, err


def status_of(module):
    rc, out, err = run(module, [CHECK, "--status", "--json"])
    if rc != 0:
        module.fail_json(msg="%s --status failed (%d): %s" % (CHECK, rc, err.strip()), rc=rc)
    return json.loads(out)


def compare(module, candidate, failing=True):
    """--in-force --json of the candidate: (exit status, report or None).
    Any other answer fails, or, unless failing, is a warning."""
    argv = [CHECK, "--in-force", "--json", candidate]
    rc, out, err = run(module, argv)
    if rc in (SAME, DIFFERS):
        return rc, json.loads(out)
    if rc == NOTHING_KNOWN:
        return rc, None
    msg = err.strip() or "%s --in-force exited %d" % (CHECK, rc)
    if failing:
        module.fail_json(msg=msg, rc=rc, cmd=argv, stdout=out, stderr=err)
    module.warn(msg)
    return rc, None


def rule_lines(changes):
    text = ""
    for c in changes:
        for i, line in enumerate(c["text"].split("\n")):
            text += "%d: %s\n" % (c["line"] + i, line)
    return text


def rule_diff(report, before_label, after_label):
    """The rules removed and added, file by file, as Ansible shows diffs."""
    diffs = []
    added = removed = 0
    for f in report["files"]:
        old = f["renamedFrom"] or f["file"]
        before = rule_lines(f["removed"])
        after = rule_lines(f["added"])
        if f["reordered"]:
            after += "(the same rules in another order)\n"
        elif f["renamedFrom"] and not f["added"] and not f["removed"]:
            after += "(renamed from %s, the same rules)\n" % f["renamedFrom"]
        diffs.append({"before_header": "%s (%s)" % (old, before_label),
                      "after_header": "%s (%s)" % (f["file"], after_label),
                      "before": before, "after": after})
        added += len(f["added"])
        removed += len(f["removed"])
    return diffs, added, removed


def unknown_diff(status, path):
    identity = status["inForce"].get("identity") or "unknown"
    return [{"before_header": "in force", "after_header": path,
             "before": "policy %s (%s)\n" % (identity, status["inForce"]["state"]),
             "after": "the whole policy in %s\n" % path}]


def account_exists(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


def stored_identity(status):
    image = status["initialImage"]
    return image.get("identity") if image.get("imageMatchesRecord") else None


def describe_step(step):
    if not step:
        return "how, nobody recorded"
    when = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(step["time"]))
    return "%s by %s (uid %d) at %s" % (step["method"], step["user"] or "-", step["uid"], when)


def last_delivered(path):
    try:
        with open(path) as f:
            return f.read().strip() or None
    except FileNotFoundError:
        return None


def inspect(module, p):
    status = status_of(module)
    three_mode = status["threeMode"]
    # A directory that does not compile may be what this play mends.
    rc, report = compare(module, p["path"], failing=False)
    result = dict(changed=False, status=status, three_mode=three_mode, in_force=report, in_force_status=rc,
                  drift=False, initial_image_identity=stored_identity(status), rules_added=0, rules_removed=0,
                  commands=[], act_as=SECADM if three_mode and account_exists(SECADM) else "root")
    drift = []
    in_force = status["inForce"]
    if rc == DIFFERS:
        diffs, result["rules_added"], result["rules_removed"] = rule_diff(report, "in force", "on disk")
        result["diff"] = diffs
        drift.append("the policy in force (%s) is not what %s holds (%s)"
                     % (report["inForce"]["identity"], p["path"], report["candidate"]["identity"]))
    delivered = last_delivered(p["delivered_file"]) if p["delivered_file"] else None
    if delivered and in_force.get("identity") and in_force["identity"] != delivered:
        drift.append("the policy in force (%s, %s policy, %s) is not the one this role delivered (%s)"
                     % (in_force["identity"], in_force["kind"], describe_step(in_force.get("delivered")), delivered))
    if drift:
        result.update(changed=True, drift=True, msg="drift: " + "; ".join(drift))
        if p["fail_on_drift"]:
            module.fail_json(**result)
    module.exit_json(**result)


def act(module, argv, commands):
    """Runs a command that changes the host; fails with its own message."""
    commands.append(" ".join(argv))
    if module.check_mode:
        return
    rc, out, err = run(module, argv)
    if rc != 0 or (argv[0] == "busctl" and out.strip() != "i 0"):
        module.fail_json(msg=(err.strip() or out.strip() or "%s exited %d" % (argv[0], rc)),
                         rc=rc, cmd=argv, stdout=out, stderr=err, commands=commands)


def deliver(module, p):
    candidate = p["candidate"] or p["path"]
    if not module.check_mode:
        candidate = p["path"]
    status = status_of(module)
    commands, diffs = [], []
    rc, report = compare(module, candidate)
    result = dict(status=status, three_mode=status["threeMode"], in_force=report, in_force_status=rc,
                  rules_added=0, rules_removed=0)
    delivering = rc != SAME
    if rc == DIFFERS:
        diffs, result["rules_added"], result["rules_removed"] = rule_diff(report, "in force", "to deliver")
    elif rc == NOTHING_KNOWN:
        diffs = unknown_diff(status, p["path"])
    if delivering:
        act(module, [SYNC, "-a"], commands)
        if not module.check_mode:
            after, _ = compare(module, p["path"])
            if after != SAME:
                module.fail_json(msg="delivered, yet %s --in-force says %s is not what is in force (%d)"
                                 % (CHECK, p["path"], after), commands=commands, **result)
            status = status_of(module)

    if p["initial_image"]:
        # After a delivery the stored image differs unless it was made of
        # the same files; in check mode that is only known from the identities.
        # secadm may not read the stored image's record: inspect, as root, did.
        if status["initialImage"]["state"] == "unreadable":
            stored = p["initial_image_identity"] or None
        else:
            stored = stored_identity(status)
        if module.check_mode and delivering:
            target = report["candidate"]["identity"] if report else None
        else:
            target = status["inForce"].get("identity")
        if stored != target or target is None:
            act(module, BUSCTL + ["compileInitPolicy"], commands)
            diffs.append({"before_header": "initial image", "after_header": "initial image",
                          "before": "%s\n" % (stored or "none"), "after": "%s\n" % (target or "the policy delivered")})

    recorded = {}
    if not (module.check_mode and delivering):
        # A delivery resets the module's dynamic variables, and the record.
        for d in status["inForce"].get("dynamicVariables") or []:
            recorded[(d["namespace"], d["variable"])] = d["value"]
    for want in p["dynamic_variables"]:
        for key in ("namespace", "variable", "value"):
            if key not in want:
                module.fail_json(msg="dynamic_variables: every entry needs namespace, variable and value")
        value = 1 if boolean(want["value"], strict=True) else 0
        key = (str(want["namespace"]), str(want["variable"]))
        if recorded.get(key) == value:
            continue
        act(module, [SYNC, "-d", "-n", key[0], "-v", key[1], "-V", "true" if value else "false"], commands)
        name = "dynamic variable %s/%s" % key
        diffs.append({"before_header": name, "after_header": name,
                      "before": "%s\n" % ({0: "false", 1: "true"}.get(recorded.get(key), "as the policy sets it")),
                      "after": "%s\n" % ("true" if value else "false")})

    # status was read again after a delivery; switches leave the identity.
    result.update(changed=bool(commands), commands=commands,
                  identity=None if module.check_mode and delivering else status["inForce"].get("identity"))
    if diffs:
        result["diff"] = diffs
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            action=dict(type="str", choices=["inspect", "deliver"], default="deliver"),
            path=dict(type="path", default="/etc/tavo/policy"),
            candidate=dict(type="path"),
            delivered_file=dict(type="path"),
            fail_on_drift=dict(type="bool", default=False),
            initial_image=dict(type="bool", default=True),
            initial_image_identity=dict(type="str"),
            dynamic_variables=dict(type="list", elements="dict", default=[]),
        ),
        supports_check_mode=True,
    )
    if module.params["action"] == "inspect":
        inspect(module, module.params)
    else:
        deliver(module, module.params)


if __name__ == "__main__":
    main()
