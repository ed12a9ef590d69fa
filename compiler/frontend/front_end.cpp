#include "front_end.h"

namespace {

// One compile runs at a time in a process (the daemon's on its worker).
FrontEnd *current = nullptr;

} // namespace

FrontEnd::FrontEnd(PolicyOutput &output) : output_(output), previous_(current)
{
    current = this;
}

FrontEnd::~FrontEnd()
{
    current = previous_;
}

ParseState &parseState()
{
    if (current)
        return current->state_;
    static ParseState shared;
    return shared;
}

PolicyOutput &policyOutput()
{
    return current ? current->output_ : libraryOutput();
}
