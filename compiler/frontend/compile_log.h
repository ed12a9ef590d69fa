// Lines of the compile path: the front end's and the file pipeline's.
// A pass that only reads ahead of a run (read_ahead.h) silences them on its
// thread, because the run itself says each of them once.
#ifndef TAVO_COMPILE_LOG_H
#define TAVO_COMPILE_LOG_H

#include <tavopolicysync/log.h>

inline thread_local bool compileLogQuiet = false;

// For the time it lives, compile lines of this thread are dropped.
class QuietCompileLog {
public:
    QuietCompileLog() : was_(compileLogQuiet) { compileLogQuiet = true; }
    ~QuietCompileLog() { compileLogQuiet = was_; }
    QuietCompileLog(const QuietCompileLog &) = delete;
    QuietCompileLog &operator=(const QuietCompileLog &) = delete;

private:
    bool was_;
};

#define COMPILE_LOG(level, ...)                                                                                      \
    do {                                                                                                             \
        if (!compileLogQuiet)                                                                                        \
            TAVO_LOG(level, __VA_ARGS__);                                                                            \
    } while (0)
#define COMPILE_ERROR(...) COMPILE_LOG(TAVO_LOG_ERROR, __VA_ARGS__)
#define COMPILE_WARN(...) COMPILE_LOG(TAVO_LOG_WARNING, __VA_ARGS__)
#define COMPILE_INFO(...) COMPILE_LOG(TAVO_LOG_INFO, __VA_ARGS__)
#define COMPILE_DEBUG(...) COMPILE_LOG(TAVO_LOG_DEBUG, __VA_ARGS__)

#endif
