#include "identity_output.h"

#include <utility>

IdentityOutput::IdentityOutput(PolicyOutput *next, Hashing hashing)
    : next_(next),
      builder_(hashing == Hashing::Background ? IdentityBuilder::Hashing::Background : IdentityBuilder::Hashing::Inline)
{
}

IdentityOutput::~IdentityOutput() = default;

const IdentityBuilder &IdentityOutput::identity()
{
    builder_.finish();
    return builder_;
}

void IdentityOutput::endFiles()
{
    builder_.endThread();
}

int IdentityOutput::clearAllPolicy()
{
    builder_.clear();
    return next_ ? next_->clearAllPolicy() : 0;
}

int IdentityOutput::initNamespaceFuncInfo()
{
    return next_ ? next_->initNamespaceFuncInfo() : 0;
}

void IdentityOutput::addRules(const std::string &fileName, std::vector<FileRule> &rules)
{
    // Taken first: the next output may take the rules' members.
    builder_.addFile(fileName, rules);
    if (next_)
        next_->addRules(fileName, rules);
}

void IdentityOutput::setNamespaceInfo(std::string nsName)
{
    if (next_)
        next_->setNamespaceInfo(std::move(nsName));
}

void IdentityOutput::setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                                          const std::string &funcName)
{
    if (next_)
        next_->setNamespaceFuncInfo(nsName, moduleName, funcName);
}

void IdentityOutput::setUidInfo(const std::string &userName, uint32_t uid)
{
    if (next_)
        next_->setUidInfo(userName, uid);
}

void IdentityOutput::setFileToGetLabelMap(const std::string &kind, const std::string &name)
{
    if (next_)
        next_->setFileToGetLabelMap(kind, name);
}

void IdentityOutput::addToKmodVec(std::string name)
{
    if (next_)
        next_->addToKmodVec(std::move(name));
}

void IdentityOutput::addToDeviceVec(std::string name)
{
    if (next_)
        next_->addToDeviceVec(std::move(name));
}

void IdentityOutput::beforeLibraryQuery()
{
    if (next_)
        next_->beforeLibraryQuery();
}
