// The checker's options that do not go together, named for the user.
#ifndef TAVO_MISUSE_H
#define TAVO_MISUSE_H

#include <string>

// What is wrong with a combination of options, in one line, or "": each
// report takes only the options that shape it.
std::string misuse(bool inForce, bool status, bool image, bool json, bool prometheus, bool output, bool strict,
                   bool paths);

#endif
