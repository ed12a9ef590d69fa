// The compiler front end's state for one run: the parse state, where the
// compiled rules go, whether the run's compile lines are written, and the
// scanner of the text being parsed. A run (the daemon's compile, the
// checker, a test) makes one and hands it to the file pipeline and the
// parser, which hand it to the grammar's routines; when it goes its storage
// goes with it, so that nothing of one run is left over for the next.
#ifndef TAVO_FRONT_END_H
#define TAVO_FRONT_END_H

#include "parse_state.h"
#include "policy_manager.h"

class Scanner;

class FrontEnd {
public:
    // Whether the run's compile lines (compile_log.h) are written: a pass
    // that only reads ahead of a run writes none, the run itself says each
    // of them once.
    enum class Lines { Logged, Quiet };

    // `output` (not owned) must outlive the front end.
    explicit FrontEnd(PolicyOutput &output, Lines lines = Lines::Logged);
    FrontEnd(const FrontEnd &) = delete;
    FrontEnd &operator=(const FrontEnd &) = delete;

    ParseState &state() { return state_; }
    // Where the run's rules go.
    PolicyOutput &output() { return output_; }
    bool quiet() const { return quiet_; }
    // The scanner of the text being parsed, lent by compileText for the
    // parse (the grammar's routines read its line).
    Scanner &scanner() { return *scanner_; }
    void setScanner(Scanner *scanner) { scanner_ = scanner; }

private:
    ParseState state_;
    PolicyOutput &output_;
    bool quiet_;
    Scanner *scanner_ = nullptr;
};

#endif
