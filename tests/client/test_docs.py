"""The manual pages and bash completion that `cmake --install` puts in
place: each page renders without a groff warning, and each completion
offers its command's options."""

import os
import pathlib
import shlex
import shutil
import subprocess

import pytest

BUILD_DIR = os.environ["TAVO_BUILD_DIR"]
PAGES = ["tavo-policyd.8", "tavo-main-policy-sync.8", "tavo-main-policy-init.8", "tavo-policy-check.8", "tavo-policy.5"]

# command, words typed, completions offered
COMPLETIONS = [
    ("tavo-main-policy-sync", ["--pa"], ["--partial"]),
    ("tavo-main-policy-sync", ["-d", "-V", "t"], ["true"]),
    ("tavo-main-policy-init", ["--"], ["--help", "--version", "--prefix"]),
    ("tavo-policy-check", ["--j"], ["--json"]),
    ("tavo-policy-check", ["--i"], ["--image", "--in-force"]),
    ("tavo-policy-check", ["--st"], ["--strict", "--status"]),
]


@pytest.fixture(scope="module")
def installed():
    root = pathlib.Path(os.environ["TMPDIR"]) / "docs-install"
    shutil.rmtree(root, ignore_errors=True)
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(root)], check=True, capture_output=True)
    return root


@pytest.mark.parametrize("page", PAGES)
def test_man_page_renders_without_warnings(installed, page):
    path = installed / "share" / "man" / ("man" + page.rsplit(".", 1)[1]) / page
    proc = subprocess.run(["man", "--warnings", "-l", str(path)], capture_output=True, timeout=60,
                          env={"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", "MANWIDTH": "80", "MANROFFSEQ": ""})
    assert (proc.returncode, proc.stderr.decode()) == (0, "")
    assert page.split(".")[0].upper() in proc.stdout.decode()


@pytest.mark.parametrize("command,words,offered", COMPLETIONS, ids=[" ".join([c[0], *c[1]]) for c in COMPLETIONS])
def test_completion(installed, command, words, offered):
    script = installed / "share" / "bash-completion" / "completions" / command
    function = "_" + command.replace("-", "_")
    line = " ".join([command, *words])
    program = (f'source "{script}"; COMP_WORDS=({line}); COMP_CWORD={len(words)}; {function}; '
               'printf "%s\\n" "${COMPREPLY[@]}"')
    out = subprocess.run(["bash", "-c", program], capture_output=True, text=True, check=True).stdout
    assert out.split() == offered


POLICY_DIR = pathlib.Path("/etc/tavo/policy")
EXAMPLES = pathlib.Path(os.environ["TAVO_SOURCE_DIR"]) / "examples" / "policy"


@pytest.fixture
def examples_installed():
    for example in EXAMPLES.iterdir():
        shutil.copy(example, POLICY_DIR / example.name)
    yield
    for example in EXAMPLES.iterdir():
        (POLICY_DIR / example.name).unlink()


def complete(installed, command, words):
    """What the completion offers for the last of `words` (each one word)."""
    script = installed / "share" / "bash-completion" / "completions" / command
    program = (f'source "{script}"; COMP_WORDS=({" ".join(shlex.quote(w) for w in [command, *words])}); '
               f'COMP_CWORD={len(words)}; _{command.replace("-", "_")}; printf "%s\\n" "${{COMPREPLY[@]}}"')
    out = subprocess.run(["bash", "-c", program], capture_output=True, text=True, check=True).stdout
    return [line for line in out.splitlines() if line]


# The names the policy directory declares (examples/policy).
NAMES = [
    (["-p", "-n", ""], ["capabilities", "fileserver", "kernel", "ssh"]),
    (["-p", "-n", "f"], ["fileserver"]),
    (["-p", "-n", "ssh", "-s", ""], ["config"]),
    (["-p", "-n", "fileserver", "-s", ""], ["backup", "samba"]),
    (["-p", "-s", ""], ["backup", "config", "samba"]),
    (["-d", "-n", "ssh", "-v", ""], ["maintenance"]),
    (["-d", "-n", "kernel", "-v", ""], []),
]


@pytest.mark.parametrize("words,offered", NAMES, ids=[" ".join(n[0]) for n in NAMES])
def test_completion_offers_the_declared_names(installed, examples_installed, words, offered):
    assert complete(installed, "tavo-main-policy-sync", words) == offered


def test_completion_keeps_a_path_with_blanks_whole(installed, tmp_path):
    (tmp_path / "my policy").mkdir()
    assert complete(installed, "tavo-policy-check", [str(tmp_path / "my")]) == [str(tmp_path / "my policy")]


def test_completion_offers_the_names_in_force(installed):
    """From the record, which anyone may read, without the policy files."""
    record = pathlib.Path("/run/tavo/record")
    made = not record.parent.exists()
    record.parent.mkdir(exist_ok=True)
    record.write_text("tavo-policy-record 1\nidentity unknown\n[delivery]\nkind full\n"
                      f"group web.p web front {'0' * 64} 1 1\ngroup web.p web - {'0' * 64} 1 1\n"
                      f"group db.p data%2Dbase - {'0' * 64} 1 1\n[dynamic]\nvariable web guard 1\n")
    try:
        assert complete(installed, "tavo-main-policy-sync", ["-p", "-n", ""]) == ["data-base", "web"]
        assert complete(installed, "tavo-main-policy-sync", ["-p", "-n", "web", "-s", ""]) == ["front"]
        assert complete(installed, "tavo-main-policy-sync", ["-d", "-n", "web", "-v", "g"]) == ["guard"]
    finally:
        record.unlink()
        if made:
            record.parent.rmdir()
