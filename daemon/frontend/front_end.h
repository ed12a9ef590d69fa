// The compiler front end's state for one run: the parse state, and where
// the compiled rules go. A run (the daemon's compile, the checker, a test)
// makes one; while it lives, the grammar's routines and the file pipeline
// work on it, and when it goes its storage goes with it, so that nothing of
// one run is left over for the next. Code that makes none shares the
// process's, whose rules go to the library.
#ifndef TAVO_FRONT_END_H
#define TAVO_FRONT_END_H

#include "parse_state.h"
#include "policy_manager.h"

class FrontEnd {
public:
    // Whether the run's compile lines (compile_log.h) are written: a pass
    // that only reads ahead of a run writes none, the run itself says each
    // of them once.
    enum class Lines { Logged, Quiet };

    // `output` (not owned) must outlive the front end.
    explicit FrontEnd(PolicyOutput &output, Lines lines = Lines::Logged);
    // The front end made before this one is the current one again; front
    // ends go in the reverse order of their making.
    ~FrontEnd();
    FrontEnd(const FrontEnd &) = delete;
    FrontEnd &operator=(const FrontEnd &) = delete;

private:
    friend ParseState &parseState();
    friend PolicyOutput &policyOutput();
    friend bool compileLinesQuiet();

    ParseState state_;
    PolicyOutput &output_;
    bool quiet_;
    FrontEnd *previous_;
};

// Where the current front end's rules go: its output, or the library's.
PolicyOutput &policyOutput();

#endif
