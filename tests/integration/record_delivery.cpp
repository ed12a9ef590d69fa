// tavo-test-record: records a policy directory as in force exactly as the
// daemon does after compilePolicy (or compileSectionPolicy) and a
// sendPolicy the module took, through the daemon's own recorder, without a
// bus or a module. The checker's tests use it to set up what is in force.
//
//   tavo-test-record full DIRECTORY
//   tavo-test-record section DIRECTORY NAMESPACE SECTION
#include <cstdio>
#include <cstring>
#include <string>

#include "delivery_recorder.h"
#include "front_end.h"
#include "policy_loader.h"

int main(int argc, char **argv)
{
    const bool full = argc == 3 && strcmp(argv[1], "full") == 0;
    const bool section = argc == 5 && strcmp(argv[1], "section") == 0;
    if (!full && !section) {
        fputs("usage: tavo-test-record full DIRECTORY | section DIRECTORY NAMESPACE SECTION\n", stderr);
        return 2;
    }
    DeliveryRecorder recorder;
    LibraryOutput library;
    PolicyDirectoryRun run;
    run.directory = argv[2];
    run.prefix = canonicalDirectoryPrefix(run.directory);
    run.onSource = recorder.startCompile(library);
    FrontEnd frontEnd(recorder.output());
    library.expandIn(frontEnd.state());
    const int compiled = processPolicyDirectory(frontEnd, run, section);
    recorder.endCompile();
    if (compiled != 0) {
        fprintf(stderr, "tavo-test-record: %s does not compile (%d)\n", argv[2], compiled);
        return 1;
    }
    const uint32_t root = 0;
    if (full)
        recorder.compiled(DeliveryRecorder::CompileKind::Full, root, 0);
    else
        recorder.sectionCompiled(argv[3], argv[4], root, 0);
    recorder.send(root, [] { return 0; });
    return 0;
}
