#include "tavopolicysync/log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <syslog.h>

#include "utf8.h"

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

// Longest line written, in bytes; a longer one is cut with a mark.
constexpr size_t maxLineBytes = 8192;
const char cutMark[] = "...";

// Control bytes and characters from file names and policy texts must not
// start a line of their own, move the cursor, reorder what is shown or
// reach a terminal raw, and bytes that are not UTF-8 must not reach a
// reader that expects it: each such byte is written as \xNN. A line feed
// that ends the line stays. Other UTF-8 (our own Chinese texts) is kept.
std::string escapeLine(const std::string &message)
{
    const size_t end = (!message.empty() && message.back() == '\n') ? message.size() - 1 : message.size();
    std::string out;
    out.reserve(std::min(message.size(), maxLineBytes + 1));
    appendEscapedText(out, message.data(), end, maxLineBytes);
    if (out.size() > maxLineBytes) {
        // Cut where no escape or UTF-8 sequence is split.
        size_t cut = maxLineBytes - (sizeof cutMark - 1);
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80)
            --cut;
        // An escape is four bytes: one that starts in the last three kept
        // bytes is cut whole.
        for (size_t back = 3; back >= 1; --back) {
            if (cut >= back && out.compare(cut - back, 2, "\\x") == 0) {
                cut -= back;
                break;
            }
        }
        out.resize(cut);
        out += cutMark;
    } else if (end < message.size()) {
        out += '\n';
    }
    return out;
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

const char lostLine[] = "(a log line was lost: out of memory)";

// Sends one finished line where lines go; its length.
int emit(const char *file, int line, int level, const char *message, bool audit)
{
    std::lock_guard<std::mutex> lock(sinkMutex);
    if (captureSink) {
        captureSink(captureContext, file ? file : "", line, level, message);
    } else if (stderrMaxLevel > 0) {
        if (level <= stderrMaxLevel) {
            if (!stderrPrefix.empty())
                fprintf(stderr, "%s: %s\n", stderrPrefix.c_str(), message);
            else
                fprintf(stderr, "%s\n", message);
        }
    } else {
        // The ident defaults to the program's name. The facility goes with
        // each line rather than through openlog(), which a program linking
        // the client library may have called for itself. Authorisation
        // decisions go where sshd's and sudo's do.
        const int facility = audit ? LOG_AUTHPRIV : LOG_DAEMON;
        syslog(facility | syslogPriority(level), "%s", message);
    }
    return static_cast<int>(strlen(message));
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
    int written;
    // A line that cannot be formatted for lack of memory is replaced, never
    // thrown at the caller: the daemon logs from its event loop.
    try {
        const std::string message = escapeLine(formatMessage(format, args));
        written = emit(file, line, level, message.c_str(), message.compare(0, 5, "AUDIT") == 0);
    } catch (const std::bad_alloc &) {
        written = emit(file, line, level, lostLine, strncmp(format, "AUDIT", 5) == 0);
    }
    va_end(args);
    return written;
}

void enableDebugLog(void)
{
    debugEnabled.store(true, std::memory_order_relaxed);
}

void setLogToStderr(const char *prefix, int maxLevel)
{
    std::lock_guard<std::mutex> lock(sinkMutex);
    try {
        stderrPrefix = prefix ? prefix : "";
    } catch (const std::bad_alloc &) {
        stderrPrefix.clear(); // lines without the program's name
    }
    stderrMaxLevel = maxLevel < 0 ? 0 : maxLevel;
}

void setLogSink(TavoLogSink sink, void *context)
{
    std::lock_guard<std::mutex> lock(sinkMutex);
    captureSink = sink;
    captureContext = context;
}

} // extern "C"
