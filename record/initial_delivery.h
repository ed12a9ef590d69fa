// What tavo-main-policy-init leaves behind: after it delivered the stored
// initial image, the record of what is in force names that policy, taken
// from the record the daemon stored beside the image when it compiled it.
#ifndef TAVO_INITIAL_DELIVERY_H
#define TAVO_INITIAL_DELIVERY_H

#include <functional>
#include <string>
#include <sys/stat.h>

// The stored image as it was before the delivery (by its file's identity).
struct ImageFileMark {
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};
};

// Marks the image under `prefix` before it is delivered.
ImageFileMark markInitialImage(const std::string &prefix);

// Delivers the initial image under `prefix` through `deliver` (which gives
// the module's answer, returned unchanged) and records it in the in-force
// record directory (of the running system, never under `prefix`): marked
// as being changed before, the new record after if the module took it, the
// old one back if it refused. The policy is named only when the image is
// still the file marked before and its stored record was made for exactly
// that image; otherwise the record says an initial image of unknown
// content is in force. Failures to record are logged.
int deliverInitialPolicy(const std::string &prefix, const std::string &inForceDirectory,
                         const std::function<int()> &deliver);

#endif
