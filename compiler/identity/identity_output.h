// A compiler output that takes the identity of every file's rules on their
// way to another output: the library in the daemon, the image encoder in
// the checker, or nowhere.
#ifndef TAVO_IDENTITY_OUTPUT_H
#define TAVO_IDENTITY_OUTPUT_H

#include <memory>
#include <string>
#include <vector>

#include "policy_identity.h"
#include "policy_manager.h"

class IdentityOutput final : public PolicyOutput {
public:
    // Where the canonical bytes are hashed: on the compiling thread, or on
    // a second one while the compile goes on (a program with a core to
    // spare). They are written from the rules on the compiling thread
    // either way, before the next output has the rules.
    enum class Hashing { Inline, Background };

    // `next` (not owned) receives everything; null: nothing goes further.
    explicit IdentityOutput(PolicyOutput *next = nullptr, Hashing hashing = Hashing::Inline);
    ~IdentityOutput() override;

    // What was taken so far (waits for the second thread).
    const IdentityBuilder &identity();
    // No more files come: the second thread ends (IdentityBuilder::endThread).
    void endFiles();
    // For a hook on the rules.
    IdentityBuilder &builder() { return builder_; }

    // Clearing the policy forgets its identity too.
    int clearAllPolicy() override;
    int initNamespaceFuncInfo() override;
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override;
    void setNamespaceInfo(std::string nsName) override;
    void setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                              const std::string &funcName) override;
    void setUidInfo(const std::string &userName, uint32_t uid) override;
    void setFileToGetLabelMap(const std::string &kind, const std::string &name) override;
    void addToKmodVec(std::string name) override;
    void addToDeviceVec(std::string name) override;
    void beforeLibraryQuery() override;

private:
    PolicyOutput *next_;
    IdentityBuilder builder_;
};

#endif
