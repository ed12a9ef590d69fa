// The gate every call passes on arrival, before it is authorised: the
// uid's refusal budget, the module, names over the length limit and the
// caps on what callers may have waiting. Its refusals answer at once,
// without asking the bus daemon or polkit, and their lines are written
// within the refusal budgets; the rest is summed up once a second.
#ifndef TAVO_ADMISSION_H
#define TAVO_ADMISSION_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <QTimer>

#include "call_limits.h"
#include "method_call.h"

// A name argument of a method, for the refusal of over-long names.
struct NameArgument {
    std::string_view value;
    const char *label;       // as validate_name_param names it
    const char *refusedLine; // the handler's line when it is refused
};

class Admission {
public:
    // Refuses (and releases) the newest waiting call of `holder`, a
    // connection whose uid is not known yet, to make room in their pool.
    using MakeRoom = std::function<void(const std::string &holder)>;
    // Runs where calls may have stopped waiting: after a refusal at once
    // that waited on nothing, and after each second's summaries.
    using Settled = std::function<void()>;
    Admission(MakeRoom makeRoom, Settled settled);
    Admission(const Admission &) = delete;
    Admission &operator=(const Admission &) = delete;

    // Admits `call` of `sender`, whose uid is `uid` if the bus daemon told
    // it already, or refuses it at once (answered here). Returns the bytes
    // it counts for while it waits, until release().
    std::optional<size_t> admit(const MethodCall &call, const char *method, const std::string &sender,
                                std::optional<uint32_t> uid, bool checkModule,
                                std::initializer_list<NameArgument> names, size_t argumentBytes);
    // The uid of a call admitted without one became known: its caps and
    // budget apply from now on. A reason refuses it (it no longer waits).
    std::optional<LimitReason> identify(const std::string &sender, uint32_t uid, size_t bytes)
    {
        return limits_.identify(sender, uid, bytes);
    }
    // A waiting call was answered; `uid` as it was counted.
    void release(const std::string &sender, std::optional<uint32_t> uid, size_t bytes)
    {
        limits_.release(sender, uid, bytes);
    }
    // A call was judged and refused: true when its `lines` may be written.
    bool refused(std::optional<uint32_t> uid, size_t lines) { return limits_.refused(uid, lines); }
    size_t waitingCalls() const { return limits_.waitingCalls(); }
    // No more summaries.
    void stop() { refusalSecond_.stop(); }

private:
    void reportRefusals();

    CallLimits limits_;
    MakeRoom makeRoom_;
    Settled settled_;
    QTimer refusalSecond_;
};

#endif
