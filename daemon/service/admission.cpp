#include "admission.h"

#include <utility>

#include "input_validator.h"
#include "shared_constants.h"
#include <tavopolicysync/log.h>

namespace {

// The refusal budgets are renewed and the summaries written this often.
constexpr int refusalWindowMs = 1000;
// The lines of a call refused for an over-long name: the validator's, the
// method's and the AUDIT line.
constexpr size_t namedRefusalLines = 3;

} // namespace

Admission::Admission(MakeRoom makeRoom, Settled settled)
    : makeRoom_(std::move(makeRoom)), settled_(std::move(settled))
{
    refusalSecond_.setInterval(refusalWindowMs);
    QObject::connect(&refusalSecond_, &QTimer::timeout, [this] { reportRefusals(); });
}

std::optional<size_t> Admission::admit(const MethodCall &call, const char *method, const std::string &sender,
                                       std::optional<uint32_t> uid, bool checkModule,
                                       std::initializer_list<NameArgument> names, size_t argumentBytes)
{
    if (!refusalSecond_.isActive())
        refusalSecond_.start();
    // The caps and budget of a uid already known apply before anything else.
    if (const std::optional<LimitReason> over = limits_.overBudget(uid)) {
        call.refuseOverLimit(*over);
        return std::nullopt;
    }
    // The module's own line is a refusal's line too: within the budget.
    if (checkModule && !tavoModulePresent()) {
        if (limits_.refused(uid, 2)) {
            TAVO_ERROR("%s", moduleAbsentLine);
            TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, refused before authorisation: tavo module not loaded",
                       method, sender.c_str());
        }
        call.reply(MethodRefusedInput);
        return std::nullopt;
    }
    for (const NameArgument &name : names) {
        if (name.value.size() <= nameLengthLimit)
            continue;
        if (limits_.refused(uid, namedRefusalLines)) {
            validate_name_param(std::string(name.value), nameLengthLimit, name.label);
            TAVO_ERROR("%s", name.refusedLine);
            TAVO_ERROR("AUDIT FAIL: method=%s, sender=%s, refused before authorisation: %s longer than %zu bytes",
                       method, sender.c_str(), name.label, static_cast<size_t>(nameLengthLimit));
        }
        call.reply(MethodRefusedInput);
        settled_();
        return std::nullopt;
    }
    const size_t bytes = waitingCallOverheadBytes + argumentBytes;
    // A full pool of callers not yet known gives up a call of the caller
    // that filled it most, not this one.
    if (!uid)
        if (const std::optional<std::string> holder = limits_.makeRoomFor(sender))
            makeRoom_(*holder);
    if (const std::optional<LimitReason> over = limits_.admit(sender, uid, bytes)) {
        call.refuseOverLimit(*over);
        return std::nullopt;
    }
    return bytes;
}

void Admission::reportRefusals()
{
    limits_.nextSecond([](const RefusalSummary &summary) {
        std::string reasons;
        const auto add = [&reasons](const std::string &what, uint64_t count) {
            if (count == 0)
                return;
            if (!reasons.empty())
                reasons += ", ";
            reasons += what + " (" + std::to_string(count) + ")";
        };
        for (size_t i = 0; i < limitReasonCount; ++i)
            add(std::string("over the ") + limitReasonText(static_cast<LimitReason>(i)), summary.counts[i]);
        add("refused when checked", summary.unlogged);
        const auto total = static_cast<unsigned long long>(summary.total());
        if (summary.uids > 1) {
            TAVO_ERROR("AUDIT FAIL: %zu more uids, %llu calls refused in the last second without their lines: %s",
                       summary.uids, total, reasons.c_str());
            return;
        }
        const std::string uid = summary.uid ? std::to_string(*summary.uid) : std::string("unknown");
        TAVO_ERROR("AUDIT FAIL: uid=%s, %llu calls refused in the last second without their lines: %s", uid.c_str(),
                   total, reasons.c_str());
    });
    if (limits_.idle())
        refusalSecond_.stop();
    settled_();
}
