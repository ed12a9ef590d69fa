// The one policy-sync library instance of the process, shared by the
// compiler front end, the file pipeline and the method handlers, and the
// compiler's output protocol.
#ifndef TAVO_POLICY_MANAGER_H
#define TAVO_POLICY_MANAGER_H

#include <cstdint>
#include <functional>
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
    virtual void setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                                      const std::string &funcName) = 0;
    virtual void setUidInfo(const std::string &userName, uint32_t uid) = 0;
    virtual void setFileToGetLabelMap(const std::string &kind, const std::string &name) = 0;
    virtual void addToKmodVec(std::string name) = 0;
    virtual void addToDeviceVec(std::string name) = 0;
};

// The output that hands everything to policyManager(), expanding each
// rule into the library's records. The library is asked its queries
// (getParentClass, getCapOid) whatever the output.
PolicyOutput &libraryOutput();

// The module's records a file's rules make once expanded (one per node
// and per element its rule holds for it), counted without expanding them.
uint64_t expandedRecords(const std::vector<FileRule> &rules);

// A rule expanded into the library's records takes some 64 bytes a record,
// each node a copy of its rule's lists: a file over this many records is
// not expanded before the run's gate lets it.
constexpr uint64_t largeExpansionRecords = uint64_t{1} << 19;

// For the time it lives, on its thread, the library output asks `allows`
// once, before it expands the first file over largeExpansionRecords,
// whether the run may go on. When the answer is no, the library's policy
// is cleared and no later file of the run reaches the library.
class ExpansionGate {
public:
    explicit ExpansionGate(std::function<bool()> allows);
    ~ExpansionGate();
    ExpansionGate(const ExpansionGate &) = delete;
    ExpansionGate &operator=(const ExpansionGate &) = delete;

    // Whether a file of these rules may go to the library.
    bool admits(const std::vector<FileRule> &rules);

private:
    std::function<bool()> allows_;
    ExpansionGate *previous_;
    bool asked_ = false;
    bool refused_ = false;

    friend bool expansionRefused();
};

// Whether this thread's gate refused its run: the run must end, and what
// the library holds must not be compiled.
bool expansionRefused();

#endif
