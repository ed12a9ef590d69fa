#include "call_limits.h"

#include <algorithm>
#include <vector>

namespace {

constexpr uint32_t rootUid = 0;

} // namespace

const char *limitReasonText(LimitReason reason)
{
    switch (reason) {
    case LimitReason::SenderCalls: return "waiting calls of the sender";
    case LimitReason::SenderBytes: return "waiting bytes of the sender";
    case LimitReason::UidCalls: return "waiting calls of the uid";
    case LimitReason::UidBytes: return "waiting bytes of the uid";
    case LimitReason::UnidentifiedCalls: return "waiting calls of callers not yet known";
    case LimitReason::UnidentifiedBytes: return "waiting bytes of callers not yet known";
    case LimitReason::TotalCalls: return "waiting calls of all callers";
    case LimitReason::TotalBytes: return "waiting bytes of all callers";
    case LimitReason::UidRefusals: return "refusals a second of the uid";
    }
    return "limit";
}

uint64_t RefusalSummary::total() const
{
    uint64_t sum = unlogged;
    for (const uint64_t count : counts)
        sum += count;
    return sum;
}

RefusalSummary &CallLimits::summary(std::optional<uint32_t> uid)
{
    RefusalSummary &entry = summaries_[uid];
    entry.uid = uid;
    return entry;
}

std::optional<LimitReason> CallLimits::refuse(std::optional<uint32_t> uid, LimitReason reason)
{
    ++summary(uid).counts[static_cast<size_t>(reason)];
    return reason;
}

void CallLimits::take(Count &count, size_t bytes, size_t n)
{
    count.calls += n;
    count.bytes += bytes;
}

void CallLimits::give(Count &count, size_t bytes)
{
    count.calls -= std::min<size_t>(count.calls, 1);
    count.bytes -= std::min(count.bytes, bytes);
}

void CallLimits::forget(const std::string &sender, std::optional<uint32_t> uid)
{
    if (const auto it = senders_.find(sender); it != senders_.end() && it->second.calls == 0)
        senders_.erase(it);
    if (!uid)
        return;
    if (const auto it = uids_.find(*uid); it != uids_.end() && it->second.waiting.calls == 0 &&
                                          it->second.refusals == 0)
        uids_.erase(it);
}

std::optional<LimitReason> CallLimits::overBudget(std::optional<uint32_t> uid)
{
    if (!uid)
        return std::nullopt;
    const auto it = uids_.find(*uid);
    if (it == uids_.end() || it->second.refusals < uidRefusalBurst)
        return std::nullopt;
    return refuse(uid, LimitReason::UidRefusals);
}

std::optional<LimitReason> CallLimits::admit(const std::string &sender, std::optional<uint32_t> uidValue,
                                             size_t bytes)
{
    Uid *uid = uidValue ? &uids_[*uidValue] : nullptr;
    std::optional<LimitReason> reason;
    const auto known = senders_.find(sender);
    const Count none;
    const Count &own = known != senders_.end() ? known->second : none;
    const bool root = uidValue == rootUid;
    if (uid && uid->refusals >= uidRefusalBurst)
        reason = LimitReason::UidRefusals;
    else if (own.calls >= maxWaitingCallsPerSender)
        reason = LimitReason::SenderCalls;
    else if (own.bytes + bytes > maxWaitingBytesPerSender)
        reason = LimitReason::SenderBytes;
    else if (uid && uid->waiting.calls >= maxWaitingCallsPerUid)
        reason = LimitReason::UidCalls;
    else if (uid && uid->waiting.bytes + bytes > maxWaitingBytesPerUid)
        reason = LimitReason::UidBytes;
    else if (!uid && unidentifiedCalls_ >= maxUnidentifiedCalls)
        reason = LimitReason::UnidentifiedCalls;
    else if (!uid && unidentifiedBytes_ + bytes > maxUnidentifiedBytes)
        reason = LimitReason::UnidentifiedBytes;
    else if (uid && !root && totalCalls_ >= maxWaitingCalls)
        reason = LimitReason::TotalCalls;
    else if (uid && !root && totalBytes_ + bytes > maxWaitingBytes)
        reason = LimitReason::TotalBytes;
    if (reason) {
        forget(sender, uidValue);
        return refuse(uidValue, *reason);
    }
    take(senders_[sender], bytes);
    if (!uid) {
        countUnknown(sender, true);
        ++unidentifiedCalls_;
        unidentifiedBytes_ += bytes;
        return std::nullopt;
    }
    take(uid->waiting, bytes);
    if (root) {
        ++rootCalls_;
    } else {
        ++totalCalls_;
        totalBytes_ += bytes;
    }
    return std::nullopt;
}

std::optional<LimitReason> CallLimits::identify(const std::string &sender, uint32_t uidValue, size_t bytes)
{
    // Out of the pool of the unknown, then in again as the uid's call.
    countUnknown(sender, false);
    unidentifiedCalls_ -= std::min<size_t>(unidentifiedCalls_, 1);
    unidentifiedBytes_ -= std::min(unidentifiedBytes_, bytes);
    const auto known = senders_.find(sender);
    if (known != senders_.end())
        give(known->second, bytes);
    return admit(sender, uidValue, bytes);
}

void CallLimits::release(const std::string &sender, std::optional<uint32_t> uidValue, size_t bytes)
{
    if (const auto it = senders_.find(sender); it != senders_.end())
        give(it->second, bytes);
    if (!uidValue) {
        countUnknown(sender, false);
        unidentifiedCalls_ -= std::min<size_t>(unidentifiedCalls_, 1);
        unidentifiedBytes_ -= std::min(unidentifiedBytes_, bytes);
    } else {
        if (const auto it = uids_.find(*uidValue); it != uids_.end())
            give(it->second.waiting, bytes);
        if (*uidValue == rootUid) {
            rootCalls_ -= std::min<size_t>(rootCalls_, 1);
        } else {
            totalCalls_ -= std::min<size_t>(totalCalls_, 1);
            totalBytes_ -= std::min(totalBytes_, bytes);
        }
    }
    forget(sender, uidValue);
}

void CallLimits::countUnknown(const std::string &sender, bool more)
{
    const auto it = unknownOf_.find(sender);
    const size_t before = it != unknownOf_.end() ? it->second : 0;
    if (!more && before == 0)
        return;
    const size_t after = more ? before + 1 : before - 1;
    unknownHolders_.erase({before, sender});
    if (after == 0) {
        unknownOf_.erase(sender);
        return;
    }
    unknownOf_[sender] = after;
    unknownHolders_.insert({after, sender});
}

std::optional<std::string> CallLimits::makeRoomFor(const std::string &sender)
{
    // Only a full pool gives up a call; its byte cap follows from the count.
    if (unidentifiedCalls_ < maxUnidentifiedCalls || unknownHolders_.empty())
        return std::nullopt;
    const auto &[most, holder] = *unknownHolders_.rbegin();
    const auto own = unknownOf_.find(sender);
    if (most <= (own != unknownOf_.end() ? own->second : 0) + 1)
        return std::nullopt;
    refuse(std::nullopt, LimitReason::UnidentifiedCalls);
    return holder;
}

bool CallLimits::refused(std::optional<uint32_t> uidValue, size_t lines)
{
    Uid *uid = uidValue ? &uids_[*uidValue] : nullptr;
    if (uid)
        ++uid->refusals;
    if (loggedLines_ + lines <= refusalLineBurst &&
        (!uid || uid->loggedLines + lines <= refusalLineBurstPerUid)) {
        loggedLines_ += lines;
        if (uid)
            uid->loggedLines += lines;
        return true;
    }
    ++summary(uidValue).unlogged;
    return false;
}

void CallLimits::nextSecond(const std::function<void(const RefusalSummary &)> &report)
{
    // The uids with most refusals get lines of their own; the rest share one.
    std::vector<const RefusalSummary *> order;
    for (const auto &[uid, entry] : summaries_)
        order.push_back(&entry);
    std::stable_sort(order.begin(), order.end(),
                     [](const RefusalSummary *a, const RefusalSummary *b) { return a->total() > b->total(); });
    RefusalSummary rest;
    rest.uids = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        // One more uid has a line of its own too: the shared line would
        // hide whose it is.
        if (i < maxSummariesPerSecond || order.size() == maxSummariesPerSecond + 1) {
            report(*order[i]);
            continue;
        }
        ++rest.uids;
        for (size_t r = 0; r < limitReasonCount; ++r)
            rest.counts[r] += order[i]->counts[r];
        rest.unlogged += order[i]->unlogged;
    }
    if (rest.uids > 0)
        report(rest);
    summaries_.clear();
    loggedLines_ -= std::min<size_t>(loggedLines_, refusalLinesPerSecond);
    for (auto it = uids_.begin(); it != uids_.end();) {
        Uid &uid = it->second;
        uid.refusals -= std::min(uid.refusals, uidRefusalsPerSecond);
        uid.loggedLines -= std::min<size_t>(uid.loggedLines, refusalLinesPerUidPerSecond);
        if (uid.waiting.calls == 0 && uid.refusals == 0 && uid.loggedLines == 0)
            it = uids_.erase(it);
        else
            ++it;
    }
}

bool CallLimits::idle() const
{
    return senders_.empty() && uids_.empty() && summaries_.empty() && loggedLines_ == 0;
}
