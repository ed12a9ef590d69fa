#include "read_ahead.h"

#include <new>

#include "front_end.h"
#include "image_output.h"

int readAheadLimits(const PolicyDirectoryRun &run, const ImageTarget &target, std::string &error)
{
    PolicyDirectoryRun ahead;
    ahead.directory = run.directory;
    ahead.prefix = run.prefix;
    ahead.fileSizeLimit = run.fileSizeLimit;
    ahead.readAhead = true;
    try {
        ImageOutput output;
        FrontEnd frontEnd(output, FrontEnd::Lines::Quiet);
        if (compilePolicyDirectory(frontEnd, ahead) != DirectoryCompiled)
            return 0;
        return output.compiler.checkLimits(target.kind, target.ns, target.section, error);
    } catch (const std::bad_alloc &) {
        return 0;
    }
}
