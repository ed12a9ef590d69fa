#include "read_ahead.h"

#include <new>

#include "front_end.h"
#include "image_output.h"

namespace {

// Takes nothing; its gate ends the run at the first file over
// largeExpansionRecords.
class LargeFileProbe final : public PolicyOutput {
public:
    explicit LargeFileProbe(ExpansionGate &gate) : gate_(gate) {}

    int clearAllPolicy() override { return 0; }
    int initNamespaceFuncInfo() override { return 0; }
    void addRules(const std::string &, std::vector<FileRule> &rules) override { gate_.admits(rules); }
    void setNamespaceInfo(std::string) override {}
    void setNamespaceFuncInfo(std::string, std::string, std::string) override {}
    void setUidInfo(std::string, uint32_t) override {}
    void setFileToGetLabelMap(const std::string &, const std::string &) override {}
    void addToKmodVec(std::string) override {}
    void addToDeviceVec(std::string) override {}

private:
    ExpansionGate &gate_;
};

} // namespace

int readAheadLimits(const PolicyDirectoryRun &run, const ImageTarget &target, std::string &error)
{
    PolicyDirectoryRun ahead;
    ahead.directory = run.directory;
    ahead.prefix = run.prefix;
    ahead.fileSizeLimit = run.fileSizeLimit;
    ahead.readAhead = true;
    try {
        {
            // Most runs have no large file: they are only parsed.
            ExpansionGate large([] { return false; });
            LargeFileProbe probe(large);
            const FrontEnd frontEnd(probe, FrontEnd::Lines::Quiet);
            ahead.gate = &large;
            compilePolicyDirectory(ahead);
            ahead.gate = nullptr;
            if (!large.refused())
                return 0;
        }
        ImageOutput output;
        const FrontEnd frontEnd(output, FrontEnd::Lines::Quiet);
        if (compilePolicyDirectory(ahead) != DirectoryCompiled)
            return 0;
        return output.compiler.checkLimits(target.kind, target.ns, target.section, error);
    } catch (const std::bad_alloc &) {
        return 0;
    }
}
