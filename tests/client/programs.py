"""The client programs as the tests run them, inside
tests/harness/tavo_sandbox.py: the commands and the probe client (probe.c),
built against an installed tree with the installed header and pkg-config
only."""

import os
import pathlib
import shutil
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "harness"))
import tavo_sandbox  # noqa: E402

LSAN_SUPPRESSIONS = HERE / "lsan-qt-exit.supp"
TIMEOUT = 180


class Result:
    def __init__(self, proc):
        self.code = proc.returncode
        self.stdout = proc.stdout.decode("utf-8", "surrogateescape")
        self.stderr = proc.stderr.decode("utf-8", "surrogateescape")

    def __repr__(self):
        return f"Result({self.code}, {self.stdout!r}, {self.stderr!r})"


def run(argv, user="root", env=None):
    """Runs a program as a user of the sandbox."""
    full_env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "LANG": "C.UTF-8"}
    for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "DBUS_SYSTEM_BUS_ADDRESS"):
        if key in os.environ:
            full_env[key] = os.environ[key]
    if "ASAN_OPTIONS" in full_env:
        full_env["LSAN_OPTIONS"] = f"suppressions={LSAN_SUPPRESSIONS}:print_suppressions=0"
    full_env.update(env or {})
    return Result(subprocess.run(tavo_sandbox.as_user(argv, user), capture_output=True, env=full_env,
                                 timeout=TIMEOUT))


class Probe:
    def __init__(self, build_dir, root):
        """Installs `build_dir` under `root` (made world-readable, so that
        other users can run the probe) and builds the probe there."""
        shutil.rmtree(root, ignore_errors=True)
        subprocess.run(["cmake", "--install", str(build_dir), "--prefix", str(root)], check=True,
                       capture_output=True)
        pcdirs = [str(p.parent) for p in root.rglob("tavointerpreter.pc")]
        env = dict(os.environ, PKG_CONFIG_PATH=":".join(pcdirs))
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "tavointerpreter"], check=True, env=env,
                               capture_output=True, text=True).stdout.split()
        sanitize = ["-fsanitize=address,undefined"] if os.environ.get("TAVO_SANITIZE") in ("1", "ON") else []
        self.binary = root / "probe"
        subprocess.run(["cc", "-Wall", "-Wextra", "-Werror", *sanitize, "-o", str(self.binary),
                        str(HERE / "probe.c"), *flags], check=True)
        for path in [root, *root.rglob("*")]:
            path.chmod(path.stat().st_mode | (0o555 if path.is_dir() else 0o444))
        self.libdir = next(root.rglob("libtavointerpreter.so.1")).parent

    def argv(self, *args):
        return [str(self.binary), *map(str, args)]

    def env(self):
        return {"LD_LIBRARY_PATH": str(self.libdir)}
