// The daemon hands the library each file as its expanded records, every
// node a copy of its rule's lists: one rule over long lists can take
// hundreds of megabytes, and whether the module takes the policy depends on
// what the later files add to the image. So before such a file is expanded
// (the run's ExpansionGate), the whole run is read ahead through our
// rules-based image encoder, which holds each rule once, and a policy the
// module would refuse is refused then.
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

// Compiles the policy files of `run` again, on this thread, without a line
// and without the library, and tells whether the module would take the
// image: 0 when it would, or when the pass cannot tell (a file that fails,
// memory running out: the run meets those itself); 22 with `error` when it
// would not.
int readAheadLimits(const PolicyDirectoryRun &run, const ImageTarget &target, std::string &error);

#endif
