// Temporary: the compile and delivery operations of the policy-sync library
// are being written on another branch. Until they land, these placeholders
// let the daemon link; each one logs that it did nothing and reports
// success. Delete this file when the real operations are merged.
#include "tavopolicysync/log.h"
#include "tavopolicysync/policy_module_manager.h"

namespace {

int pending(const char *op)
{
    writeLog("pending_library_ops.cpp", __LINE__, TAVO_LOG_WARNING, "policysync: %s is not implemented yet", op);
    return 0;
}

} // namespace

int PolicyModuleManagerInterface::compileData()
{
    return pending("compileData");
}

int PolicyModuleManagerInterface::compileInitData()
{
    return pending("compileInitData");
}

int PolicyModuleManagerInterface::compileSectionPolicy(std::string, std::string)
{
    return pending("compileSectionPolicy");
}

int PolicyModuleManagerInterface::sendPolicy()
{
    return pending("sendPolicy");
}

int PolicyModuleManagerInterface::sendInitPolicy(std::string)
{
    return pending("sendInitPolicy");
}

int PolicyModuleManagerInterface::modifyDynamicVariable(std::string, std::string, int, bool)
{
    return pending("modifyDynamicVariable");
}
