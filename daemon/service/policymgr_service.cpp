#include "policymgr_service.h"

#include <malloc.h>

#include <QCoreApplication>

#include "delivery_recorder.h"
#include <tavopolicysync/log.h>

namespace {

// Free heap goes back to the system this long after the last call was
// answered (a flood's messages, a compile's records), not after each call.
constexpr int returnMemoryDelayMs = 500;
constexpr size_t intArgumentBytes = 4;

} // namespace

ZupolicyPolicymgrService::ZupolicyPolicymgrService(SystemBus &bus, DeliveryRecorder &recorder,
                                                   SystemBus *questions)
    : connection_(&bus),
      authorisation_(bus, questions ? *questions : bus,
                     [this](uint64_t sequence, uint32_t uid) { return identified(sequence, uid); }),
      admission_([this](const std::string &holder) { dropUnidentifiedCall(holder); },
                 [this] { returnFreeMemorySoon(); }),
      operations_(recorder)
{
    if (!bus.isConnected())
        TAVO_ERROR("Failed to connect to D-Bus system bus");
    returnMemory_.setSingleShot(true);
    returnMemory_.setInterval(returnMemoryDelayMs);
    QObject::connect(&returnMemory_, &QTimer::timeout, [this] {
        if (admission_.waitingCalls() == 0)
            malloc_trim(0);
    });
}

ZupolicyPolicymgrService::~ZupolicyPolicymgrService()
{
    stop();
    // The questions still out go first, while what they refer to lives.
    authorisation_.clear();
    admitted_.clear();
}

void ZupolicyPolicymgrService::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    worker_.stop();
    // The result of the operation that was running is posted: answer it.
    if (QCoreApplication::instance())
        QCoreApplication::sendPostedEvents();
    admission_.stop();
    returnMemory_.stop();
}

std::optional<uint64_t> ZupolicyPolicymgrService::admit(const MethodCall &call, const char *method, bool checkModule,
                                                        std::initializer_list<NameArgument> names,
                                                        size_t argumentBytes)
{
    if (stopped_)
        return std::nullopt;
    const std::string sender = call.sender();
    const std::optional<uint32_t> uid = authorisation_.knownUid(sender);
    const std::optional<size_t> bytes =
        admission_.admit(call, method, sender, uid, checkModule, names, argumentBytes);
    if (!bytes)
        return std::nullopt;
    const uint64_t sequence = nextSequence_++;
    admitted_.emplace(sequence, Admitted{call, method, sender, *bytes, uid, Operation(), std::nullopt, false});
    return sequence;
}

void ZupolicyPolicymgrService::authorise(uint64_t sequence, Operation operation)
{
    const auto it = admitted_.find(sequence);
    if (it == admitted_.end())
        return;
    it->second.operation = std::move(operation);
    authorisation_.check(sequence, it->second.sender, it->second.method,
                         [this, sequence](Verdict verdict, uint32_t uid, LimitReason limit, AuthLines lines) {
                             authorised(sequence, verdict, uid, limit, lines);
                         });
}

std::optional<LimitReason> ZupolicyPolicymgrService::identified(uint64_t sequence, uint32_t uid)
{
    const auto it = admitted_.find(sequence);
    if (it == admitted_.end() || it->second.uid)
        return std::nullopt;
    Admitted &entry = it->second;
    if (const std::optional<LimitReason> over = admission_.identify(entry.sender, uid, entry.bytes))
        return over;
    entry.uid = uid;
    return std::nullopt;
}

void ZupolicyPolicymgrService::authorised(uint64_t sequence, Verdict verdict, uint32_t uid, LimitReason limit,
                                          const AuthLines &lines)
{
    const auto it = admitted_.find(sequence);
    if (it == admitted_.end())
        return;
    Admitted &entry = it->second;
    switch (verdict) {
    case Verdict::Allowed:
        // A call that is taken always has its lines written.
        writeAuthLines(lines);
        entry.authorised = CallerIdentity{uid, entry.sender};
        break;
    case Verdict::OverLimit:
        // The uid's caps refused it: it no longer counts as waiting, and
        // its lines are counted in the summary.
        entry.call.refuseOverLimit(limit);
        admitted_.erase(it);
        break;
    case Verdict::Refused:
        if (admission_.refused(entry.uid, lines.size() + 1)) {
            writeAuthLines(lines);
            TAVO_ERROR("#ERROR: auth failed for sender %s, method %s", entry.sender.c_str(), entry.method);
        }
        admission_.release(entry.sender, entry.uid, entry.bytes);
        entry.call.reply(MethodNotAuthorised);
        admitted_.erase(it);
        returnFreeMemorySoon();
        break;
    }
    runReadyOperations();
}

void ZupolicyPolicymgrService::dropUnidentifiedCall(const std::string &sender)
{
    const std::optional<uint64_t> sequence = authorisation_.dropNewestUnidentified(sender);
    if (!sequence)
        return;
    const auto it = admitted_.find(*sequence);
    if (it == admitted_.end())
        return;
    Admitted &entry = it->second;
    admission_.release(entry.sender, entry.uid, entry.bytes);
    entry.call.refuseOverLimit(LimitReason::UnidentifiedCalls);
    admitted_.erase(it);
    runReadyOperations();
}

void ZupolicyPolicymgrService::runReadyOperations()
{
    for (auto &[sequence, entry] : admitted_) {
        if (entry.handedOver)
            continue;
        // Strictly in arrival order: a later call waits for an earlier one
        // still being authorised.
        if (!entry.authorised)
            break;
        entry.handedOver = true;
        const uint64_t done = sequence;
        worker_.submit([operation = entry.operation, caller = *entry.authorised] { return operation(caller); },
                       [this, done](int result) { finished(done, result); });
    }
}

void ZupolicyPolicymgrService::finished(uint64_t sequence, int result)
{
    const auto it = admitted_.find(sequence);
    if (it == admitted_.end())
        return;
    admission_.release(it->second.sender, it->second.uid, it->second.bytes);
    it->second.call.reply(result);
    admitted_.erase(it);
    returnFreeMemorySoon();
}

void ZupolicyPolicymgrService::returnFreeMemorySoon()
{
    if (admission_.waitingCalls() == 0 && !returnMemory_.isActive() && !stopped_)
        returnMemory_.start();
}

// --- the five methods --------------------------------------------------------

void ZupolicyPolicymgrService::compilePolicy(MethodCall call)
{
    if (const auto sequence = admit(call, "compilePolicy", true, {}, 0))
        authorise(*sequence, [this](const CallerIdentity &caller) { return operations_.compileAll(caller, false); });
}

void ZupolicyPolicymgrService::compileInitPolicy(MethodCall call)
{
    if (const auto sequence = admit(call, "compileInitPolicy", false, {}, 0))
        authorise(*sequence, [this](const CallerIdentity &caller) { return operations_.compileAll(caller, true); });
}

void ZupolicyPolicymgrService::compileSectionPolicy(MethodCall call, std::string_view ns_name,
                                                    std::string_view sec_name)
{
    if (const auto sequence = admit(call, "compileSectionPolicy", true,
                                    {{ns_name, nsLabel, nsRefused}, {sec_name, secLabel, secRefused}},
                                    ns_name.size() + sec_name.size()))
        authorise(*sequence,
                  [this, ns = std::string(ns_name), section = std::string(sec_name)](const CallerIdentity &caller) {
                      return operations_.compileSection(caller, ns, section);
                  });
}

void ZupolicyPolicymgrService::sendPolicy(MethodCall call)
{
    if (const auto sequence = admit(call, "sendPolicy", true, {}, 0))
        authorise(*sequence, [this](const CallerIdentity &caller) { return operations_.deliver(caller); });
}

void ZupolicyPolicymgrService::modifyDynamicVariable(MethodCall call, std::string_view ns_name,
                                                     std::string_view var_name, int32_t var_value)
{
    if (const auto sequence = admit(call, "modifyDynamicVariable", true,
                                    {{ns_name, nsLabel, varNsRefused}, {var_name, varLabel, varRefused}},
                                    ns_name.size() + var_name.size() + intArgumentBytes))
        authorise(*sequence, [this, ns = std::string(ns_name), var = std::string(var_name),
                              var_value](const CallerIdentity &caller) {
            return operations_.modifyVariable(caller, ns, var, var_value);
        });
}
