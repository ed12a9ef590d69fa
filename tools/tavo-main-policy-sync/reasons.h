// What the sync command adds on standard error, beside the texts it has
// always printed, so that an administrator sees why without the journal.
#ifndef TAVO_SYNC_REASONS_H
#define TAVO_SYNC_REASONS_H

#include <string>

// Why a name given with `option` (labelled as in the log) is refused, or ""
// when validate_name_param takes it.
std::string nameProblem(const std::string &value, const char *option, const char *label);

// After a failed compile of `directory`: the checker's errors and warnings
// on the same directory, run as the calling user; or, where that user cannot
// read the files or the checker cannot run, one line naming the command
// that shows them.
void explainCompileFailure(const char *checker, const char *directory);

#endif
