"""The checker's warnings: one table per kind of warning, each case a policy
directory and the warnings it must give (none for the near misses that are
not mistakes); and silence on the shipped examples, the good corpus and the
benchmark's generated set."""

import json
import os
import pathlib
import subprocess

import pytest

if os.environ.get("TAVO_SANDBOX") != "1" or "TAVO_POLICY_CHECK" not in os.environ:
    pytest.skip("runs only inside tests/harness/sandbox-run (see ctest test 'checker')",
                allow_module_level=True)

CHECK = os.environ["TAVO_POLICY_CHECK"]
SOURCE = pathlib.Path(__file__).resolve().parents[2]
CORPUS = pathlib.Path(os.environ["TAVO_CORPUS_DIR"])
GENERATOR = pathlib.Path(os.environ.get("TAVO_GEN_POLICIES", "/nonexistent"))

HEAD = 'string name = web\n'
RULE = 'allow 1000 "/usr/bin/app" "/var/www/*" file { read }\n'


def run(*args):
    proc = subprocess.run([CHECK, "--quiet", *map(str, args)], capture_output=True, timeout=300)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode("utf-8", "surrogateescape")


def warnings(stderr, where):
    """Warning lines, with the directory's path cut to "./"."""
    return [line.replace(str(where) + "/", "./") for line in stderr.splitlines() if ": warning: " in line]


def make(tmp_path, files):
    for name, content in files.items():
        path = tmp_path / name
        if content is None:
            path.mkdir()
        elif isinstance(content, tuple):
            path.symlink_to(content[0])
        else:
            path.write_text(content)
    return tmp_path


def check_table(tmp_path, files, expected):
    where = make(tmp_path, files)
    code, stdout, stderr = run(where)
    assert (code, warnings(stderr, where)) == (0, expected), stderr


OPEN_SECTION = [
    ("left open", {"a.p": HEAD + "%SECTION front\n" + RULE},
     ['./a.p:2: warning: section "front" is still open at the end of the file (no %ENDSEC)']),
    ("the last of two left open", {"a.p": HEAD + "%SECTION a\n" + RULE + "%ENDSEC\n# %SECTION x\n%SECTION b\n" + RULE},
     ['./a.p:6: warning: section "b" is still open at the end of the file (no %ENDSEC)']),
    ("closed", {"a.p": HEAD + "%SECTION front\n" + RULE + "%ENDSEC\n"}, []),
    ("closed on the rule's line", {"a.p": HEAD + "%SECTION front\n" + RULE.strip() + " %ENDSEC\n"}, []),
]


@pytest.mark.parametrize("files, expected", [c[1:] for c in OPEN_SECTION], ids=[c[0] for c in OPEN_SECTION])
def test_open_section(tmp_path, files, expected):
    check_table(tmp_path, files, expected)


RELATIVE = "is a relative path: it is taken as a name, not a file"
RELATIVE_PATH = [
    ("subject", {"a.p": HEAD + 'allow 1000 "usr/bin/a" "/var/www/*" file { read }\n'},
     [f'./a.p:2: warning: subject "usr/bin/a" {RELATIVE}']),
    ("object from a list", {"a.p": HEAD + 'strlist o = "/srv/a", "srv/b"\n' + RULE +
                            'allow 1000 "/usr/bin/app" $o file { read }\n'},
     [f'./a.p:4: warning: object "srv/b" {RELATIVE}']),
    ("package names and absolute paths", {"a.p": HEAD + "allow 1000 editor NULL file { read }\n" + RULE}, []),
]


@pytest.mark.parametrize("files, expected", [c[1:] for c in RELATIVE_PATH], ids=[c[0] for c in RELATIVE_PATH])
def test_relative_path(tmp_path, files, expected):
    check_table(tmp_path, files, expected)


NOT_COMPILED = [
    ("near misses", {"a.p": HEAD + RULE, "50-new.pol": HEAD + RULE, "b.polciy": HEAD + RULE, "c.P": HEAD + RULE},
     ["./50-new.pol: warning: not compiled: its suffix is a near miss of .policy; only .p and .policy are compiled",
      "./b.polciy: warning: not compiled: its suffix is a near miss of .policy; only .p and .policy are compiled",
      "./c.P: warning: not compiled: its suffix is a near miss of .p; only .p and .policy are compiled"]),
    ("other names, a link, a directory", {"a.p": HEAD + RULE, "README": "x", "l.p": ("a.p",), "sub": None,
                                          ".hidden.p": HEAD + RULE, ".swap": "x"},
     ["./.hidden.p: warning: not compiled: names beginning with a dot are skipped",
      "./README: warning: not compiled: only names ending in .p or .policy are compiled",
      "./l.p: warning: not compiled: symbolic links in the policy directory are skipped",
      "./sub: warning: not compiled: directories below the policy directory are not read"]),
    ("all compiled", {"a.p": HEAD + RULE, "b.policy": "string name = db\n" + RULE}, []),
]


@pytest.mark.parametrize("files, expected", [c[1:] for c in NOT_COMPILED], ids=[c[0] for c in NOT_COMPILED])
def test_not_compiled(tmp_path, files, expected):
    check_table(tmp_path, files, expected)


def test_a_file_named_on_the_command_line_is_not_a_directory_entry(tmp_path):
    path = make(tmp_path, {"a.pol": HEAD + RULE}) / "a.pol"
    code, _, stderr = run(path)
    assert (code, warnings(stderr, tmp_path)) == (0, [])


SHARED_SCENE = [
    ("two files", {"a.p": HEAD + RULE, "b.p": "# db\nstring name = web\n" + RULE},
     ['./b.p:2: warning: scene "web" is also declared by ./a.p: the rules and sections of both files form one scene']),
    ("distinct scenes", {"a.p": HEAD + RULE, "b.p": "string name = db\n" + RULE}, []),
]


@pytest.mark.parametrize("files, expected", [c[1:] for c in SHARED_SCENE], ids=[c[0] for c in SHARED_SCENE])
def test_shared_scene(tmp_path, files, expected):
    check_table(tmp_path, files, expected)


REPEATS = "this rule repeats the one on line 2 (same scene, section, settings, operands and permissions): it adds nothing"
REPEATED_RULE = [
    ("word for word", {"a.p": HEAD + RULE + "# again\n" + RULE}, [f"./a.p:4: warning: {REPEATS}"]),
    ("through a list of the same value", {"a.p": HEAD + RULE + 'strlist s = "/usr/bin/app"\n'
                                          'allow 1000 $s "/var/www/*" file { read }\n'},
     ["./a.p:4: warning: " + REPEATS]),
    ("a setting changed between", {"a.p": HEAD + RULE + "int priority = 3\n" + RULE}, []),
    ("in another section", {"a.p": HEAD + RULE + "%SECTION s\n" + RULE + "%ENDSEC\n"}, []),
    ("one more permission", {"a.p": HEAD + RULE + RULE.replace("read", "read, write")}, []),
    ("another condition", {"a.p": HEAD + RULE + RULE.strip() + " if (f(1))\n"}, []),
    # Rules alike at the front: each repeat names the first of its equals.
    ("interleaved", {"a.p": HEAD + "".join(RULE.replace("read", p) for p in
                                           ["read, write", "read, exec", "read, write", "read, exec", "read, write"])},
     [f"./a.p:{line}: warning: " + REPEATS.replace("line 2", f"line {first}") for line, first in
      [(4, 2), (5, 3), (6, 2)]]),
]


@pytest.mark.parametrize("files, expected", [c[1:] for c in REPEATED_RULE], ids=[c[0] for c in REPEATED_RULE])
def test_repeated_rule(tmp_path, files, expected):
    check_table(tmp_path, files, expected)


REPEATED_PERMISSION = [
    ("twice", {"a.p": HEAD + RULE.replace("read", "read, write, read")},
     ['./a.p:2: warning: permission "read" is named more than once in this rule']),
    ("three times, one warning", {"a.p": HEAD + RULE.replace("read", "read, read, read")},
     ['./a.p:2: warning: permission "read" is named more than once in this rule']),
    ("distinct", {"a.p": HEAD + RULE.replace("read", "read, write")}, []),
]


@pytest.mark.parametrize("files, expected", [c[1:] for c in REPEATED_PERMISSION],
                         ids=[c[0] for c in REPEATED_PERMISSION])
def test_repeated_permission(tmp_path, files, expected):
    check_table(tmp_path, files, expected)


def test_strict_and_json(tmp_path):
    where = make(tmp_path, {"a.p": HEAD + "%SECTION front\n" + RULE, "b.txt": "x"})
    code, stdout, stderr = run("--strict", "--json", where)
    assert code == 6
    objects = [json.loads(line) for line in stdout.splitlines()]
    assert [o for o in objects if "warning" in o] == [
        {"warning": "not-compiled", "file": f"{where}/b.txt", "line": None,
         "message": "not compiled: only names ending in .p or .policy are compiled"},
        {"warning": "open-section", "file": f"{where}/a.p", "line": 2,
         "message": 'section "front" is still open at the end of the file (no %ENDSEC)'}]
    assert len([o for o in objects if "warning" not in o]) == 1
    # Errors come first: a file that fails keeps its own status.
    (where / "c.p").write_text("string name = x\nallow 1000 {\n")
    assert run("--strict", where)[0] == 3


@pytest.mark.parametrize("paths", [
    [SOURCE / "examples" / "policy"],
    [CORPUS / "good"],
    sorted((CORPUS / "good").iterdir()),
], ids=["examples", "corpus good", "corpus good, file by file"])
def test_silent_on_good_policy(paths):
    code, _, stderr = run(*paths)
    assert (code, warnings(stderr, "")) == (0, [])


@pytest.mark.skipif(not GENERATOR.exists(), reason="the benchmarks are not built")
@pytest.mark.parametrize("options", [["--files", "20", "--rules", "500"], ["--files", "5", "--rules", "500", "--plain"]],
                         ids=["mixed", "plain"])
def test_silent_on_the_benchmark_set(tmp_path, options):
    subprocess.run([GENERATOR, *options, tmp_path], check=True, capture_output=True)
    code, _, stderr = run(tmp_path)
    assert (code, warnings(stderr, "")) == (0, [])
