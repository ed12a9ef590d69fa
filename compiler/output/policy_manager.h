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

struct ParseState;

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
    // This thread is about to ask the library a query (getParentClass,
    // getCapOid) or to start a run with it: an output that hands calls to
    // the library on another thread lets them all land first.
    virtual void beforeLibraryQuery() {}
};

// An output that wants only the rules: the compile-side facts go nowhere.
class RulesOnlyOutput : public PolicyOutput {
public:
    void setNamespaceInfo(std::string) override {}
    void setNamespaceFuncInfo(const std::string &, const std::string &, const std::string &) override {}
    void setUidInfo(const std::string &, uint32_t) override {}
    void setFileToGetLabelMap(const std::string &, const std::string &) override {}
    void addToKmodVec(std::string) override {}
    void addToDeviceVec(std::string) override {}
};

// The module's records a file's rules make once expanded (one per node
// and per element its rule holds for it), counted without expanding them.
uint64_t expandedRecords(const std::vector<FileRule> &rules);

// A rule expanded into the library's records takes some 64 bytes a record,
// each node a copy of its rule's lists: a file over this many records is
// not expanded before the run's gate lets it.
constexpr uint64_t largeExpansionRecords = uint64_t{1} << 19;

// Whether a run may hand its large files to the library: asked once, before
// the first file over largeExpansionRecords goes to the run's output
// (PolicyDirectoryRun::gate). When the answer is no, the output's policy is
// cleared and the run ends.
class ExpansionGate {
public:
    explicit ExpansionGate(std::function<bool()> allows);
    ExpansionGate(const ExpansionGate &) = delete;
    ExpansionGate &operator=(const ExpansionGate &) = delete;

    // Whether a file of these rules may go to the library.
    bool admits(const std::vector<FileRule> &rules);
    // Whether the gate refused its run: the run must end, and what the
    // library holds must not be compiled.
    bool refused() const { return refused_; }

private:
    std::function<bool()> allows_;
    bool asked_ = false;
    bool refused_ = false;
};

// The output that hands everything to policyManager(), expanding each
// rule into the library's records. The library is asked its queries
// (getParentClass, getCapOid) whatever the output.
class LibraryOutput final : public PolicyOutput {
public:
    // The rules are expanded in the storage of the run's parse state (not
    // owned), to be given before the first file. Without it they are
    // expanded in storage of the output's own, kept from file to file: for
    // an output called on a thread other than the parse's.
    void expandIn(ParseState &state) { expansion_ = &state; }

    int clearAllPolicy() override;
    int initNamespaceFuncInfo() override;
    // The library takes records, one per uid and permission of each rule;
    // they take the rules' members.
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override;
    void setNamespaceInfo(std::string nsName) override;
    void setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                              const std::string &funcName) override;
    void setUidInfo(const std::string &userName, uint32_t uid) override;
    void setFileToGetLabelMap(const std::string &kind, const std::string &name) override;
    void addToKmodVec(std::string name) override;
    void addToDeviceVec(std::string name) override;

private:
    ParseState *expansion_ = nullptr;
    PolicyDb own_;
};

#endif
