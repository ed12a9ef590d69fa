// The one policy-sync library instance of the process, shared by the
// compiler front end, the file pipeline and the method handlers, and the
// compiler's output protocol.
#ifndef TAVO_POLICY_MANAGER_H
#define TAVO_POLICY_MANAGER_H

#include <cstdint>
#include <string>
#include <vector>

#include <tavopolicysync/policy_module_manager.h>

// Made on first use, destroyed at exit.
PolicyModuleManagerInterface &policyManager();

// One rule of a file as the compiler keeps it: the members its nodes
// share, and the uids and permissions whose every pair, uid by uid, is one
// of its nodes.
struct FileRule {
    PolicyNode shared;
    std::vector<uint32_t> uids;
    std::vector<std::string> permissions;
    // Where the rule stands in its file (its action keyword's line and the
    // line of the brace or parenthesis that ends it); not part of its nodes.
    int firstLine = 0;
    int lastLine = 0;
};

// What the compiler hands over while it works: compile-side facts under
// the library's names and with its results, and each file's rules.
class PolicyOutput {
public:
    virtual ~PolicyOutput() = default;
    virtual int clearAllPolicy() = 0;
    virtual int initNamespaceFuncInfo() = 0;
    // The rules of a file that compiled to policy: the parse state's, not
    // used again once the output has them, so an output may take their
    // members (the library's, which expands them into its records, does).
    virtual void addRules(const std::string &fileName, std::vector<FileRule> &rules) = 0;
    virtual void setNamespaceInfo(std::string nsName) = 0;
    virtual void setNamespaceFuncInfo(std::string nsName, std::string moduleName, std::string funcName) = 0;
    virtual void setUidInfo(std::string userName, uint32_t uid) = 0;
    virtual void setFileToGetLabelMap(const std::string &kind, const std::string &name) = 0;
    virtual void addToKmodVec(std::string name) = 0;
    virtual void addToDeviceVec(std::string name) = 0;
};

// The output that hands everything to policyManager(), expanding each
// rule into the library's records. The library is asked its queries
// (getParentClass, getCapOid) whatever the output.
PolicyOutput &libraryOutput();

#endif
