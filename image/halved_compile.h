// PolicyCompiler::compile() of an image of every rule, on two threads: the
// image is built on one while the other, once the builder no longer
// changes, checks the rules. What comes out is what compile() gives.
#ifndef TAVO_HALVED_COMPILE_H
#define TAVO_HALVED_COMPILE_H

#include <condition_variable>
#include <mutex>
#include <string>

#include "policy_compiler.h"

namespace tavo_image {

class HalvedCompile {
public:
    explicit HalvedCompile(ImageKind kind) : kind_(kind) {}
    HalvedCompile(const HalvedCompile &) = delete;
    HalvedCompile &operator=(const HalvedCompile &) = delete;

    // On the building thread.
    void build(PolicyCompiler &compiler, bool digestOnly);
    // On the building thread after build(), whether that ran or not.
    void end();

    // On the other thread: checks the rules beside the build once it no
    // longer changes the compiler (not at all if it ended before that).
    void validateBeside(const PolicyCompiler &compiler);

    // Once the building thread is done with it (joined, or its end seen):
    // compile()'s result and error, the rules' error first. Builds and
    // checks here what was not yet.
    int result(PolicyCompiler &compiler, bool digestOnly, BuiltImage &out, std::string &error);

private:
    void validate(const PolicyCompiler &compiler);
    void mark(bool &flag);

    const ImageKind kind_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool unchanged_ = false;
    bool ended_ = false;
    // The building thread's until it ended.
    bool built_ = false;
    int buildResult_ = 0;
    bool buildOutOfMemory_ = false;
    BuiltImage image_;
    std::string buildError_;
    // The other thread's.
    bool validated_ = false;
    int validation_ = 0;
    bool validationOutOfMemory_ = false;
    std::string validationError_;
};

} // namespace tavo_image

#endif
