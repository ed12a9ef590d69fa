// Logging helpers over the policy-sync library's writeLog.
#ifndef TAVO_LOG_MACROS_H
#define TAVO_LOG_MACROS_H

#include <tavopolicysync/log.h>

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

#define TAVO_LOG(level, ...) writeLog(tavoSourceName(__FILE__), __LINE__, (level), __VA_ARGS__)
#define TAVO_ERROR(...) TAVO_LOG(TAVO_LOG_ERROR, __VA_ARGS__)
#define TAVO_WARN(...) TAVO_LOG(TAVO_LOG_WARNING, __VA_ARGS__)
#define TAVO_INFO(...) TAVO_LOG(TAVO_LOG_INFO, __VA_ARGS__)
#define TAVO_DEBUG(...) TAVO_LOG(TAVO_LOG_DEBUG, __VA_ARGS__)

#endif
