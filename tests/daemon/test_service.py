"""The service as a whole: its interface, many callers at once, memory over
many calls, and a clean stop."""

import os
import signal
import subprocess
import xml.etree.ElementTree as ET

import dbus
import pytest

from conftest import GOOD_POLICY, write_policy

INTERFACE = "com.norda.zupolicy.policymgr"
EXPECTED_METHODS = {
    "compilePolicy": [(None, "i", "out")],
    "compileInitPolicy": [(None, "i", "out")],
    "compileSectionPolicy": [(None, "i", "out"), ("ns_name", "s", "in"), ("sec_name", "s", "in")],
    "sendPolicy": [(None, "i", "out")],
    "modifyDynamicVariable": [(None, "i", "out"), ("ns_name", "s", "in"), ("var_name", "s", "in"),
                              ("var_value", "i", "in")],
}


def policymgr():
    bus = dbus.SystemBus(private=True)
    return bus, dbus.Interface(bus.get_object("com.norda.zupolicy", "/policymgr"), INTERFACE)


def test_introspection_shows_exactly_the_five_methods(daemon):
    bus, _ = policymgr()
    xml = bus.get_object("com.norda.zupolicy", "/policymgr").Introspect(
        dbus_interface="org.freedesktop.DBus.Introspectable")
    bus.close()
    interfaces = {i.get("name"): i for i in ET.fromstring(xml).findall("interface")}
    ours = interfaces[INTERFACE]
    methods = {m.get("name"): sorted([(a.get("name"), a.get("type"), a.get("direction")) for a in m.findall("arg")],
                                     key=lambda a: (a[0] or "", a[2]))
               for m in ours.findall("method")}
    assert methods == {k: sorted(v, key=lambda a: (a[0] or "", a[2])) for k, v in EXPECTED_METHODS.items()}
    assert [m.get("name") for m in ours.findall("method")] == list(EXPECTED_METHODS)
    assert ours.findall("signal") == [] and ours.findall("property") == []


def test_fifty_callers_at_once_all_get_their_answers(call, daemon):
    write_policy("a.p", GOOD_POLICY)
    assert call.code("compilePolicy") == 0
    daemon.log.mark()
    callers = [subprocess.Popen(call.argv("sendPolicy"), stdout=subprocess.PIPE, text=True) for _ in range(50)]
    replies = [c.communicate(timeout=300)[0].strip() for c in callers]
    assert replies == ["reply 0"] * 50
    passes = [m for _, m in daemon.log.lines() if m.startswith("AUDIT PASS: method=sendPolicy")]
    assert len(passes) == 50 and len(set(passes)) == 50


LOG_DAEMON, LOG_AUTHPRIV = 3, 10


def test_daemon_facility_and_audit_lines_to_authpriv(call, daemon):
    write_policy("a.p", GOOD_POLICY)
    daemon.log.mark()
    assert call.code("compilePolicy") == 0
    facilities = {(r["message"].startswith("AUDIT"), r["priority"] >> 3) for r in daemon.log.records()}
    assert facilities == {(True, LOG_AUTHPRIV), (False, LOG_DAEMON)}


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


@pytest.mark.skipif(os.environ.get("TAVO_SANITIZE") == "ON",
                    reason="AddressSanitizer's quarantine keeps freed memory resident by design")
def test_memory_stays_flat_over_two_thousand_calls(daemon):
    write_policy("a.p", GOOD_POLICY)
    bus, mgr = policymgr()
    try:
        calls = [mgr.compilePolicy, mgr.sendPolicy]
        for i in range(200):
            calls[i % 2]()
        warm = rss_kib(daemon.daemon.pid)
        for i in range(2000):
            assert calls[i % 2]() in (0, 71)
        after = rss_kib(daemon.daemon.pid)
    finally:
        bus.close()
    assert after - warm < 1024, f"RSS grew from {warm} KiB to {after} KiB"


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_stop_signal_ends_the_daemon_cleanly(daemon, sig):
    proc = daemon.daemon
    proc.send_signal(sig)
    assert proc.wait(60) == 0
    daemon.daemon = None
    assert [line for line in daemon.log.lines() if line[0] <= 2] == []
    daemon.start_daemon()


def test_without_a_system_bus_the_daemon_exits_with_1(daemon):
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/run/dbus/no-such-socket")
    assert subprocess.run([str(daemon.daemon_exe)], env=env, capture_output=True, timeout=120).returncode == 1
    assert [line for line in daemon.log.lines() if line[0] != 4] == [
        (3, "Start tavo policy daemon"), (1, "Failed to connect to D-Bus system bus"),
        (1, "Can not connect to system bus, exiting ...")]
