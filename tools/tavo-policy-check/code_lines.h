// Finding a statement in a policy file's text, past its strings and comments.
#ifndef TAVO_CODE_LINES_H
#define TAVO_CODE_LINES_H

#include <regex>
#include <string>

// Line (from 1) of the first statement matching `pattern`, or of the last
// when `last`; 0 when none does. Strings and comments are blanked out
// first: exact for a file that compiled, where both end on their line.
int lineMatching(const std::string &content, const std::regex &pattern, bool last);

#endif
