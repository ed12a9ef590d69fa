#include "policymgr_service.h"

#include <cerrno>
#include <malloc.h>

#include <QCoreApplication>

#include "delivery_recorder.h"
#include "front_end.h"
#include "input_validator.h"
#include "policy_loader.h"
#include "policy_manager.h"
#include "read_ahead.h"
#include "shared_constants.h"
#include <tavopolicysync/log.h>

namespace {

constexpr char nsLabel[] = "命名空间名称(ns_name)";
constexpr char secLabel[] = "策略段名称(sec_name)";
constexpr char varLabel[] = "变量名称(var_name)";
constexpr bool dynamicChangeFlag = true;
constexpr char nsRefused[] = "#ERROR: compileSectionPolicy 输入校验失败，ns_name不合法";
constexpr char secRefused[] = "#ERROR: compileSectionPolicy 输入校验失败，sec_name不合法";
constexpr char varNsRefused[] = "#ERROR: modifyDynamicVariable 输入校验失败，ns_name不合法";
constexpr char varRefused[] = "#ERROR: modifyDynamicVariable 输入校验失败，var_name不合法";
// The refusal budgets are renewed and the summaries written this often.
constexpr int refusalWindowMs = 1000;
// Free heap goes back to the system this long after the last call was
// answered (a flood's messages, a compile's records), not after each call.
constexpr int returnMemoryDelayMs = 500;
constexpr size_t intArgumentBytes = 4;
// The lines of a call refused for an over-long name: the validator's, the
// method's and the AUDIT line.
constexpr size_t namedRefusalLines = 3;

// Why a directory run failed, as the operator reads it.
void logDirectoryFailure(int result)
{
    switch (result) {
    case FileCompileError: TAVO_ERROR("#ERROR: 处理策略文件失败，存在语法编译错误"); break;
    case DirectoryClearFailed: TAVO_ERROR("#ERROR: 处理策略文件失败，数据构造错误"); break;
    case DirectoryWithoutPolicy: TAVO_ERROR("#ERROR: 处理策略文件失败，不存在以.p或.policy结尾的有效策略文件"); break;
    default: TAVO_ERROR("#ERROR: 处理策略文件失败，错误信息为 %d \n", result); break;
    }
}

void logSendResult(int rc)
{
    if (rc == 0)
        TAVO_INFO("#INFO: 策略同步成功");
    else if (const KernelResultText *text = kernelResultText(rc))
        TAVO_ERROR("#ERROR: 策略同步失败，%s", text->chinese);
    else
        TAVO_ERROR("#ERROR: 策略同步失败，错误码为 %d, 查看日志获取更多信息\n", rc);
}

} // namespace

// --- one call ----------------------------------------------------------------

MethodCall::MethodCall(sd_bus_message *message, SystemBus *bus) : message_(sd_bus_message_ref(message)), bus_(bus)
{
}

MethodCall::MethodCall(std::function<void(int)> answer) : answer_(std::move(answer)) {}

MethodCall::MethodCall(const MethodCall &other)
    : message_(other.message_ ? sd_bus_message_ref(other.message_) : nullptr), bus_(other.bus_),
      answer_(other.answer_)
{
}

MethodCall &MethodCall::operator=(const MethodCall &other)
{
    if (this != &other) {
        MethodCall copy(other);
        std::swap(message_, copy.message_);
        bus_ = copy.bus_;
        answer_ = copy.answer_;
    }
    return *this;
}

MethodCall::~MethodCall()
{
    if (message_)
        sd_bus_message_unref(message_);
}

std::string MethodCall::sender() const
{
    const char *sender = message_ ? sd_bus_message_get_sender(message_) : nullptr;
    return sender ? sender : std::string();
}

// A call sent without expecting a reply gets none (sd-bus sends nothing).
void MethodCall::reply(int result) const
{
    if (message_) {
        sd_bus_reply_method_return(message_, "i", static_cast<int32_t>(result));
        if (bus_)
            bus_->flushSoon();
    } else if (answer_) {
        answer_(result);
    }
}

void MethodCall::refuseOverLimit(LimitReason reason) const
{
    if (message_) {
        sd_bus_reply_method_errorf(message_, limitsExceededError,
                                   "Too many calls of this caller are waiting or were refused (%s); try again later",
                                   limitReasonText(reason));
        if (bus_)
            bus_->flushSoon();
    } else if (answer_) {
        answer_(MethodNotAuthorised);
    }
}

// --- the service -------------------------------------------------------------

ZupolicyPolicymgrService::ZupolicyPolicymgrService(SystemBus &bus, DeliveryRecorder &recorder)
    : connection(&bus), recorder_(recorder)
{
    if (!bus.isConnected())
        TAVO_ERROR("Failed to connect to D-Bus system bus");
    refusalSecond_.setInterval(refusalWindowMs);
    QObject::connect(&refusalSecond_, &QTimer::timeout, [this] { reportRefusals(); });
    returnMemory_.setSingleShot(true);
    returnMemory_.setInterval(returnMemoryDelayMs);
    QObject::connect(&returnMemory_, &QTimer::timeout, [this] {
        if (limits_.waitingCalls() == 0)
            malloc_trim(0);
    });
}

ZupolicyPolicymgrService::~ZupolicyPolicymgrService()
{
    stop();
    // The questions still out go first, while what they refer to lives.
    identityWaits_.clear();
    admitted_.clear();
}

bool ZupolicyPolicymgrService::followConnections()
{
    births_.whenGone([this](const std::string &sender) { connectionGone(sender); });
    return births_.subscribe(*connection);
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
    refusalSecond_.stop();
    returnMemory_.stop();
}

int ZupolicyPolicymgrService::processPolicyDirectory(bool initFunctions, const ImageTarget &target)
{
    // Resolved once: a directory whose link target moves later is refused.
    static const std::string prefix = canonicalDirectoryPrefix(policyDirectoryPath);
    PolicyDirectoryRun run;
    run.directory = policyDirectoryPath;
    run.prefix = prefix;
    run.stopAtFirstFailure = true;
    // The read-ahead is the step before a large file is expanded.
    ExpansionGate gate([&run, &target] {
        TAVO_INFO("###INFO: 策略文件展开后的记录较多，先检查全部策略是否在内核模块的限制之内");
        std::string error;
        if (readAheadLimits(run, target, error) == 0)
            return true;
        TAVO_ERROR("###ERROR: 策略超出内核模块的限制，拒绝编译: %s", error.c_str());
        return false;
    });
    run.gate = &gate;
    LibraryOutput library;
    run.onSource = recorder_.startCompile(library);
    // The parse state lives for this run only.
    FrontEnd frontEnd(recorder_.output());
    library.expandIn(frontEnd.state());
    return ::processPolicyDirectory(frontEnd, run, initFunctions);
}

std::optional<uint64_t> ZupolicyPolicymgrService::admit(const MethodCall &call, const char *method, bool checkModule,
                                                        std::initializer_list<NameArgument> names,
                                                        size_t argumentBytes)
{
    if (stopped_)
        return std::nullopt;
    const std::string sender = callerSender(call);
    if (!refusalSecond_.isActive())
        refusalSecond_.start();
    // The uid of a connection the bus daemon has told of already: its caps
    // and budget apply before anything else.
    const std::optional<Credentials> known = births_.credentials(sender);
    const std::optional<uint32_t> uid = known ? std::optional<uint32_t>(known->uid) : std::nullopt;
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
        returnFreeMemorySoon();
        return std::nullopt;
    }
    const size_t bytes = waitingCallOverheadBytes + argumentBytes;
    // A full pool of callers not yet known gives up a call of the caller
    // that filled it most, not this one.
    if (!uid)
        if (const std::optional<std::string> holder = limits_.makeRoomFor(sender))
            dropUnidentifiedCall(*holder);
    if (const std::optional<LimitReason> over = limits_.admit(sender, uid, bytes)) {
        call.refuseOverLimit(*over);
        return std::nullopt;
    }
    const uint64_t sequence = nextSequence_++;
    admitted_.emplace(sequence, Admitted{call, method, sender, bytes, uid, Operation(), std::nullopt, false, nullptr});
    return sequence;
}

void ZupolicyPolicymgrService::authorise(uint64_t sequence, Operation operation)
{
    const auto it = admitted_.find(sequence);
    if (it == admitted_.end())
        return;
    it->second.operation = std::move(operation);
    checkAuth(it->second.sender, it->second.method, sequence,
              [this, sequence](Verdict verdict, uint32_t uid, LimitReason limit) {
                  authorised(sequence, verdict, uid, limit);
              });
}

void ZupolicyPolicymgrService::authorised(uint64_t sequence, Verdict verdict, uint32_t uid, LimitReason limit)
{
    const auto it = admitted_.find(sequence);
    if (it == admitted_.end())
        return;
    Admitted &entry = it->second;
    switch (verdict) {
    case Verdict::Allowed:
        // A call that is taken always has its lines written.
        writeLines(entry.auth);
        entry.authorised = CallerIdentity{uid, entry.sender};
        break;
    case Verdict::OverLimit:
        // The uid's caps refused it: it no longer counts as waiting, and
        // its lines are counted in the summary.
        entry.call.refuseOverLimit(limit);
        admitted_.erase(it);
        break;
    case Verdict::Refused:
        if (limits_.refused(entry.uid, linesOf(entry.auth) + 1)) {
            writeLines(entry.auth);
            TAVO_ERROR("#ERROR: auth failed for sender %s, method %s", entry.sender.c_str(), entry.method);
        }
        limits_.release(entry.sender, entry.uid, entry.bytes);
        entry.call.reply(MethodNotAuthorised);
        admitted_.erase(it);
        returnFreeMemorySoon();
        break;
    }
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
    limits_.release(it->second.sender, it->second.uid, it->second.bytes);
    it->second.call.reply(result);
    admitted_.erase(it);
    returnFreeMemorySoon();
}

void ZupolicyPolicymgrService::reportRefusals()
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
    returnFreeMemorySoon();
}

void ZupolicyPolicymgrService::returnFreeMemorySoon()
{
    if (limits_.waitingCalls() == 0 && !returnMemory_.isActive() && !stopped_)
        returnMemory_.start();
}

// --- the five methods --------------------------------------------------------

void ZupolicyPolicymgrService::compilePolicy(MethodCall call)
{
    if (const auto sequence = admit(call, "compilePolicy", true, {}, 0))
        authorise(*sequence, [this](const CallerIdentity &caller) {
            return compileAll(caller, "#INFO: 开始全量策略编译", false);
        });
}

void ZupolicyPolicymgrService::compileInitPolicy(MethodCall call)
{
    if (const auto sequence = admit(call, "compileInitPolicy", false, {}, 0))
        authorise(*sequence, [this](const CallerIdentity &caller) {
            return compileAll(caller, "#INFO: 开始初始化策略编译", true);
        });
}

void ZupolicyPolicymgrService::compileSectionPolicy(MethodCall call, std::string_view ns_name,
                                                    std::string_view sec_name)
{
    if (const auto sequence = admit(call, "compileSectionPolicy", true,
                                    {{ns_name, nsLabel, nsRefused}, {sec_name, secLabel, secRefused}},
                                    ns_name.size() + sec_name.size()))
        authorise(*sequence, [this, ns = std::string(ns_name), section = std::string(sec_name)](
                                 const CallerIdentity &caller) { return compileSection(caller, ns, section); });
}

void ZupolicyPolicymgrService::sendPolicy(MethodCall call)
{
    if (const auto sequence = admit(call, "sendPolicy", true, {}, 0))
        authorise(*sequence, [this](const CallerIdentity &caller) { return deliver(caller); });
}

void ZupolicyPolicymgrService::modifyDynamicVariable(MethodCall call, std::string_view ns_name,
                                                     std::string_view var_name, int32_t var_value)
{
    if (const auto sequence = admit(call, "modifyDynamicVariable", true,
                                    {{ns_name, nsLabel, varNsRefused}, {var_name, varLabel, varRefused}},
                                    ns_name.size() + var_name.size() + intArgumentBytes))
        authorise(*sequence, [this, ns = std::string(ns_name), var = std::string(var_name),
                              var_value](const CallerIdentity &caller) {
            return modifyVariable(caller, ns, var, var_value);
        });
}

// --- the operations, on the worker -------------------------------------------

int ZupolicyPolicymgrService::compileAll(const CallerIdentity &caller, const char *startLine, bool initial)
{
    TAVO_INFO("%s", startLine);
    const tavo_image::ImageKind kind = initial ? tavo_image::ImageKind::Initial : tavo_image::ImageKind::Full;
    const int r = processPolicyDirectory(false, ImageTarget{kind, {}, {}});
    // Refused ahead, as the compile would have refused it.
    if (r == DirectoryOverModuleLimits) {
        TAVO_ERROR("#ERROR: 策略编译失败，数据解析错误");
        return MethodCompileFailed;
    }
    if (r != 0) {
        logDirectoryFailure(r);
        return r;
    }
    TAVO_INFO("#INFO: 策略文件处理成功");
    if ((initial ? policyManager().compileInitData() : policyManager().compileData()) != 0) {
        TAVO_ERROR("#ERROR: 策略编译失败，数据解析错误");
        return MethodCompileFailed;
    }
    TAVO_INFO("#INFO: 策略文件编译成功");
    return recorder_.compiled(initial ? DeliveryRecorder::CompileKind::Initial : DeliveryRecorder::CompileKind::Full,
                              caller.uid, MethodSucceeded);
}

int ZupolicyPolicymgrService::compileSection(const CallerIdentity &caller, const std::string &ns,
                                             const std::string &section)
{
    TAVO_INFO("#INFO: 开始增量策略编译");
    if (const int invalid = validate_name_param(ns, nameLengthLimit, nsLabel)) {
        TAVO_ERROR("%s", nsRefused);
        return invalid;
    }
    if (const int invalid = validate_name_param(section, nameLengthLimit, secLabel)) {
        TAVO_ERROR("%s", secRefused);
        return invalid;
    }
    const int r = processPolicyDirectory(true, ImageTarget{tavo_image::ImageKind::Section, ns, section});
    // Refused ahead, with the library's answer to a policy the module would
    // not take.
    if (r == DirectoryOverModuleLimits)
        return EINVAL;
    if (r != 0) {
        logDirectoryFailure(r);
        return r;
    }
    TAVO_INFO("#INFO: 策略文件处理成功");
    return recorder_.sectionCompiled(ns, section, caller.uid, policyManager().compileSectionPolicy(ns, section));
}

int ZupolicyPolicymgrService::deliver(const CallerIdentity &caller)
{
    TAVO_INFO("#INFO: 开始策略同步");
    return recorder_.send(caller.uid, [] {
        const int rc = policyManager().sendPolicy();
        logSendResult(rc);
        return rc;
    });
}

int ZupolicyPolicymgrService::modifyVariable(const CallerIdentity &caller, const std::string &ns,
                                             const std::string &var, int32_t value)
{
    if (static_cast<uint32_t>(value) > 1) {
        TAVO_ERROR("#ERROR: modifyDynamicVariable var_value invalid, must be 0 or 1, received %d", value);
        return MethodRefusedInput;
    }
    if (validate_name_param(ns, nameLengthLimit, nsLabel) != 0) {
        TAVO_ERROR("%s", varNsRefused);
        return MethodRefusedInput;
    }
    if (validate_name_param(var, nameLengthLimit, varLabel) != 0) {
        TAVO_ERROR("%s", varRefused);
        return MethodRefusedInput;
    }
    return recorder_.changeDynamic(ns, var, static_cast<uint32_t>(value), caller.uid, [&] {
        const int rc =
            policyManager().modifyDynamicVariable(ns, var, static_cast<uint32_t>(value), dynamicChangeFlag);
        if (rc != 0)
            TAVO_INFO("#INFO: 修改动态变量[%s:%s] = %d 失败", ns.c_str(), var.c_str(), value);
        else
            TAVO_INFO("#INFO: 修改动态变量[%s:%s] = %d 成功", ns.c_str(), var.c_str(), value);
        return rc;
    });
}
