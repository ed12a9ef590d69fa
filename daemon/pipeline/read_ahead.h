// The daemon hands the library each file as its expanded records, every
// node a copy of its rule's lists: one rule over long lists can take
// hundreds of megabytes, and whether the module takes the policy depends on
// what the later files add to the image. So before the compile, a run with
// such a file is read ahead through our rules-based image encoder, which
// holds each rule once, and a policy the module would refuse is refused
// when the compile comes to that file, before it is expanded.
#ifndef TAVO_READ_AHEAD_H
#define TAVO_READ_AHEAD_H

#include <string>

#include "policy_image.h"
#include "policy_loader.h"

// The image the run's compile is to make.
struct ImageTarget {
    tavo_image::ImageKind kind = tavo_image::ImageKind::Full;
    std::string ns;      // of a section image
    std::string section; // of a section image
};

// The step before the daemon's compile of `run`: reads its policy files,
// on this thread, without a line and without the library, and tells whether
// the module would take the image should a file of the run be over
// largeExpansionRecords: 0 when it would, when no file is, or when the pass
// cannot tell (a file that fails, memory running out: the compile meets
// those itself); 22 with `error` when it would not.
int readAheadLimits(const PolicyDirectoryRun &run, const ImageTarget &target, std::string &error);

#endif
