#include "halved_compile.h"

#include <new>
#include <utility>

namespace tavo_image {

void HalvedCompile::build(PolicyCompiler &compiler, bool digestOnly)
{
    try {
        buildResult_ = compiler.buildUnchecked(kind_, image_, buildError_, digestOnly, [this] { mark(unchanged_); });
    } catch (const std::bad_alloc &) {
        buildOutOfMemory_ = true;
    }
    built_ = true;
}

void HalvedCompile::end()
{
    mark(ended_);
}

void HalvedCompile::validateBeside(const PolicyCompiler &compiler)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return unchanged_ || ended_; });
        if (!unchanged_)
            return;
    }
    validate(compiler);
}

int HalvedCompile::result(PolicyCompiler &compiler, bool digestOnly, BuiltImage &out, std::string &error)
{
    if (!built_)
        return compiler.compile(kind_, std::string(), std::string(), out, error, digestOnly);
    if (!validated_)
        validate(compiler);
    // compile() checks the rules first: what the build met after a rule
    // that does not hold is never seen.
    if (validationOutOfMemory_ || (validation_ == 0 && buildOutOfMemory_))
        return compiler.dropForMemory(kind_, out, error);
    if (validation_ != 0) {
        error = validationError_;
        return validation_;
    }
    out = std::move(image_);
    error = buildError_;
    return buildResult_;
}

void HalvedCompile::validate(const PolicyCompiler &compiler)
{
    try {
        validation_ = compiler.validate(validationError_);
    } catch (const std::bad_alloc &) {
        validationOutOfMemory_ = true;
    }
    validated_ = true;
}

void HalvedCompile::mark(bool &flag)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    flag = true;
    changed_.notify_all();
}

} // namespace tavo_image
