// The state of the simulated tavo kernel module: the policy in force, its
// dynamic variables, the three-mode switch and the test controls. No FUSE
// in here: the file system in main.cpp only moves bytes in and out.
#ifndef TAVO_SIM_KERNEL_H
#define TAVO_SIM_KERNEL_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "policy_image.h"

class SimKernel {
public:
    // Largest injectable errno: the FUSE kernel side turns anything from
    // 512 on (its internal restart codes) into a protocol error.
    static constexpr int maxInjectableErrno = 511;
    // A dynamic-variable change is three short lines; anything longer is
    // not one.
    static constexpr size_t maxDynamicWrite = 64 * 1024;

    // Looks at the start of an image still arriving: 0 with `total` once
    // the header says how long the image is, -1 while too little has come,
    // or the errno that refuses the image already (bad magic, version or
    // length 22, unknown kind 74).
    static int peekImage(const std::vector<uint8_t> &start, size_t &total);

    // Judges one whole policy image and puts it in force; 0 or the errno
    // the module answers with.
    int applyImage(const std::vector<uint8_t> &image);
    // Judges one dynamic-variable change ("NS\nVAR\nVALUE\n").
    int applyDynamic(const std::string &text);

    // The errno the next write to the module fails with, and takes it.
    int takeInjectedFailure();
    // Parses a `.sim/fail` write; EINVAL for anything but 0 to 511.
    int setInjectedFailure(const std::string &text);
    // Back to a fresh module (the switch file is kept).
    void reset();

    // Counts one request that carried data to `policy` or `dynamic`.
    void countWrite() { ++writes_; }
    void noteImageChunks(size_t chunks) { lastImageChunks_ = chunks; }
    void setMaxWrite(unsigned bytes) { maxWrite_ = bytes; }

    std::string &admctl() { return admctl_; }
    std::string renderState() const;
    std::string renderFail() const;

private:
    struct SectionUpdate {
        std::string nsName;
        std::string sectionName;
        std::string digest;
    };

    bool inForce_ = false;
    bool init_ = false;
    std::string digest_;
    // (namespace, section) of every node in force, in delivery order.
    std::vector<std::pair<std::string, std::string>> nodes_;
    std::vector<SectionUpdate> sections_;
    std::map<std::pair<std::string, std::string>, uint32_t> dynamic_;

    int injected_ = 0;
    uint64_t writes_ = 0;
    size_t lastImageChunks_ = 0;
    unsigned maxWrite_ = 0;
    std::string admctl_ = "0\n";
};

#endif
