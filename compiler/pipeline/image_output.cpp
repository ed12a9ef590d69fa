#include "image_output.h"

#include <utility>

#include "policy_identity.h"

int ImageOutput::clearAllPolicy()
{
    compiler.clear();
    return 0;
}

int ImageOutput::initNamespaceFuncInfo()
{
    compiler.clearFunctions();
    return 0;
}

void ImageOutput::addRules(const std::string &fileName, std::vector<FileRule> &rules)
{
    // Under its base name, as the daemon hands it to the library, however
    // the file was named on the command line.
    compiler.startFile(baseName(fileName));
    for (const FileRule &rule : rules)
        compiler.addRule(rule.shared, rule.uids, rule.permissions);
    compiler.endFile();
    if (afterFile)
        afterFile();
}

void ImageOutput::setNamespaceInfo(std::string nsName)
{
    compiler.setNamespace(std::move(nsName));
}

void ImageOutput::setNamespaceFuncInfo(const std::string &nsName, const std::string &moduleName,
                                       const std::string &funcName)
{
    compiler.setFunction(nsName, moduleName, funcName);
}

void ImageOutput::setUidInfo(const std::string &userName, uint32_t uid)
{
    compiler.setUid(userName, uid);
}

void ImageOutput::setFileToGetLabelMap(const std::string &kind, const std::string &name)
{
    compiler.addLabel(kind, name);
}

void ImageOutput::addToKmodVec(std::string name)
{
    compiler.addKmod(std::move(name));
}

void ImageOutput::addToDeviceVec(std::string name)
{
    compiler.addDevice(std::move(name));
}
