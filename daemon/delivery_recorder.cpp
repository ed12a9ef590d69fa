#include "delivery_recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <pwd.h>

#include <tavopolicysync/log.h>

#include "bounded_read.h"
#include "passwd_lookup.h"

namespace {

constexpr char inForceLabel[] = "生效策略";

bool sameSection(const RecordedPolicy &a, const std::string &nsName, const std::string &section)
{
    return a.nsName == nsName && a.section == section;
}

} // namespace

DeliveryRecorder::DeliveryRecorder(std::string inForceDirectory, std::string initialDirectory,
                                   std::string initialImage)
    : inForce_(std::move(inForceDirectory), false),
      initial_(std::move(initialDirectory), true),
      initialImage_(std::move(initialImage))
{
}

SourceHook DeliveryRecorder::startCompile(PolicyOutput &library)
{
    pending_.reset();
    identity_.emplace(&library);
    collecting_ = Snapshot();
    return [this](const CompiledSource &source, std::string &content) {
        try {
            collecting_.sources.push_back(RecordSource{source.name, source.sha256, content.size()});
            // Kept as read, not copied: the run is done with them.
            if (collecting_.bytes.find(source.sha256) == collecting_.bytes.end())
                collecting_.bytes.emplace(source.sha256, std::move(content));
        } catch (const std::bad_alloc &) {
            // The compile goes on; what it delivers is then recorded as
            // a policy whose sources are not known.
            collecting_.complete = false;
        }
    };
}

void DeliveryRecorder::endCompile()
{
    if (!identity_)
        return;
    try {
        collecting_.groups = identity_->identity().groups();
    } catch (const std::bad_alloc &) {
        collecting_.complete = false;
    }
    identity_.reset();
}

RecordStep DeliveryRecorder::step(const char *method, uint32_t uid) const
{
    return RecordStep{static_cast<int64_t>(time(nullptr)), method, uid, userNameOf(uid).value_or(std::string())};
}

bool DeliveryRecorder::takePending(RecordedPolicy::Kind kind, const char *method, uint32_t uid)
{
    Snapshot snapshot = std::move(collecting_);
    collecting_ = Snapshot();
    if (!snapshot.complete)
        return false;
    Pending p;
    p.policy.kind = kind;
    p.policy.compiled = step(method, uid);
    p.policy.sources = std::move(snapshot.sources);
    p.policy.groups = std::move(snapshot.groups);
    p.bytes = std::move(snapshot.bytes);
    pending_ = std::move(p);
    return true;
}

int DeliveryRecorder::compiled(CompileKind kind, uint32_t uid, int result)
{
    if (result != 0)
        return result;
    const bool initial = kind == CompileKind::Initial;
    if (!takePending(initial ? RecordedPolicy::Kind::Initial : RecordedPolicy::Kind::Full,
                     initial ? "compileInitPolicy" : "compilePolicy", uid))
        return result;
    if (initial)
        storeInitial();
    return result;
}

int DeliveryRecorder::sectionCompiled(const std::string &nsName, const std::string &section, uint32_t uid, int result)
{
    if (result != 0 || !takePending(RecordedPolicy::Kind::Section, "compileSectionPolicy", uid))
        return result;
    RecordedPolicy &p = pending_->policy;
    p.nsName = nsName;
    p.section = section;
    p.groups.erase(std::remove_if(p.groups.begin(), p.groups.end(),
                                  [&](const RuleGroup &g) { return g.nsName != nsName || g.section != section; }),
                   p.groups.end());
    return result;
}

void DeliveryRecorder::storeInitial()
{
    // Tied to the image the library stored: tavo-main-policy-init delivers
    // that file and records this only when the file is still the one hashed.
    std::string image;
    const int rc = readRegularFile(initialImage_, maxSourceBytes, image);
    if (rc == 0)
        pending_->policy.image = Sha256::of(image);
    else
        TAVO_WARN("初始策略记录无法关联初始策略镜像 %s: %s", initialImage_.c_str(), strerror(rc));
    const RecordedPolicy policy = pending_->policy;
    store(initial_, [&policy](PolicyRecord &record, bool) {
        record = PolicyRecord();
        record.delivery = policy;
    }, "初始策略");
}

const std::string *DeliveryRecorder::pendingBytes(const Sha256Digest &blob) const
{
    if (!pending_)
        return nullptr;
    const auto found = pending_->bytes.find(blob);
    return found == pending_->bytes.end() ? nullptr : &found->second;
}

void DeliveryRecorder::store(RecordStore &target, const std::function<void(PolicyRecord &, bool)> &change,
                             const char *what)
{
    std::string problem;
    const int rc = target.update(change, [this](const Sha256Digest &blob) { return pendingBytes(blob); }, problem);
    if (rc != 0)
        TAVO_WARN("%s记录失败: %s", what, problem.c_str());
    else
        TAVO_DEBUG("%s记录已更新: %s/record", what, target.directory().c_str());
}

int DeliveryRecorder::around(const PendingChange &what, const RecordStep &started, const ModuleStep &moduleStep,
                             const std::function<void(PolicyRecord &, bool)> &change)
{
    RecordChange recording(inForce_);
    std::string problem;
    if (recording.mark(what, started, problem) != 0)
        TAVO_WARN("%s记录失败: %s", inForceLabel, problem.c_str());
    const int result = moduleStep();
    problem.clear();
    if (result != 0) {
        if (recording.restore(problem) != 0)
            TAVO_WARN("%s记录失败: %s", inForceLabel, problem.c_str());
        return result;
    }
    if (recording.complete(change, [this](const Sha256Digest &blob) { return pendingBytes(blob); }, problem) != 0)
        TAVO_WARN("%s记录失败: %s; recorded as unknown", inForceLabel, problem.c_str());
    else
        TAVO_DEBUG("%s记录已更新: %s/record", inForceLabel, inForce_.directory().c_str());
    return result;
}

int DeliveryRecorder::send(uint32_t uid, const ModuleStep &moduleStep)
{
    const RecordStep started = step("sendPolicy", uid);
    PendingChange what;
    if (pending_) {
        const RecordedPolicy &p = pending_->policy;
        switch (p.kind) {
        case RecordedPolicy::Kind::Section:
            what.kind = PendingChange::Kind::Section;
            what.nsName = p.nsName;
            what.section = p.section;
            break;
        case RecordedPolicy::Kind::Initial:
        case RecordedPolicy::Kind::Full: {
            what.kind = p.kind == RecordedPolicy::Kind::Full ? PendingChange::Kind::Full
                                                             : PendingChange::Kind::Initial;
            PolicyRecord delivered;
            delivered.delivery = p;
            what.identity = delivered.identity();
            break;
        }
        case RecordedPolicy::Kind::Unknown: break;
        }
    }
    return around(what, started, moduleStep, [this, &started](PolicyRecord &record, bool) {
        // The caller's name as looked up when the step began.
        RecordStep delivered = started;
        delivered.time = static_cast<int64_t>(time(nullptr));
        if (!pending_) {
            // The library delivered something this daemon did not see compile.
            record = PolicyRecord();
            record.delivery.delivered = delivered;
            return;
        }
        RecordedPolicy policy = pending_->policy;
        policy.delivered = delivered;
        if (policy.kind != RecordedPolicy::Kind::Section) {
            record = PolicyRecord();
            record.delivery = std::move(policy);
            return;
        }
        std::vector<RecordedPolicy> &sections = record.sections;
        sections.erase(std::remove_if(sections.begin(), sections.end(),
                                      [&](const RecordedPolicy &s) {
                                          return sameSection(s, policy.nsName, policy.section);
                                      }),
                       sections.end());
        sections.push_back(std::move(policy));
    });
}

int DeliveryRecorder::changeDynamic(const std::string &nsName, const std::string &variable, uint32_t value,
                                    uint32_t uid, const ModuleStep &moduleStep)
{
    PendingChange what;
    what.kind = PendingChange::Kind::Dynamic;
    what.nsName = nsName;
    what.variable = variable;
    what.value = value;
    const RecordStep started = step("modifyDynamicVariable", uid);
    return around(what, started, moduleStep, [&](PolicyRecord &record, bool) {
        DynamicChange change{nsName, variable, value, started};
        change.step.time = static_cast<int64_t>(time(nullptr));
        std::vector<DynamicChange> &dynamics = record.dynamics;
        dynamics.erase(std::remove_if(dynamics.begin(), dynamics.end(),
                                      [&](const DynamicChange &d) {
                                          return d.nsName == change.nsName && d.variable == change.variable;
                                      }),
                       dynamics.end());
        dynamics.push_back(change);
    });
}
