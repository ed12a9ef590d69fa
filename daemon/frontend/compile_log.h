// Lines of the compile path: the front end's and the file pipeline's.
// A pass that only reads ahead of a run (read_ahead.h) makes its front end
// quiet, because the run itself says each of them once.
#ifndef TAVO_COMPILE_LOG_H
#define TAVO_COMPILE_LOG_H

#include <tavopolicysync/log.h>

// Whether the current front end's run writes no compile lines
// (FrontEnd::Lines::Quiet).
bool compileLinesQuiet();

#define COMPILE_LOG(level, ...)                                                                                      \
    do {                                                                                                             \
        if (!compileLinesQuiet())                                                                                    \
            TAVO_LOG(level, __VA_ARGS__);                                                                            \
    } while (0)
#define COMPILE_ERROR(...) COMPILE_LOG(TAVO_LOG_ERROR, __VA_ARGS__)
#define COMPILE_WARN(...) COMPILE_LOG(TAVO_LOG_WARNING, __VA_ARGS__)
#define COMPILE_INFO(...) COMPILE_LOG(TAVO_LOG_INFO, __VA_ARGS__)
#define COMPILE_DEBUG(...) COMPILE_LOG(TAVO_LOG_DEBUG, __VA_ARGS__)

#endif
