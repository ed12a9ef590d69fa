"""The checker's output byte for byte: each case's exit status and the
SHA-256 of its standard output, standard error and written image, against
digests taken from an earlier build (checker_output.sha256). A change that
should leave the output alone (a faster compile) must keep them all.

usage: checker_output.py CHECKER GENERATOR RECORDER SOURCE_DIR [--write]
Runs inside tests/harness/sandbox-run: user names resolve against its user
database, and --in-force reads the sandbox's /run/tavo."""

import hashlib
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
GOLDEN = HERE / "checker_output.sha256"
CHUNK = 1 << 20


# The record's delivery time, the one thing of a report that differs by run.
DELIVERY_TIME = re.compile(rb" at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC|\"time\":\d+")


def run(argv, cwd, image=None, timed=False):
    """Exit status and digests of stdout, stderr (and the image file); a
    timed report's delivery time is left out."""
    if image is not None and image.exists():
        image.unlink()
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=err)
        out = hashlib.sha256()
        if timed:
            out.update(DELIVERY_TIME.sub(b"", proc.stdout.read()))
        while True:
            chunk = proc.stdout.read(CHUNK)
            if not chunk:
                break
            out.update(chunk)
        code = proc.wait()
        err.seek(0)
        fields = [str(code), out.hexdigest(), hashlib.sha256(err.read()).hexdigest()]
    if image is not None:
        fields.append(hashlib.sha256(image.read_bytes()).hexdigest() if image.exists() else "-")
    return " ".join(fields)


def main():
    if len(sys.argv) not in (5, 6) or (len(sys.argv) == 6 and sys.argv[5] != "--write"):
        sys.exit(__doc__)
    checker, generator, recorder, source = sys.argv[1:5]
    write = len(sys.argv) == 6
    source = pathlib.Path(source)
    work = pathlib.Path(tempfile.mkdtemp(prefix="golden-"))
    try:
        for name, options in (("set", []), ("plain", ["--plain"]), ("amplify", ["--amplify", "--files", "2"])):
            subprocess.run([generator] + options + [str(work / name)], check=True, stdout=subprocess.DEVNULL)
        edited = work / "edited"
        shutil.copytree(work / "set", edited)
        with open(edited / "scene42.p", "a") as f:
            f.write('allow root "/usr/bin/extra" "/srv/extra/*" file { read }\n')
        (edited / "scene07.p").unlink()
        image = work / "out.img"
        examples = source / "examples"
        corpus = source / "tests" / "corpus"

        cases = []
        for args in ([], ["--quiet"], ["--json"], ["--quiet", "--json"]):
            cases.append((" ".join(["examples"] + args), args + ["policy"], examples, None))
            cases.append((" ".join(["good"] + args), args + ["good"], corpus, None))
        cases.append(("examples --image", ["--quiet", "--image", str(image), "policy"], examples, image))
        for bad in sorted((corpus / "bad").iterdir()):
            cases.append(("bad/" + bad.name, ["bad/" + bad.name], corpus, None))
            cases.append(("bad/" + bad.name + " --json", ["--json", "bad/" + bad.name], corpus, None))
        cases.append(("good+bad", ["good", "bad/" + sorted((corpus / "bad").iterdir())[0].name, "good/worked_example.p"],
                      corpus, None))
        for name in ("set", "plain", "amplify"):
            cases.append((name, [name], work, None))
            cases.append((name + " --quiet --image", ["--quiet", "--image", str(image), name], work, image))
            cases.append((name + " --json", ["--quiet", "--json", name], work, None))
        cases.append(("two sets", ["--quiet", "plain", "amplify"], work, None))

        results = [(name, run([checker] + args, cwd, img)) for name, args, cwd, img in cases]
        # What is in force: the benchmark set, recorded as the daemon does.
        subprocess.run([recorder, "full", str(work / "set")], check=True)
        for name, args in (("in-force same", ["set"]), ("in-force same --json", ["--json", "set"]),
                           ("in-force edited", ["edited"]), ("in-force edited --json", ["--json", "edited"])):
            results.append((name, run([checker, "--in-force"] + args, work, timed=True)))
    finally:
        shutil.rmtree(work)

    lines = ["%s: %s" % (name, fields) for name, fields in results]
    if write:
        GOLDEN.write_text("".join(line + "\n" for line in lines))
        return 0
    expected = GOLDEN.read_text().splitlines()
    if lines == expected:
        print("%d cases as recorded" % len(lines))
        return 0
    known = dict(line.split(": ", 1) for line in expected)
    for name, fields in results:
        if known.get(name) != fields:
            print("differs: %s: %s (recorded: %s)" % (name, fields, known.get(name)))
    if len(lines) != len(expected):
        print("%d cases, %d recorded" % (len(lines), len(expected)))
    return 1


if __name__ == "__main__":
    sys.exit(main())
