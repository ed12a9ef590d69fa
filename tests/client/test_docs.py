"""The manual pages and bash completion that `cmake --install` puts in
place: each page renders without a groff warning, and each completion
offers its command's options."""

import os
import pathlib
import shutil
import subprocess

import pytest

BUILD_DIR = os.environ["TAVO_BUILD_DIR"]
PAGES = ["tavo-policyd.8", "tavo-main-policy-sync.8", "tavo-main-policy-init.8", "tavo-policy-check.8", "tavo-policy.5"]

# command, words typed, completions offered
COMPLETIONS = [
    ("tavo-main-policy-sync", ["--pa"], ["--partial"]),
    ("tavo-main-policy-sync", ["-d", "-V", "t"], ["true"]),
    ("tavo-main-policy-init", ["--"], ["--help", "--prefix"]),
    ("tavo-policy-check", ["--j"], ["--json"]),
    ("tavo-policy-check", ["--i"], ["--image", "--in-force"]),
    ("tavo-policy-check", ["--st"], ["--status"]),
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
