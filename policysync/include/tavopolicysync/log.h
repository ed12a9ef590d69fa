// Logging of the policy-sync library, used by every component of the system.
#ifndef TAVOPOLICYSYNC_LOG_H
#define TAVOPOLICYSYNC_LOG_H

#include "tavopolicysync/export.h"

extern "C" {

enum {
    TAVO_LOG_ERROR = 1,
    TAVO_LOG_WARNING = 2,
    TAVO_LOG_INFO = 3,
    TAVO_LOG_DEBUG = 4,
};

// Writes one printf-style line. `file` and `line` name the issuing source
// location. Level 4 lines are dropped until enableDebugLog() is called.
// Lines go to the system log under the program's name unless another sink
// was chosen below. Returns the number of bytes of the message.
TAVOPOLICYSYNC_EXPORT int writeLog(const char *file, int line, int level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Lets level 4 (detail) lines through.
TAVOPOLICYSYNC_EXPORT void enableDebugLog(void);

// Sends lines to standard error instead of the system log, each prefixed
// with `prefix` (may be null) and ": "; lines above `maxLevel` are dropped
// there. Passing maxLevel 0 returns to the system log.
TAVOPOLICYSYNC_EXPORT void setLogToStderr(const char *prefix, int maxLevel);

// Hands every line that passes the level filter to `sink` instead of any
// other destination (for tests). The message is formatted, without a
// trailing newline. Null removes the sink.
typedef void (*TavoLogSink)(void *context, const char *file, int line, int level, const char *message);
TAVOPOLICYSYNC_EXPORT void setLogSink(TavoLogSink sink, void *context);
}

// Name of a source file without its directories, worked out at compile time.
constexpr const char *tavoSourceName(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p; ++p) {
        if (*p == '/')
            name = p + 1;
    }
    return name;
}

// writeLog with the calling source file's name and line.
#define TAVO_LOG(level, ...) writeLog(tavoSourceName(__FILE__), __LINE__, (level), __VA_ARGS__)
#define TAVO_ERROR(...) TAVO_LOG(TAVO_LOG_ERROR, __VA_ARGS__)
#define TAVO_WARN(...) TAVO_LOG(TAVO_LOG_WARNING, __VA_ARGS__)
#define TAVO_INFO(...) TAVO_LOG(TAVO_LOG_INFO, __VA_ARGS__)
#define TAVO_DEBUG(...) TAVO_LOG(TAVO_LOG_DEBUG, __VA_ARGS__)

#endif
