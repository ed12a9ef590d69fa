"""The shipped policy-sync library exports its interface and nothing else:
no test-only inspection, no encoder or decoder internals."""

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
