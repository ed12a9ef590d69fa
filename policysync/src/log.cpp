#include "tavopolicysync/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <syslog.h>

namespace {

std::atomic<bool> debugEnabled{false};

// Where lines go; guarded so that a late reconfiguration cannot tear a line.
std::mutex sinkMutex;
std::string stderrPrefix;
int stderrMaxLevel = 0; // 0: system log
TavoLogSink captureSink = nullptr;
void *captureContext = nullptr;

int syslogPriority(int level)
{
    switch (level) {
    case TAVO_LOG_ERROR: return LOG_ERR;
    case TAVO_LOG_WARNING: return LOG_WARNING;
    case TAVO_LOG_INFO: return LOG_INFO;
    default: return LOG_DEBUG;
    }
}

std::string formatMessage(const char *format, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&big[0], big.size(), format, args);
    big.resize(static_cast<size_t>(n));
    return big;
}

} // namespace

extern "C" {

int writeLog(const char *file, int line, int level, const char *format, ...)
{
    if (level >= TAVO_LOG_DEBUG && !debugEnabled.load(std::memory_order_relaxed))
        return 0;
    if (!format)
        return 0;

    va_list args;
    va_start(args, format);
    const std::string message = formatMessage(format, args);
    va_end(args);

    std::lock_guard<std::mutex> lock(sinkMutex);
    if (captureSink) {
        captureSink(captureContext, file ? file : "", line, level, message.c_str());
    } else if (stderrMaxLevel > 0) {
        if (level <= stderrMaxLevel) {
            if (!stderrPrefix.empty())
                fprintf(stderr, "%s: %s\n", stderrPrefix.c_str(), message.c_str());
            else
                fprintf(stderr, "%s\n", message.c_str());
        }
    } else {
        // The ident defaults to the program's name.
        syslog(syslogPriority(level), "%s", message.c_str());
    }
    return static_cast<int>(message.size());
}

void enableDebugLog(void)
{
    debugEnabled.store(true, std::memory_order_relaxed);
}

void setLogToStderr(const char *prefix, int maxLevel)
{
    std::lock_guard<std::mutex> lock(sinkMutex);
    stderrPrefix = prefix ? prefix : "";
    stderrMaxLevel = maxLevel < 0 ? 0 : maxLevel;
}

void setLogSink(TavoLogSink sink, void *context)
{
    std::lock_guard<std::mutex> lock(sinkMutex);
    captureSink = sink;
    captureContext = context;
}

} // extern "C"
