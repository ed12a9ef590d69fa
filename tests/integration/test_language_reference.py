"""tavo-policy(5): every example in the page compiles, and every line of it
is a line of one policy file that the tests compile, so the page cannot
drift from the language."""

import os
import pathlib
import re
import subprocess

import pytest

if os.environ.get("TAVO_SANDBOX") != "1" or "TAVO_POLICY_CHECK" not in os.environ:
    pytest.skip("runs only inside tests/harness/sandbox-run (see ctest test 'checker')",
                allow_module_level=True)

CHECK = os.environ["TAVO_POLICY_CHECK"]
SOURCE = pathlib.Path(__file__).resolve().parents[2]
PAGE = SOURCE / "docs" / "man" / "tavo-policy.5"
COMPILED = sorted((SOURCE / "examples" / "policy").iterdir()) + sorted(
    (pathlib.Path(os.environ["TAVO_CORPUS_DIR"]) / "good").iterdir())

ROFF_ESCAPES = [("\\e", "\\"), ("\\&", ""), ("\\-", "-"), ("\\(aq", "'")]


def examples():
    found = re.findall(r"^\.EX\n(.*?)^\.EE$", PAGE.read_text(), flags=re.M | re.S)
    texts = []
    for block in found:
        for escape, char in ROFF_ESCAPES:
            block = block.replace(escape, char)
        texts.append(block)
    return texts


EXAMPLES = examples()


def test_the_page_has_an_example_per_topic():
    assert len(EXAMPLES) >= 10


@pytest.mark.parametrize("text", EXAMPLES, ids=[t.splitlines()[-1][:40] for t in EXAMPLES])
def test_example_is_taken_from_a_compiled_file(text):
    wanted = set(text.splitlines())
    sources = [f.name for f in COMPILED if wanted <= set(f.read_text().splitlines())]
    assert sources, "no file of examples/policy or tests/corpus/good holds every line"


@pytest.mark.parametrize("text", EXAMPLES, ids=[t.splitlines()[-1][:40] for t in EXAMPLES])
def test_example_compiles(tmp_path, text):
    path = tmp_path / "example.p"
    path.write_text(text)
    proc = subprocess.run([CHECK, "--quiet", str(path)], capture_output=True, text=True, timeout=60)
    assert (proc.returncode, [l for l in proc.stderr.splitlines() if "warning" in l or "ERROR" in l]) == (0, [])
