// What callers may have waiting in the daemon, and how often each may be
// refused with every AUDIT line: the bounds that keep one caller from
// stalling the daemon, filling its memory or flooding the journal.
#ifndef TAVO_CALL_LIMITS_H
#define TAVO_CALL_LIMITS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "shared_constants.h"

// A waiting call costs us its arguments and this much besides (its
// message's header, its bookkeeping, its pending replies from the bus
// daemon and polkit).
constexpr size_t waitingCallOverheadBytes = 1024;
// The most argument bytes a call can bring to wait: two names at the
// length limit (each with its length word and terminator) and one int.
// Longer names are refused before they could wait.
constexpr size_t largestWaitingArguments = 2 * (nameLengthLimit + 5) + 4;
constexpr size_t largestWaitingCall = waitingCallOverheadBytes + largestWaitingArguments;

// One connection (sender): more than one command runs at a time, far fewer
// than this; a flood stops here.
constexpr size_t maxWaitingCallsPerSender = 16;
// One uid, over all its connections: root's twenty-odd concurrent
// administrators stay below it, and one uid's flood leaves room for others.
constexpr size_t maxWaitingCallsPerUid = 64;
// Everyone together: what the daemon will hold at most.
constexpr size_t maxWaitingCalls = 256;
// The byte caps follow from the counts, so that they never refuse a call
// that the counts let through; they are the bound on memory.
constexpr size_t maxWaitingBytesPerSender = maxWaitingCallsPerSender * largestWaitingCall;
constexpr size_t maxWaitingBytesPerUid = maxWaitingCallsPerUid * largestWaitingCall;
constexpr size_t maxWaitingBytes = maxWaitingCalls * largestWaitingCall;
// Refusals written out in full (five lines each), per sender and per uid:
// a burst, then so many a second. Beyond them a caller's calls are refused
// at once and counted in one summary line a second, so that journald's rate
// limit never drops other callers' AUDIT lines. The burst keeps an
// administrator who is refused a few times in a row from being shut out.
constexpr unsigned auditedRefusalBurst = 64;
constexpr unsigned auditedRefusalsPerSecond = 8;
static_assert(auditedRefusalBurst % auditedRefusalsPerSecond == 0, "a burst comes back in whole seconds");

// Why a call was refused without being heard.
enum class LimitReason {
    SenderCalls,
    SenderBytes,
    UidCalls,
    UidBytes,
    TotalCalls,
    TotalBytes,
    SenderRefusals,
    UidRefusals,
};
constexpr size_t limitReasonCount = 8;

// The text of a reason in the summary line.
const char *limitReasonText(LimitReason reason);

// The calls of one sender refused unheard in the last second.
struct RefusalSummary {
    std::string sender;
    std::optional<uint32_t> uid;
    std::array<uint64_t, limitReasonCount> counts{};
    uint64_t total() const;
};

class CallLimits {
public:
    // Before anything else is done for a call: whether its sender, or the
    // sender's uid once known, has used up its audited refusals.
    std::optional<LimitReason> overBudget(const std::string &sender);
    // Whether a cap on the number of waiting calls would refuse one more call
    // of the sender (counted in the summary if so): the first question,
    // before anything costs more than a lookup.
    std::optional<LimitReason> full(const std::string &sender);
    // Counts a call of `bytes` (arguments and overhead) as waiting, unless a
    // cap refuses it; then returns why and counts it in the summary.
    std::optional<LimitReason> admit(const std::string &sender, size_t bytes);
    // The sender's uid became known while its call of `bytes` waited: from
    // now on the uid's caps and budget apply. If they refuse this call, it
    // no longer waits and the reason is returned (and counted).
    std::optional<LimitReason> identify(const std::string &sender, uint32_t uid, size_t bytes);
    // A waiting call was answered.
    void release(const std::string &sender, size_t bytes);
    // A call was refused with its AUDIT lines: spends the budgets.
    void spendRefusal(const std::string &sender);

    // Once a second: hands over each sender's summary, gives back a second's
    // worth of each budget and forgets senders and uids with nothing left.
    void nextSecond(const std::function<void(const RefusalSummary &)> &report);
    // Whether anything is waiting or remembered (the second's timer can
    // rest otherwise).
    bool idle() const { return senders_.empty() && uids_.empty(); }
    size_t waitingCalls() const { return totalCalls_; }

private:
    struct Sender {
        size_t calls = 0;
        size_t bytes = 0;
        std::optional<uint32_t> uid;
        unsigned refusals = 0;
        RefusalSummary summary;
    };
    struct Uid {
        size_t calls = 0;
        size_t bytes = 0;
        unsigned refusals = 0;
    };

    Sender &sender(const std::string &name);
    std::optional<LimitReason> refuse(Sender &entry, LimitReason reason);
    void forgetIfIdle(const std::string &name);

    std::map<std::string, Sender> senders_;
    std::map<uint32_t, Uid> uids_;
    size_t totalCalls_ = 0;
    size_t totalBytes_ = 0;
};

#endif
