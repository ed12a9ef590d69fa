// The library's compile side, done by the same image code the stand-in
// library uses: tavo-policy-check, and the daemon's read-ahead, need
// nothing of the library but its public calls, whichever is installed.
#ifndef TAVO_IMAGE_OUTPUT_H
#define TAVO_IMAGE_OUTPUT_H

#include <string>
#include <vector>

#include "policy_compiler.h"
#include "policy_manager.h"

class ImageOutput final : public PolicyOutput {
public:
    // Huge pages suit the checker, which runs once and exits; never the daemon.
    explicit ImageOutput(tavo_image::LargeBlocks blocks = tavo_image::LargeBlocks::Heap) : compiler(blocks) {}

    tavo_image::PolicyCompiler compiler;
    // Called after each file's rules went to the compiler (may be null).
    void (*afterFile)() = nullptr;

    int clearAllPolicy() override;
    int initNamespaceFuncInfo() override;
    // A file's rules go to the encoder as they are, left whole: the nodes
    // of a rule differ only in uid and permission.
    void addRules(const std::string &fileName, std::vector<FileRule> &rules) override;
    void setNamespaceInfo(std::string nsName) override;
    void setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                              const std::string &funcName) override;
    void setUidInfo(const std::string &userName, uint32_t uid) override;
    void setFileToGetLabelMap(const std::string &kind, const std::string &name) override;
    void addToKmodVec(std::string name) override;
    void addToDeviceVec(std::string name) override;
};

#endif
