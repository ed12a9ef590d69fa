// Feeds arbitrary bytes to exactly what the pipeline runs on a file's text.
// A compile error is an expected outcome; a crash, leak, hang or sanitizer
// report is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include <tavopolicysync/log.h>

#include "front_end.h"
#include "policy_loader.h"
#include "policy_manager.h"

namespace {

void discard(void *, const char *, int, int, const char *) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = [] {
        enableDebugLog(); // format every line, as the daemon does
        setLogSink(discard, nullptr);
        return true;
    }();
    (void)quiet;

    static LibraryOutput library;
    static FrontEnd frontEnd(library);
    library.expandIn(frontEnd.state());
    // The library keeps what it is given; start each input afresh.
    policyManager().clearAllPolicy();
    // A text of its own, scanned in place as the pipeline scans a file.
    std::string text(reinterpret_cast<const char *>(data), size);
    compilePolicyContent(frontEnd, "fuzz.p", text);
    return 0;
}
