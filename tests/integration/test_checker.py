"""tavo-policy-check from the command line: exit statuses, log lines,
the JSON Lines it prints and the files it selects.

Runs inside tests/harness/sandbox-run, whose /etc is a private copy (with
the users root=0 and alice=1001) and whose TMPDIR is a private folder.
"""

import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess

import pytest

if os.environ.get("TAVO_SANDBOX") != "1" or "TAVO_POLICY_CHECK" not in os.environ:
    pytest.skip("runs only inside tests/harness/sandbox-run (see ctest test 'checker')",
                allow_module_level=True)

CHECK = os.environ["TAVO_POLICY_CHECK"]
CORPUS = pathlib.Path(os.environ["TAVO_CORPUS_DIR"])
WORKED_EXAMPLE = CORPUS / "good" / "worked_example.p"
POLICY_DIR = pathlib.Path("/etc/tavo/policy")
PREFIX = "tavo-policy-check: "

FIELDS = ["file", "action", "uid", "subjectById", "sids", "subjectNames", "objectById", "oids",
          "objectNames", "objectType", "permission", "conditions", "actions", "flags", "priority",
          "namespaceName", "sectionName", "moduleName"]

GOOD = b'string name = web\nallow 1000 "/usr/bin/app" "/var/www/*" file { read, write }\n'
SYNTAX_ERROR = b'string name = web\nallow 1000 "/usr/bin/app" "/var/www/*" file { read,\n'


class Result:
    def __init__(self, proc):
        self.code = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr.decode("utf-8", "surrogateescape")

    @property
    def log(self):
        return self.stderr.splitlines()

    @property
    def nodes(self):
        # Warnings are objects of their own, beside the nodes.
        objects = [json.loads(line) for line in self.stdout.decode("utf-8").splitlines()]
        return [o for o in objects if "warning" not in o]


def check(*args, cwd=None):
    # A blocking open would hit the timeout and fail the test.
    proc = subprocess.run([CHECK, *[os.fsencode(a) for a in args]], capture_output=True,
                          cwd=cwd, timeout=60)
    return Result(proc)


def write(path, content):
    path.write_bytes(content)
    return path


@pytest.fixture
def policy_dir():
    """The sandbox's private /etc/tavo/policy, emptied around the test."""
    def empty():
        for entry in POLICY_DIR.iterdir():
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                entry.unlink()
    empty()
    yield POLICY_DIR
    empty()


def only_skipped_names(tmp):
    for name in ("a.P", "a.policy.bak", "policy", ".hidden.p", "a..p"):
        write(tmp / name, GOOD)
    return [tmp]


def fifo(tmp):
    os.mkfifo(tmp / "x.p")
    return [tmp / "x.p"]


@pytest.mark.parametrize("make_args, code", [
    pytest.param(lambda tmp: [WORKED_EXAMPLE], 0, id="good file"),
    pytest.param(lambda tmp: [write(tmp / "a.p", b"")], 0, id="empty file"),
    pytest.param(lambda tmp: [write(tmp / "any-name.txt", GOOD)], 0, id="file of any name"),
    pytest.param(lambda tmp: [write(tmp / "a.p", SYNTAX_ERROR)], 3, id="syntax error"),
    pytest.param(lambda tmp: [write(tmp / "a.p", GOOD + b"\0")], 3, id="NUL byte"),
    pytest.param(lambda tmp: [tmp / "missing.p"], 255, id="missing file"),
    pytest.param(fifo, 255, id="fifo"),
    pytest.param(lambda tmp: [tmp], 1, id="empty directory"),
    pytest.param(only_skipped_names, 1, id="only skipped names"),
])
def test_exit_status(tmp_path, make_args, code):
    result = check(*make_args(tmp_path))
    assert result.code == code, result.stderr
    assert result.stdout == b""


@pytest.mark.parametrize("option", ["-h", "--help"])
def test_help(option):
    result = check(option, str(WORKED_EXAMPLE))
    assert (result.code, result.stderr) == (0, "")
    assert "Usage: tavo-policy-check [--json] [--quiet] [--strict] [--image FILE] [PATH ...]" in result.stdout.decode()


def test_version():
    result = check("--version")
    assert (result.code, result.stderr) == (0, "")
    assert re.fullmatch(rb"tavo-policy-check \d+\.\d+\.\d+\n", result.stdout)


TRY_HELP = "Try 'tavo-policy-check --help' for more information."


# Each usage error: one line naming what is wrong, then where help is.
@pytest.mark.parametrize("args, first_line", [
    (["--bogus"], "unrecognized option '--bogus'"),
    (["-x"], "invalid option -- 'x'"),
    (["--status", "--prometheus", "--json"], "--json and --prometheus cannot be combined"),
    (["--prometheus"], "--prometheus goes with --status only"),
    (["--output", "x"], "--output goes with --status only"),
    (["--in-force", "--image", "x"], "--in-force does not take --image"),
    (["--in-force", "--status"], "--in-force and --status cannot be combined"),
    (["--status", "--strict"], "--status does not take --strict"),
    (["--status", "/tmp"], "--status takes no PATH: it reads the policy directory and the record"),
], ids=lambda a: " ".join(a) if isinstance(a, list) else "")
def test_usage_error(args, first_line):
    result = check(*args)
    # getopt names the program as it was called.
    assert (result.code, result.stdout, len(result.log)) == (64, b"", 2)
    assert result.log[0].endswith("tavo-policy-check: " + first_line)
    assert result.log[1] == TRY_HELP


def corpus(folder):
    return sorted((CORPUS / folder).iterdir())


@pytest.mark.parametrize("path, code",
                         [(p, 0) for p in corpus("good")] + [(p, 3) for p in corpus("bad")],
                         ids=lambda v: v.parent.name + "/" + v.name if isinstance(v, pathlib.Path) else None)
def test_corpus(path, code):
    result = check(path)
    assert result.code == code, result.stderr


def test_worked_example_as_json():
    # Relative, so that "file" shows the path exactly as given.
    result = check("--json", "good/worked_example.p", cwd=CORPUS)
    assert result.code == 0, result.stderr
    nodes = result.nodes
    assert len(nodes) == 4
    for node in nodes:
        assert list(node) == FIELDS
    assert [n["uid"] for n in nodes] == [0, 0, 1001, 1001]
    assert [n["permission"] for n in nodes] == ["read", "search", "read", "search"]
    for node in nodes:
        assert node["file"] == "good/worked_example.p"
        assert node["action"] == 1
        assert (node["subjectById"], node["sids"], node["subjectNames"]) == (False, [], ["/usr/sbin/sshd"])
        assert (node["objectById"], node["oids"], node["objectNames"]) == (False, [], ["/home/*/.ssh"])
        assert node["objectType"] == "dir"
        assert node["conditions"] == [
            {"type": 12, "name": "", "value": 1, "varName": "guard", "params": []},
            {"type": 4, "name": "checkTime", "value": 0, "varName": "",
             "params": [{"type": 3, "number": 0, "text": "08:00"},
                        {"type": 2, "number": 18, "text": ""}]},
            {"type": 2, "name": "", "value": 0, "varName": "", "params": []},
        ]
        assert node["actions"] == [{"name": "notify", "params": [{"type": 2, "number": 1, "text": ""}]}]
        assert (node["flags"], node["priority"]) == (0, 0)
        assert (node["namespaceName"], node["sectionName"], node["moduleName"]) == \
            ("fileserver", "ssh", "fileserver")


def test_default_path_is_the_policy_directory(policy_dir):
    result = check("--quiet")
    assert result.code == 1
    assert result.log == [PREFIX + "##ERROR: 不存在.p或.policy结尾的策略文件，策略将不会下发"]

    shutil.copy(WORKED_EXAMPLE, policy_dir / "b.p")
    write(policy_dir / "a.policy", GOOD)
    result = check("--json")
    assert result.code == 0, result.stderr
    assert [n["file"] for n in result.nodes] == ["a.policy"] * 2 + ["b.p"] * 4


def test_paths_are_checked_in_argument_order(tmp_path):
    late = write(tmp_path / "z.p", GOOD)
    missing = tmp_path / "missing.p"
    bad = write(tmp_path / "bad.p", SYNTAX_ERROR)
    early = write(tmp_path / "a.p", GOOD)
    result = check("--json", late, missing, bad, early)
    # The first failure decides the status; later paths are still checked.
    assert result.code == 255
    assert [n["file"] for n in result.nodes] == [str(late)] * 2 + [str(early)] * 2
    assert PREFIX + f"无法解析文件 {missing}: No such file or directory" in result.log
    assert PREFIX + f"###ERROR: 策略文件{bad}解析失败" in result.log


@pytest.mark.parametrize("layout, code", [
    pytest.param({"a.p": None, "b.p": SYNTAX_ERROR, "c.p": GOOD}, 255, id="directory first"),
    pytest.param({"a.p": SYNTAX_ERROR, "b.p": None, "c.p": GOOD}, 3, id="syntax error first"),
])
def test_directory_reports_every_failing_file(tmp_path, layout, code):
    for name, content in layout.items():
        if content is None:
            (tmp_path / name).mkdir()
        else:
            write(tmp_path / name, content)
    result = check("--json", tmp_path)
    assert result.code == code
    codes = {name: ("-1" if content is None else "3") for name, content in layout.items() if content != GOOD}
    for name, failure in codes.items():
        assert PREFIX + f"##ERROR: 处理策略文件 {name} 失败，错误码 {failure}" in result.log
    assert [n["file"] for n in result.nodes] == ["c.p", "c.p"]


@pytest.mark.parametrize("quiet", [False, True], ids=["verbose", "quiet"])
def test_quiet_keeps_only_errors_and_warnings(tmp_path, quiet):
    write(tmp_path / "a.p", b"")
    write(tmp_path / "b.p", SYNTAX_ERROR)
    result = check(*(["--quiet"] if quiet else []), tmp_path)
    assert result.code == 3
    detail = [
        "###INFO: 读取配置文件a.p成功",
        "####WARN: 文件a.p为空",
        "###WARN: 文件a.p中有效策略数为0",
        "###INFO: 文件a.p处理完成",
        "##INFO: 处理策略文件 a.p 成功",
        "###INFO: 读取配置文件b.p成功",
        "####ERROR: syntax error at symbol '' on line 3",
        "####ERROR: 文件b.p中存在编译错误",
        "###ERROR: 策略文件b.p解析失败",
        "###INFO: 文件b.p处理完成",
        "##ERROR: 处理策略文件 b.p 失败，错误码 3",
    ]
    expected = [m for m in detail if not (quiet and "INFO" in m)]
    assert result.log == [PREFIX + m for m in expected]


def test_bytes_that_are_not_utf8_survive_the_json(tmp_path):
    name = b"caf\xe9.p"
    subject = b"/opt/\xff\xfeapp"
    obj = b"/srv/\xc0\xaf\xed\xa0\x80/caf\xc3\xa9"
    directory = tmp_path / "policy"
    directory.mkdir()
    write(directory / os.fsdecode(name),
          b'string name = web\nallow 0 "' + subject + b'" "' + obj + b'" file { read }\n')

    result = check("--json", directory)
    assert result.code == 0, result.stderr
    # Valid text stays as it is; the output is always valid UTF-8.
    assert b"caf\xc3\xa9" in result.stdout
    assert b"\\udcff\\udcfe" in result.stdout
    [node] = result.nodes
    restore = lambda text: text.encode("utf-8", "surrogateescape")
    assert restore(node["file"]) == name
    assert [restore(s) for s in node["subjectNames"]] == [subject]
    assert [restore(o) for o in node["objectNames"]] == [obj]


def test_64_bit_numbers_are_exact(tmp_path):
    path = write(tmp_path / "big.p",
                 b"string name = big\n"
                 b'allow * * "/srv/x" file { read } if (f(18446744073709551615, 0x8000000000000001)) '
                 b"do { g(9007199254740993) }\n")
    result = check("--json", path)
    assert result.code == 0, result.stderr
    [node] = result.nodes
    assert node["uid"] == 2**32 - 1
    assert node["sids"] == [[2**64 - 1, 0, 0]]
    assert [p["number"] for p in node["conditions"][0]["params"]] == [2**64 - 1, 2**63 + 1]
    # 2**53 + 1 has no exact double: written as integer digits, not a float.
    assert node["actions"][0]["params"][0]["number"] == 2**53 + 1
    assert b'"number":9007199254740993' in result.stdout


LIMIT = 256 * 1024 * 1024


@pytest.mark.parametrize("size, code, message", [
    # Within the limit the whole file is read: it is all NUL bytes.
    pytest.param(LIMIT - 1, 3, "####ERROR: 文件a.p第1行含有NUL字节，拒绝编译", id="N-1"),
    pytest.param(LIMIT, 3, "####ERROR: 文件a.p第1行含有NUL字节，拒绝编译", id="N"),
    pytest.param(LIMIT + 1, 255, None, id="N+1"),
    pytest.param(2**31, 255, None, id="2GiB"),
    pytest.param(2**32 - 1, 255, None, id="4GiB-1"),
    pytest.param(2**32 + 5, 255, None, id="4GiB+5"),
    pytest.param(2**40, 255, None, id="1TiB-sparse"),
])
def test_file_size_limit(tmp_path, size, code, message):
    hostile = tmp_path / "a.p"
    with open(hostile, "wb") as f:
        f.truncate(size)
    write(tmp_path / "b.p", GOOD)
    result = check("--json", tmp_path)
    assert result.code == code, result.stderr
    failure = "-1" if code == 255 else "3"
    assert PREFIX + (message or "###ERROR: 文件a.p大小超过上限268435456字节，拒绝读取") in result.log
    assert PREFIX + f"##ERROR: 处理策略文件 a.p 失败，错误码 {failure}" in result.log
    # The file after it is still checked.
    assert [n["file"] for n in result.nodes] == ["b.p", "b.p"]


def test_file_name_cannot_forge_a_log_line(tmp_path):
    name = "x\n##INFO: 处理策略文件 fake.p 成功\x1b[2K\r.p"
    write(tmp_path / name, GOOD)
    result = check(tmp_path)
    assert result.code == 0, result.stderr
    # Every line is one of ours; the last two are the digests.
    assert all(line.startswith(PREFIX) for line in result.log[:-2])
    assert result.log[-2].startswith("identity ") and result.log[-1].startswith("stand-in image sha256 ")
    assert PREFIX + "##INFO: 处理策略文件 x\\x0a##INFO: 处理策略文件 fake.p 成功\\x1b[2K\\x0d.p 成功" in result.log
    assert "\x1b" not in result.stderr and "\r" not in result.stderr


IMAGE_MAGIC = b"TAVO"
DIGEST_FROM = 40


IMAGE_DIGEST = "stand-in image sha256 "


def digest_line(result):
    last = result.log[-1]
    assert last.startswith(IMAGE_DIGEST), result.stderr
    return last[len(IMAGE_DIGEST):]


@pytest.mark.parametrize("quiet", [False, True], ids=["verbose", "quiet"])
def test_digest_is_the_last_line_and_names_the_image_written(tmp_path, quiet):
    image = tmp_path / "out" / "policy.bin"
    image.parent.mkdir()
    write(image, b"an older image")
    result = check(*(["--quiet"] if quiet else []), "--image", image, WORKED_EXAMPLE)
    assert result.code == 0, result.stderr
    digest = digest_line(result)
    data = image.read_bytes()
    assert data[:4] == IMAGE_MAGIC
    assert data[8:40].hex() == digest
    assert hashlib.sha256(data[DIGEST_FROM:]).hexdigest() == digest
    # Nothing but the image is left in its directory.
    assert [p.name for p in image.parent.iterdir()] == ["policy.bin"]
    if quiet:
        assert len(result.log) == 2 and result.log[0].startswith("identity ")


def test_digest_is_stable_and_follows_the_policy(tmp_path):
    write(tmp_path / "a.p", GOOD)
    first, again = check("--quiet", tmp_path), check("--quiet", tmp_path)
    # The file is recorded under its base name, however it is named.
    named = check("--quiet", tmp_path / "a.p")
    relative = check("--quiet", "a.p", cwd=tmp_path)
    write(tmp_path / "a.p", GOOD.replace(b"write", b"append"))
    changed = check("--quiet", tmp_path)
    assert digest_line(first) == digest_line(again) == digest_line(named) == digest_line(relative)
    assert digest_line(first) != digest_line(changed)


def test_image_that_cannot_be_written_fails_without_a_digest(tmp_path):
    result = check("--quiet", "--image", tmp_path / "missing" / "policy.bin", WORKED_EXAMPLE)
    assert result.code == 74
    assert "cannot write" in result.stderr
    assert not any(line.startswith(("identity ", IMAGE_DIGEST)) for line in result.log)


# --- the policy identity, as docs/policy-identity.md writes it down ----------

def _u32(n):
    return n.to_bytes(4, "little")


def _text(s):
    data = s.encode("utf-8", "surrogateescape")
    return _u32(len(data)) + data


def _list(items, put):
    return _u32(len(items)) + b"".join(put(i) for i in items)


def _param(p):
    return p["number"].to_bytes(8, "little") + _text(p["text"]) + _u32(p["type"])


def _rule(n, uids, permissions):
    ident = lambda i: b"".join(w.to_bytes(8, "little") for w in i)
    condition = lambda c: (_u32(c["type"]) + _text(c["name"]) + _u32(c["value"]) + _text(c["varName"])
                           + _list(c["params"], _param))
    call = lambda a: _text(a["name"]) + _list(a["params"], _param)
    return (_u32(n["action"]) + bytes([n["subjectById"]]) + _list(n["sids"], ident)
            + _list(n["subjectNames"], _text) + bytes([n["objectById"]]) + _list(n["oids"], ident)
            + _list(n["objectNames"], _text) + _text(n["objectType"]) + _list(n["conditions"], condition)
            + _list(n["actions"], call) + _u32(n["flags"]) + _u32(0) + _u32(n["priority"]) + _u32(0) * 3
            + _text(n["namespaceName"]) + _text(n["sectionName"]) + _text(n["moduleName"])
            + _list(uids, _u32) + _list(permissions, _text))


def documented_identity(nodes):
    """The identity from the checker's JSON nodes: consecutive nodes that
    differ only in uid and permission are one rule's, uid-major."""
    own = ("file", "uid", "permission")
    rules = []
    for n in nodes:
        shared = {k: v for k, v in n.items() if k not in own}
        if rules and rules[-1][0] == shared and rules[-1][3] == n["file"]:
            rules[-1][1].append(n["uid"])
            rules[-1][2].append(n["permission"])
        else:
            rules.append((shared, [n["uid"]], [n["permission"]], n["file"]))
    groups = {}
    for shared, uids, perms, file in rules:
        # Back from the uid-major pairs to the rule's uids and permissions.
        distinct = list(dict.fromkeys(uids))
        permissions = perms[:len(perms) // len(distinct)]
        assert [(u, p) for u in distinct for p in permissions] == list(zip(uids, perms))
        key = (os.path.basename(file).encode("utf-8", "surrogateescape"),
               shared["namespaceName"].encode("utf-8", "surrogateescape"),
               shared["sectionName"].encode("utf-8", "surrogateescape"))
        groups.setdefault(key, hashlib.sha256()).update(_rule(shared, distinct, permissions))
    body = b"tavo-policy-identity\n" + _u32(1) + _u32(len(groups))
    for key, digest in sorted((k, g.digest()) for k, g in groups.items()):
        body += b"".join(_u32(len(part)) + part for part in key) + digest
    return hashlib.sha256(body).hexdigest()


@pytest.mark.parametrize("paths", [[CORPUS.parent.parent / "examples" / "policy"], corpus("good")],
                         ids=["examples", "good corpus"])
def test_identity_follows_its_documented_canonical_form(paths):
    result = check("--quiet", "--json", *paths)
    assert result.code == 0, result.stderr
    [identity] = [line.split()[1] for line in result.log if line.startswith("identity ")]
    assert documented_identity(result.nodes) == identity


# --- a file edited while the run goes on ----------------------------------------

@pytest.mark.parametrize("edited", ["a.p", "b.p"])
def test_file_changed_before_the_run_ended_fails_it_and_leaves_no_image(tmp_path, edited):
    # The image is made on a second core while every file is read again:
    # a file found changed then fails the run all the same.
    policy = tmp_path / "policy"
    policy.mkdir()
    write(policy / "a.p", GOOD)
    write(policy / "b.p", GOOD.replace(b"name = web", b"name = api"))
    image = tmp_path / "policy.bin"
    asan = [o for o in [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"] if o]
    env = dict(os.environ, LD_PRELOAD=os.environ["TAVO_EDIT_AFTER_READ_LIBRARY"],
               TAVO_EDIT_AFTER_READ=str((policy / edited).resolve()), TAVO_EDIT_BYTES="# ",
               ASAN_OPTIONS=":".join(asan))
    result = Result(subprocess.run([CHECK, "--quiet", "--image", image, policy], env=env, capture_output=True,
                                   timeout=60))
    assert (policy / edited).read_bytes().startswith(b"# "), "the file was never edited"
    assert result.code == 255
    assert result.log == [PREFIX + "###ERROR: 文件%s在读取过程中被修改，拒绝编译" % edited,
                          PREFIX + "##ERROR: 处理策略文件 %s 失败，错误码 -1" % edited]
    assert not image.exists()
