#include "front_end.h"

#include "compile_log.h"

namespace {

// One compile runs at a time in a process (the daemon's on its worker).
FrontEnd *current = nullptr;

} // namespace

FrontEnd::FrontEnd(PolicyOutput &output, Lines lines)
    : output_(output), quiet_(lines == Lines::Quiet), previous_(current)
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

bool compileLinesQuiet()
{
    return current && current->quiet_;
}

PolicyOutput &policyOutput()
{
    if (current)
        return current->output_;
    static LibraryOutput shared;
    return shared;
}
