#include "call_limits.h"

#include <algorithm>

const char *limitReasonText(LimitReason reason)
{
    switch (reason) {
    case LimitReason::SenderCalls: return "waiting calls of the sender";
    case LimitReason::SenderBytes: return "waiting bytes of the sender";
    case LimitReason::UidCalls: return "waiting calls of the uid";
    case LimitReason::UidBytes: return "waiting bytes of the uid";
    case LimitReason::TotalCalls: return "waiting calls of all callers";
    case LimitReason::TotalBytes: return "waiting bytes of all callers";
    case LimitReason::SenderRefusals: return "refusals a second of the sender";
    case LimitReason::UidRefusals: return "refusals a second of the uid";
    }
    return "limit";
}

uint64_t RefusalSummary::total() const
{
    uint64_t sum = 0;
    for (const uint64_t count : counts)
        sum += count;
    return sum;
}

CallLimits::Sender &CallLimits::sender(const std::string &name)
{
    Sender &entry = senders_[name];
    entry.summary.sender = name;
    return entry;
}

std::optional<LimitReason> CallLimits::refuse(Sender &entry, LimitReason reason)
{
    ++entry.summary.counts[static_cast<size_t>(reason)];
    return reason;
}

void CallLimits::forgetIfIdle(const std::string &name)
{
    const auto it = senders_.find(name);
    if (it == senders_.end())
        return;
    const Sender &entry = it->second;
    if (entry.uid) {
        const auto uid = uids_.find(*entry.uid);
        if (uid != uids_.end() && uid->second.calls == 0 && uid->second.refusals == 0)
            uids_.erase(uid);
    }
    if (entry.calls == 0 && entry.refusals == 0 && entry.summary.total() == 0)
        senders_.erase(it);
}

std::optional<LimitReason> CallLimits::overBudget(const std::string &name)
{
    Sender &entry = sender(name);
    if (entry.refusals >= auditedRefusalBurst)
        return refuse(entry, LimitReason::SenderRefusals);
    if (entry.uid && uids_[*entry.uid].refusals >= auditedRefusalBurst)
        return refuse(entry, LimitReason::UidRefusals);
    return std::nullopt;
}

std::optional<LimitReason> CallLimits::full(const std::string &name)
{
    Sender &entry = sender(name);
    if (entry.calls >= maxWaitingCallsPerSender)
        return refuse(entry, LimitReason::SenderCalls);
    if (entry.uid && uids_[*entry.uid].calls >= maxWaitingCallsPerUid)
        return refuse(entry, LimitReason::UidCalls);
    if (totalCalls_ >= maxWaitingCalls)
        return refuse(entry, LimitReason::TotalCalls);
    return std::nullopt;
}

std::optional<LimitReason> CallLimits::admit(const std::string &name, size_t bytes)
{
    if (const std::optional<LimitReason> reason = full(name))
        return reason;
    Sender &entry = sender(name);
    if (entry.bytes + bytes > maxWaitingBytesPerSender)
        return refuse(entry, LimitReason::SenderBytes);
    Uid *uid = entry.uid ? &uids_[*entry.uid] : nullptr;
    if (uid && uid->bytes + bytes > maxWaitingBytesPerUid)
        return refuse(entry, LimitReason::UidBytes);
    if (totalBytes_ + bytes > maxWaitingBytes)
        return refuse(entry, LimitReason::TotalBytes);
    ++entry.calls;
    entry.bytes += bytes;
    if (uid) {
        ++uid->calls;
        uid->bytes += bytes;
    }
    ++totalCalls_;
    totalBytes_ += bytes;
    return std::nullopt;
}

std::optional<LimitReason> CallLimits::identify(const std::string &name, uint32_t uidValue, size_t bytes)
{
    Sender &entry = sender(name);
    if (!entry.uid) {
        // The sender's calls so far join its uid's.
        entry.uid = uidValue;
        Uid &uid = uids_[uidValue];
        uid.calls += entry.calls;
        uid.bytes += entry.bytes;
    }
    const Uid &uid = uids_[*entry.uid];
    std::optional<LimitReason> reason;
    if (uid.refusals >= auditedRefusalBurst)
        reason = LimitReason::UidRefusals;
    else if (uid.calls > maxWaitingCallsPerUid)
        reason = LimitReason::UidCalls;
    else if (uid.bytes > maxWaitingBytesPerUid)
        reason = LimitReason::UidBytes;
    if (!reason)
        return std::nullopt;
    release(name, bytes);
    Sender &again = sender(name);
    again.uid = uidValue;
    return refuse(again, *reason);
}

void CallLimits::release(const std::string &name, size_t bytes)
{
    const auto it = senders_.find(name);
    if (it == senders_.end() || it->second.calls == 0)
        return;
    Sender &entry = it->second;
    --entry.calls;
    entry.bytes -= std::min(entry.bytes, bytes);
    if (entry.uid) {
        Uid &uid = uids_[*entry.uid];
        uid.calls -= std::min<size_t>(uid.calls, 1);
        uid.bytes -= std::min(uid.bytes, bytes);
    }
    totalCalls_ -= std::min<size_t>(totalCalls_, 1);
    totalBytes_ -= std::min(totalBytes_, bytes);
    forgetIfIdle(name);
}

void CallLimits::spendRefusal(const std::string &name)
{
    Sender &entry = sender(name);
    ++entry.refusals;
    if (entry.uid)
        ++uids_[*entry.uid].refusals;
}

void CallLimits::nextSecond(const std::function<void(const RefusalSummary &)> &report)
{
    for (auto it = senders_.begin(); it != senders_.end();) {
        Sender &entry = it->second;
        if (entry.summary.total() > 0) {
            entry.summary.uid = entry.uid;
            report(entry.summary);
            entry.summary.counts.fill(0);
        }
        entry.refusals -= std::min(entry.refusals, auditedRefusalsPerSecond);
        if (entry.calls == 0 && entry.refusals == 0)
            it = senders_.erase(it);
        else
            ++it;
    }
    for (auto it = uids_.begin(); it != uids_.end();) {
        it->second.refusals -= std::min(it->second.refusals, auditedRefusalsPerSecond);
        if (it->second.calls == 0 && it->second.refusals == 0)
            it = uids_.erase(it);
        else
            ++it;
    }
}
