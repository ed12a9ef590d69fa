// Lines of the compile path: the front end's and the file pipeline's.
// A pass that only reads ahead of a run (read_ahead.h) makes its front end
// quiet, because the run itself says each of them once. `fe` is the run's
// FrontEnd.
#ifndef TAVO_COMPILE_LOG_H
#define TAVO_COMPILE_LOG_H

#include <tavopolicysync/log.h>

#include "front_end.h"

#define COMPILE_LOG(fe, level, ...)                                                                                  \
    do {                                                                                                             \
        if (!(fe).quiet())                                                                                           \
            TAVO_LOG(level, __VA_ARGS__);                                                                            \
    } while (0)
#define COMPILE_ERROR(fe, ...) COMPILE_LOG(fe, TAVO_LOG_ERROR, __VA_ARGS__)
#define COMPILE_WARN(fe, ...) COMPILE_LOG(fe, TAVO_LOG_WARNING, __VA_ARGS__)
#define COMPILE_INFO(fe, ...) COMPILE_LOG(fe, TAVO_LOG_INFO, __VA_ARGS__)
#define COMPILE_DEBUG(fe, ...) COMPILE_LOG(fe, TAVO_LOG_DEBUG, __VA_ARGS__)

#endif
