// The policy-sync library's manager: compile-side registrations, the policy
// added per file, compilation and delivery to the kernel module.
#ifndef TAVOPOLICYSYNC_POLICY_MODULE_MANAGER_H
#define TAVOPOLICYSYNC_POLICY_MODULE_MANAGER_H

#include <cstdint>
#include <memory>
#include <string>

#include "tavopolicysync/export.h"
#include "tavopolicysync/policy_records.h"

// Each program uses one instance, created on first use and destroyed at exit.
// Strings pass by value; a result of 0 means success.
class TAVOPOLICYSYNC_EXPORT PolicyModuleManagerInterface {
public:
    PolicyModuleManagerInterface();
    ~PolicyModuleManagerInterface();
    PolicyModuleManagerInterface(const PolicyModuleManagerInterface &) = delete;
    PolicyModuleManagerInterface &operator=(const PolicyModuleManagerInterface &) = delete;

    // Drops all added and compiled policy and every registration.
    int clearAllPolicy();
    // Forgets the function registrations (before a section compile).
    int initNamespaceFuncInfo();
    // Readies the library for a run of addPolicy calls; negative on failure.
    int prepareWork();
    // Takes one file's records. The records may be moved out of `db`; the
    // caller clears it afterwards either way.
    int addPolicy(std::string fileName, PolicyDb &db);

    int compileData();
    int compileInitData();
    int compileSectionPolicy(std::string nsName, std::string sectionName);
    int sendPolicy();
    int sendInitPolicy(std::string prefix);
    int modifyDynamicVariable(std::string nsName, std::string varName, uint32_t value, bool flag);

    // Compile-side facts, recorded while a file is parsed.
    void setNamespaceInfo(std::string nsName);
    void setNamespaceFuncInfo(std::string nsName, std::string moduleName, std::string funcName);
    void setUidInfo(std::string userName, uint32_t uid);
    void setFileToGetLabelMap(std::string kind, std::string name);
    void addToKmodVec(std::string name);
    void addToDeviceVec(std::string name);

    // Parent class of an object type ("kmod", "cap", "device", ...);
    // non-zero for a type the library does not know.
    int getParentClass(std::string type, std::string &parent);
    // Identifier of a capability named as in capabilities(7), e.g.
    // "CAP_SYS_ADMIN"; non-zero for an unknown name.
    int getCapOid(std::string name, TAVO_ID &oid);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
    friend struct PolicyModuleManagerAccess;
};

// Checks a mount-point prefix for the init policy; 0 accepts it. The empty
// prefix passes; otherwise `value` must be an absolute path of fewer than
// 4096 bytes, without NUL bytes or ".." components, naming "/" or a
// directory that is a mount point: listed in /proc/self/mountinfo, or,
// where that cannot be read, on another device than its parent. Anything
// else is logged (level 1, with `label` and `value`) and gives EINVAL (22).
TAVOPOLICYSYNC_EXPORT int validate_mount_point(const std::string &value, const std::string &label);

#endif
