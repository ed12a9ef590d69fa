"""Builds the probe client (probe.c) against an installed tree, with the
installed header and pkg-config only, and runs it."""

import os
import pathlib
import shutil
import subprocess

HERE = pathlib.Path(__file__).resolve().parent


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
