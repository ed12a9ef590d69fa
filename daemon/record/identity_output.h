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
    // How the identity is taken: on the compiling thread, or on a second
    // thread while the next file compiles (a program with a core to spare:
    // the checker). The second thread takes the file's rules from the parse
    // state once the next output has them, so that output must leave them
    // whole (the image encoder does; the library, which takes their
    // members, does not).
    enum class Hashing { Inline, Background };

    // `next` (not owned) receives everything; null: nothing goes further.
    explicit IdentityOutput(PolicyOutput *next = nullptr, Hashing hashing = Hashing::Inline);
    ~IdentityOutput() override;

    // What was taken so far (waits for the second thread).
    const IdentityBuilder &identity();
    // No more files come: the second thread ends (and what the crypto
    // library keeps for it goes with it, before the process's exit cleans
    // the library up).
    void endFiles();
    // For a hook on the rules; only with inline hashing.
    IdentityBuilder &builder() { return builder_; }

    // Clearing the policy forgets its identity too.
    int clearAllPolicy() override;
    int initNamespaceFuncInfo() override;
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override;
    void setNamespaceInfo(std::string nsName) override;
    void setNamespaceFuncInfo(std::string nsName, std::string moduleName, std::string funcName) override;
    void setUidInfo(std::string userName, uint32_t uid) override;
    void setFileToGetLabelMap(const std::string &kind, const std::string &name) override;
    void addToKmodVec(std::string name) override;
    void addToDeviceVec(std::string name) override;

private:
    class Worker;
    PolicyOutput *next_;
    IdentityBuilder builder_;
    std::unique_ptr<Worker> worker_;
};

#endif
