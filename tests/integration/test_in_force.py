"""tavo-policy-check --in-force: how the candidate policy differs, rule by
rule, from the policy in force. What is in force is recorded by the daemon's
own recorder (tavo-test-record) from the sandbox's private
/etc/tavo/policy into its private /run/tavo; then the directory is edited
and compared."""

import json
import os
import pathlib
import shutil
import subprocess

import pytest

if os.environ.get("TAVO_SANDBOX") != "1" or "TAVO_TEST_RECORD" not in os.environ:
    pytest.skip("runs only inside tests/harness/sandbox-run (see ctest test 'checker')", allow_module_level=True)

CHECK = os.environ["TAVO_POLICY_CHECK"]
RECORD = os.environ["TAVO_TEST_RECORD"]
POLICY_DIR = pathlib.Path("/etc/tavo/policy")

A = """string name = web
strlist admins = root, alice
allow root "/usr/bin/app" "/var/www/*" file { read, write }
allow $admins "/usr/bin/app" "/var/www/cgi/*" file { execute }
    if (isWorkday)
%SECTION front
allow root "/usr/sbin/nginx" "/srv/front/*" file { read }
%ENDSEC
"""
B = """string name = mail
allow root "/usr/bin/mda" "/var/mail/*" file { write }
allow root "/usr/bin/imapd" "/var/mail/*" file { read }
"""
FRONT_RULE = 'allow alice "/usr/sbin/nginx" "/srv/front/static/*" file { read }\n'


def edit(name, old, new):
    path = POLICY_DIR / name
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, 1))


def add_front_rule():
    edit("a.p", "%ENDSEC\n", FRONT_RULE + "%ENDSEC\n")


def move_to_new_file():
    edit("a.p", 'allow root "/usr/bin/app" "/var/www/*" file { read, write }\n', "")
    (POLICY_DIR / "c.p").write_text('string name = web\nallow root "/usr/bin/app" "/var/www/*" file { read, write }\n')


# (edit of the recorded directory, exit status, the report between its
# header and its last line)
CASES = {
    "nothing changed": (lambda: None, 0, []),
    "whitespace, comments and line breaks only": (
        lambda: edit("a.p", 'allow root "/usr/bin/app" "/var/www/*" file { read, write }\n',
                     '# reindented\n\n   allow   root "/usr/bin/app"\n\t"/var/www/*" file {read,write}  \n'),
        0, []),
    "a rule added": (
        lambda: edit("b.p", 'file { read }\n', 'file { read }\nallow root "/usr/bin/pop3d" "/var/mail/*" file { read }\n'),
        1, ["b.p", '+ 4: allow root "/usr/bin/pop3d" "/var/mail/*" file { read }']),
    "a rule removed": (
        lambda: edit("b.p", 'allow root "/usr/bin/mda" "/var/mail/*" file { write }\n', ""),
        1, ["b.p", '- 2: allow root "/usr/bin/mda" "/var/mail/*" file { write }']),
    "a rule changed": (
        lambda: edit("a.p", 'file { execute }', 'file { execute, read }'),
        1, ["a.p", '- 4: allow $admins "/usr/bin/app" "/var/www/cgi/*" file { execute }', "  5:     if (isWorkday)",
            '+ 4: allow $admins "/usr/bin/app" "/var/www/cgi/*" file { execute, read }', "  5:     if (isWorkday)"]),
    "a rule moved within its file": (
        lambda: edit("b.p", 'allow root "/usr/bin/mda" "/var/mail/*" file { write }\n'
                     'allow root "/usr/bin/imapd" "/var/mail/*" file { read }\n',
                     'allow root "/usr/bin/imapd" "/var/mail/*" file { read }\n'
                     'allow root "/usr/bin/mda" "/var/mail/*" file { write }\n'),
        1, ["b.p: the same rules in another order"]),
    "a rule moved to another file": (
        move_to_new_file, 1,
        ["a.p", '- 3: allow root "/usr/bin/app" "/var/www/*" file { read, write }  (moved to c.p)', "",
         "c.p", '+ 2: allow root "/usr/bin/app" "/var/www/*" file { read, write }  (moved from a.p)']),
    # The rule's text is the same: the declaration it uses says why it differs.
    "a declaration changed": (
        lambda: edit("a.p", "strlist admins = root, alice", "strlist admins = alice"),
        1, ["a.p", '- 4: allow $admins "/usr/bin/app" "/var/www/cgi/*" file { execute }', "  5:     if (isWorkday)",
            '+ 4: allow $admins "/usr/bin/app" "/var/www/cgi/*" file { execute }', "  5:     if (isWorkday)", "",
            "a.p:2: declaration of admins changed", '  in force:  strlist = "root", "alice"',
            '  candidate: strlist = "alice"', "  changes the rules on line(s) 4"]),
    "a setting declared": (
        lambda: edit("b.p", "string name = mail\n", "string name = mail\nint priority = 20\n"),
        1, ["b.p", '- 2: allow root "/usr/bin/mda" "/var/mail/*" file { write }',
            '- 3: allow root "/usr/bin/imapd" "/var/mail/*" file { read }',
            '+ 3: allow root "/usr/bin/mda" "/var/mail/*" file { write }',
            '+ 4: allow root "/usr/bin/imapd" "/var/mail/*" file { read }', "",
            "b.p:2: declaration of priority changed", "  in force:  (not declared)", "  candidate: int = 20",
            "  changes the rules on line(s) 3, 4"]),
    "a file renamed": (
        lambda: (POLICY_DIR / "b.p").rename(POLICY_DIR / "z-mail.p"), 1,
        ["b.p -> z-mail.p: renamed, the same rules"]),
}


def check(*args):
    return subprocess.run([CHECK, *map(str, args)], capture_output=True, text=True, timeout=60)


def record(*args):
    done = subprocess.run([RECORD, *map(str, args)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def body(report):
    """The report without its header (up to the first blank line) and its
    summary (the last line)."""
    lines = report.splitlines()
    return lines[lines.index("") + 1:-2] if "" in lines[:-1] else []


@pytest.fixture
def in_force():
    """A and B recorded as the policy in force; /run/tavo and the policy
    directory emptied afterwards."""
    for entry in POLICY_DIR.iterdir():
        entry.unlink()
    (POLICY_DIR / "a.p").write_text(A)
    (POLICY_DIR / "b.p").write_text(B)
    record("full", POLICY_DIR)
    yield
    shutil.rmtree("/run/tavo", ignore_errors=True)
    for entry in POLICY_DIR.iterdir():
        entry.unlink()


@pytest.mark.parametrize("case", CASES)
def test_the_difference_rule_by_rule(in_force, case):
    change, code, expected = CASES[case]
    change()
    result = check("--in-force")
    assert result.returncode == code, result.stdout + result.stderr
    assert body(result.stdout) == expected
    header = result.stdout.splitlines()
    assert header[0].startswith("in force:  ") and header[1].startswith("candidate: ")
    assert (header[0].split()[2] == header[1].split()[1]) == (code == 0)


def test_a_section_update_in_force_is_what_the_kernel_holds(in_force):
    add_front_rule()
    record("section", POLICY_DIR, "web", "front")
    # The directory as delivered by the section update is what is in force...
    result = check("--in-force")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "section update in force: web/front" in result.stdout
    # ... and without the rule, the rule is what the kernel has more.
    edit("a.p", FRONT_RULE, "")
    result = check("--in-force", "--json")
    assert result.returncode == 1
    report = json.loads(result.stdout)
    assert [(u["namespace"], u["section"]) for u in report["inForce"]["sectionUpdates"]] == [("web", "front")]
    [changed] = report["files"]
    assert changed["file"] == "a.p" and changed["added"] == []
    assert [(r["line"], r["section"], r["text"]) for r in changed["removed"]] == [(8, "front", FRONT_RULE.strip())]


def test_without_anything_to_compare_with(in_force):
    shutil.rmtree("/run/tavo")
    result = check("--in-force")
    assert result.returncode == 4 and result.stdout == ""
    assert "nothing is recorded as in force" in result.stderr
    record("full", POLICY_DIR)
    (POLICY_DIR / "b.p").write_text(B.replace("{ read }", "{ read"))
    result = check("--in-force")
    assert result.returncode == 2 and "the candidate policy does not compile (3)" in result.stderr


# Records of unknown content as the writers leave them: a mark left by a
# writer killed during a delivery, and a switch recorded when nothing was.
MARK = ("tavo-policy-record 1\nidentity unknown\n[delivery]\nkind unknown\n"
        "delivered 1700000000 sendPolicy 0 root\n[changing]\ndelivering section\nnamespace web\nsection front\n")
SWITCH_ALONE = ("tavo-policy-record 1\nidentity unknown\n[delivery]\nkind unknown\n[dynamic]\n"
                "variable web guard 1\nchanged 1700000002 modifyDynamicVariable 900 secadm\n")


@pytest.mark.parametrize("text, text_line, series", [
    (MARK, "in force:                     unknown: a change began and its outcome was not recorded",
     ['tavo_policy_info{identity="unknown",kind="unknown",method="sendPolicy",user="root",uid="0"} 1',
      "tavo_policy_delivered_timestamp_seconds 1700000000", "tavo_policy_changed_timestamp_seconds 1700000000"]),
    (SWITCH_ALONE, "in force:                     a policy of unknown content",
     ["tavo_policy_changed_timestamp_seconds 1700000002"]),
], ids=["mark", "switch alone"])
def test_a_record_of_unknown_content_says_unknown_everywhere(in_force, text, text_line, series):
    pathlib.Path("/run/tavo/record").write_text(text)
    assert check("--in-force").returncode == 4
    assert text_line in check("--status").stdout.splitlines()
    assert json.loads(check("--status", "--json").stdout)["inForce"]["identity"] is None
    metrics = [m for m in check("--status", "--prometheus").stdout.splitlines()
               if m.startswith("tavo_policy_") and not m.startswith("tavo_policy_dynamic")]
    assert metrics == ["tavo_policy_recorded 1", "tavo_policy_record_known 0", *series,
                       "tavo_policy_section_updates 0"]
