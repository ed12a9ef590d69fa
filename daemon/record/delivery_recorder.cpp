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

bool sameSection(const RecordedPolicy &a, const std::string &nsName, const std::string &section)
{
    return a.nsName == nsName && a.section == section;
}

} // namespace

DeliveryRecorder::DeliveryRecorder(std::string inForceDirectory, std::string initialDirectory,
                                   std::string initialImage)
    : inForce_(std::move(inForceDirectory), false),
      initial_(std::move(initialDirectory), true),
      initialImage_(std::move(initialImage)),
      identity_(&libraryOutput())
{
}

DeliveryRecorder &deliveryRecorder()
{
    static DeliveryRecorder recorder;
    return recorder;
}

SourceHook DeliveryRecorder::startCompile()
{
    pending_.reset();
    collecting_ = Snapshot();
    return [this](const CompiledSource &source, const std::string &content) {
        try {
            collecting_.sources.push_back(RecordSource{source.name, source.sha256, content.size()});
            collecting_.bytes.emplace(source.sha256, content);
        } catch (const std::bad_alloc &) {
            // The compile goes on; what it delivers is then recorded as
            // a policy whose sources are not known.
            collecting_.complete = false;
        }
    };
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
    p.policy.groups = identity_.identity().groups();
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

void DeliveryRecorder::store(RecordStore &target, const std::function<void(PolicyRecord &, bool)> &change,
                             const char *what)
{
    const std::map<Sha256Digest, std::string> *bytes = pending_ ? &pending_->bytes : nullptr;
    std::string problem;
    const int rc = target.update(change, [bytes](const Sha256Digest &blob) -> const std::string * {
        if (!bytes)
            return nullptr;
        const auto found = bytes->find(blob);
        return found == bytes->end() ? nullptr : &found->second;
    }, problem);
    if (rc != 0)
        TAVO_WARN("%s记录失败: %s", what, problem.c_str());
    else
        TAVO_DEBUG("%s记录已更新: %s/record", what, target.directory().c_str());
}

int DeliveryRecorder::sent(uint32_t uid, int result)
{
    if (result != 0)
        return result;
    const RecordStep delivered = step("sendPolicy", uid);
    if (!pending_) {
        // The library delivered something this daemon did not see compile.
        store(inForce_, [&delivered](PolicyRecord &record, bool) {
            record = PolicyRecord();
            record.delivery.delivered = delivered;
        }, "生效策略");
        return result;
    }
    RecordedPolicy policy = pending_->policy;
    policy.delivered = delivered;
    if (policy.kind != RecordedPolicy::Kind::Section) {
        store(inForce_, [&policy](PolicyRecord &record, bool) {
            record = PolicyRecord();
            record.delivery = policy;
        }, "生效策略");
        return result;
    }
    store(inForce_, [&policy](PolicyRecord &record, bool) {
        std::vector<RecordedPolicy> &sections = record.sections;
        sections.erase(std::remove_if(sections.begin(), sections.end(),
                                      [&](const RecordedPolicy &s) {
                                          return sameSection(s, policy.nsName, policy.section);
                                      }),
                       sections.end());
        sections.push_back(policy);
    }, "生效策略");
    return result;
}

int DeliveryRecorder::dynamicChanged(const std::string &nsName, const std::string &variable, uint32_t value,
                                     uint32_t uid, int result)
{
    if (result != 0)
        return result;
    const DynamicChange change{nsName, variable, value, step("modifyDynamicVariable", uid)};
    store(inForce_, [&change](PolicyRecord &record, bool) {
        std::vector<DynamicChange> &dynamics = record.dynamics;
        dynamics.erase(std::remove_if(dynamics.begin(), dynamics.end(),
                                      [&](const DynamicChange &d) {
                                          return d.nsName == change.nsName && d.variable == change.variable;
                                      }),
                       dynamics.end());
        dynamics.push_back(change);
    }, "生效策略");
    return result;
}
