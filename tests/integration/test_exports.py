"""The shipped policy-sync library exports its interface and nothing else:
no test-only inspection, no encoder or decoder internals; and no shipped
binary carries test code."""

import os
import re
import subprocess

import pytest

LIBRARY = os.environ.get("TAVO_POLICYSYNC_LIBRARY")
if not LIBRARY:
    pytest.skip("needs TAVO_POLICYSYNC_LIBRARY (see ctest test 'checker')", allow_module_level=True)

C_FUNCTIONS = {"writeLog", "enableDebugLog", "setLogToStderr", "setLogSink"}
MANAGER_METHODS = {
    "PolicyModuleManagerInterface", "~PolicyModuleManagerInterface", "clearAllPolicy", "initNamespaceFuncInfo",
    "prepareWork", "addPolicy", "compileData", "compileInitData", "compileSectionPolicy", "sendPolicy",
    "sendInitPolicy", "modifyDynamicVariable", "setNamespaceInfo", "setNamespaceFuncInfo", "setUidInfo",
    "setFileToGetLabelMap", "addToKmodVec", "addToDeviceVec", "getParentClass", "getCapOid",
}


def allowed(symbol):
    if symbol in C_FUNCTIONS or symbol == "PolicyDb::clear()" or symbol.startswith("validate_mount_point("):
        return True
    match = re.fullmatch(r"PolicyModuleManagerInterface::([~\w]+)\(.*\)", symbol)
    return bool(match) and match.group(1) in MANAGER_METHODS


def test_only_the_interface_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", "-C", LIBRARY], capture_output=True, text=True,
                         check=True).stdout
    symbols = [line.split(" ", 2)[2] for line in out.splitlines() if line.strip()]
    assert "writeLog" in symbols and "PolicyModuleManagerInterface::compileData()" in symbols
    assert [s for s in symbols if not allowed(s)] == []


# The journal of the testing library build, and test-only setters.
TESTING_SYMBOL = re.compile(r"[Jj]ournal|PolicySyncCall|policySyncImpl|ForTesting")
SHIPPED = ["TAVO_POLICYSYNC_LIBRARY", "TAVO_INTERPRETER_LIBRARY", "TAVO_DAEMON", "TAVO_POLICY_CHECK"]


@pytest.mark.parametrize("variable", SHIPPED)
def test_no_testing_symbol_is_shipped(variable):
    out = subprocess.run(["nm", "-C", os.environ[variable]], capture_output=True, text=True, check=True).stdout
    assert "writeLog" in out
    assert [line for line in out.splitlines() if TESTING_SYMBOL.search(line)] == []
