// What callers may have waiting in the daemon, how often each uid may be
// refused, how many refusals are logged line by line, and how many
// questions the daemon has out at once: the bounds that keep one caller
// from stalling the daemon, filling its memory or flooding the journal.
// Everything a caller could multiply by reconnecting is counted by uid and
// in total, never by connection alone.
#ifndef TAVO_CALL_LIMITS_H
#define TAVO_CALL_LIMITS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "shared_constants.h"

// A waiting call costs us its arguments and this much besides (its
// message's header, its bookkeeping, its pending question to polkit).
constexpr size_t waitingCallOverheadBytes = 1024;
// The most argument bytes a call can bring to wait: two names at the
// length limit (each with its length word and terminator) and one int.
// Longer names are refused before they could wait.
constexpr size_t largestWaitingArguments = 2 * (nameLengthLimit + 5) + 4;
constexpr size_t largestWaitingCall = waitingCallOverheadBytes + largestWaitingArguments;

// One connection (sender): more than one command runs at a time, far fewer
// than this.
constexpr size_t maxWaitingCallsPerSender = 16;
// One uid, over all its connections: root's twenty-odd concurrent
// administrators stay below it, and one uid's flood leaves room for others.
constexpr size_t maxWaitingCallsPerUid = 64;
// Every known uid together. Root's calls are bounded by root's own cap
// only, so that no number of other accounts can fill the daemon for root.
constexpr size_t maxWaitingCalls = 256;
// Calls of connections whose uid the bus daemon has not told yet (the
// first calls of a new connection): a pool of their own, emptied as the
// bus daemon answers or says the connection has gone. It must hold what
// reaches the daemon in one round trip to the bus daemon under a flood.
constexpr size_t maxUnidentifiedCalls = 1024;
// The byte caps follow from the counts, so that they never refuse a call
// that the counts let through; they are the bound on memory.
constexpr size_t maxWaitingBytesPerSender = maxWaitingCallsPerSender * largestWaitingCall;
constexpr size_t maxWaitingBytesPerUid = maxWaitingCallsPerUid * largestWaitingCall;
constexpr size_t maxWaitingBytes = maxWaitingCalls * largestWaitingCall;
constexpr size_t maxUnidentifiedBytes = maxUnidentifiedCalls * largestWaitingCall;

// Questions out at once, well under what the bus daemon lets one
// connection have pending (max_replies_per_connection, 128 on Debian):
// beyond them admitted calls wait their turn here, never refused for it.
// Each new connection is asked about once.
constexpr size_t maxIdentityQuestions = 16;
constexpr size_t maxPolkitQuestions = 32;
// One uid's share of the polkit questions: the others' calls pass its flood.
constexpr size_t maxPolkitQuestionsPerUid = 8;
static_assert(maxIdentityQuestions + maxPolkitQuestions <= 64, "far below the bus's pending-reply limit");

// Refusals of one uid after its calls were judged: a burst, then so many a
// second. Beyond them the uid's calls are refused at once, unjudged, so a
// flood costs neither polkit nor the daemon. The burst keeps an
// administrator who is refused a few times in a row from being shut out.
constexpr unsigned uidRefusalBurst = 64;
constexpr unsigned uidRefusalsPerSecond = 8;
static_assert(uidRefusalBurst % uidRefusalsPerSecond == 0, "a burst comes back in whole seconds");
// Lines of refused calls written out: of all callers together, and of one
// uid (so that one uid's flood leaves room for another's), each a burst
// and then so many a second. The other refusals are counted in one summary
// line a second per uid, for at most so many uids a second (the others in
// one more line). So, past the first burst, refusals add fewer than 100
// lines a second however many callers are refused, and journald's rate
// limit never drops the lines of calls that are taken. The bursts let an
// administrator's few refusals in a row be read line by line.
constexpr unsigned refusalLineBurst = 160;
constexpr unsigned refusalLinesPerSecond = 64;
constexpr unsigned refusalLineBurstPerUid = 120;
constexpr unsigned refusalLinesPerUidPerSecond = 48;
constexpr size_t maxSummariesPerSecond = 8;
static_assert(refusalLinesPerSecond + maxSummariesPerSecond + 1 < 100, "refusals add under 100 lines a second");

// Why a call was refused unjudged.
enum class LimitReason {
    SenderCalls,
    SenderBytes,
    UidCalls,
    UidBytes,
    UnidentifiedCalls,
    UnidentifiedBytes,
    TotalCalls,
    TotalBytes,
    UidRefusals,
};
constexpr size_t limitReasonCount = 9;

// The text of a reason in the summary line.
const char *limitReasonText(LimitReason reason);

// The refusals of one uid (or of callers whose uid is unknown) in the last
// second that were not logged line by line.
struct RefusalSummary {
    std::optional<uint32_t> uid;
    // More than one when uids beyond the second's cap are summed up here.
    size_t uids = 1;
    std::array<uint64_t, limitReasonCount> counts{};
    // Judged and refused, lines not written.
    uint64_t unlogged = 0;
    uint64_t total() const;
};

class CallLimits {
public:
    // Whether the refusal budget of `uid` (when known) is spent; if so the
    // call is counted in the summary.
    std::optional<LimitReason> overBudget(std::optional<uint32_t> uid);
    // The first question about a call of `sender` whose uid is `uid` if
    // known: whether a cap or the uid's refusal budget refuses it. If not,
    // the call counts as waiting; if so, the reason is counted in the
    // summary.
    std::optional<LimitReason> admit(const std::string &sender, std::optional<uint32_t> uid, size_t bytes);
    // The uid of a waiting call admitted without one became known: the call
    // moves to its uid's caps and budget. If they refuse it, it no longer
    // waits and the reason is returned (and counted).
    std::optional<LimitReason> identify(const std::string &sender, uint32_t uid, size_t bytes);
    // When the pool of callers not yet known is full: the connection that
    // holds most of it, if it holds more than one call beyond `sender`'s.
    // One of its calls is then to be refused (and released) to make room;
    // it is counted in the summary here.
    std::optional<std::string> makeRoomFor(const std::string &sender);
    // A waiting call was answered; `uid` as it was counted.
    void release(const std::string &sender, std::optional<uint32_t> uid, size_t bytes);
    // A call of `uid` (if known) was judged and refused: spends the uid's
    // refusal budget. True when its `lines` may be written (then they are
    // spent); otherwise it is counted in the summary.
    bool refused(std::optional<uint32_t> uid, size_t lines);

    // Once a second: hands over the summaries (at most
    // maxSummariesPerSecond + 1), gives back a second's worth of each
    // budget and forgets uids and senders with nothing left.
    void nextSecond(const std::function<void(const RefusalSummary &)> &report);
    // Whether anything is waiting or remembered (the second's timer can
    // rest otherwise).
    bool idle() const;
    size_t waitingCalls() const { return totalCalls_ + unidentifiedCalls_ + rootCalls_; }

private:
    struct Count {
        size_t calls = 0;
        size_t bytes = 0;
    };
    struct Uid {
        Count waiting;
        unsigned refusals = 0;
        size_t loggedLines = 0;
    };

    std::optional<LimitReason> refuse(std::optional<uint32_t> uid, LimitReason reason);
    RefusalSummary &summary(std::optional<uint32_t> uid);
    void take(Count &count, size_t bytes, size_t n = 1);
    void give(Count &count, size_t bytes);
    void forget(const std::string &sender, std::optional<uint32_t> uid);
    void countUnknown(const std::string &sender, bool more);

    std::map<std::string, Count> senders_;
    // Calls of each connection not yet known, and the connections by them.
    std::map<std::string, size_t> unknownOf_;
    std::set<std::pair<size_t, std::string>> unknownHolders_;
    std::map<uint32_t, Uid> uids_;
    // Summaries by uid; the key nullopt for callers whose uid is unknown.
    std::map<std::optional<uint32_t>, RefusalSummary> summaries_;
    size_t totalCalls_ = 0;
    size_t totalBytes_ = 0;
    size_t rootCalls_ = 0;
    size_t unidentifiedCalls_ = 0;
    size_t unidentifiedBytes_ = 0;
    size_t loggedLines_ = 0;
};

#endif
