"""cmake --install: the units name the programs where they went, and the
bus and polkit files go where the system's daemons read them, whatever the
prefix."""

import os
import pathlib
import re
import subprocess

import pytest

BUILD = pathlib.Path(os.environ["TAVO_BUILD_DIR"])


def pkg_var(module, var):
    return subprocess.run(["pkg-config", f"--variable={var}", module], capture_output=True, text=True,
                          check=True).stdout.strip()


# prefix, whether the system's daemons read the files where they go
PREFIXES = [("/usr", True), ("/usr/local", True), ("/opt/tavo", False)]


@pytest.mark.parametrize("prefix,system", PREFIXES)
def test_install_prefix(tmp_path, prefix, system):
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", prefix], check=True, capture_output=True,
                   env=dict(os.environ, DESTDIR=str(tmp_path)))

    def root(path):
        if not system:
            path = path.replace("/usr/share/", f"{prefix}/share/").replace("/lib/systemd/", f"{prefix}/lib/systemd/")
        return tmp_path / path.lstrip("/")

    units = root(pkg_var("systemd", "systemdsystemunitdir"))
    for unit, program in (("tavo-policyd.service", "sbin/tavo-policyd"),
                          ("tavo-policy-init.service", "sbin/tavo-main-policy-init"),
                          ("tavo-policy-status.service", "bin/tavo-policy-check")):
        exec_start = re.search(r"^ExecStart=(\S+)", (units / unit).read_text(), re.M).group(1)
        assert exec_start == f"{prefix}/{program}"
        assert root(exec_start).is_file()
    assert (units / "tavo-policy-status.path").is_file() and (units / "tavo-policy-status.timer").is_file()
    polkit = pathlib.Path(pkg_var("polkit-gobject-1", "policydir"))
    for path in (pathlib.Path(pkg_var("dbus-1", "datadir")) / "dbus-1/system.d/com.norda.zupolicy.conf",
                 pathlib.Path(pkg_var("dbus-1", "system_bus_services_dir")) / "com.norda.zupolicy.service",
                 polkit / "com.norda.zupolicy.policy",
                 polkit.parent / "rules.d/50-tavo-policyd.rules"):
        assert root(str(path)).is_file(), path
    outside = {p.parts[len(tmp_path.parts)] for p in tmp_path.rglob("*") if p.is_file()}
    assert outside == ({"usr", "lib"} if system else {prefix.split("/")[1]})
