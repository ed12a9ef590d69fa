// The daemon's record of what it delivered: between a compile and the
// delivery that follows it, the compile's identity and sources are kept
// here; a delivery, a section update or a change of a dynamic variable is
// marked in /run/tavo before the module is written to and recorded once it
// answered (and the initial policy's record is written beside its image).
// Each handler makes one call, passing its result through; a step the
// module refused leaves the record as it was.
#ifndef TAVO_DELIVERY_RECORDER_H
#define TAVO_DELIVERY_RECORDER_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "identity_output.h"
#include "policy_loader.h"
#include "record_format.h"
#include "record_store.h"

class DeliveryRecorder {
public:
    enum class CompileKind { Full, Initial };

    DeliveryRecorder(std::string inForceDirectory = inForceRecordDirectory,
                     std::string initialDirectory = initialRecordDirectory,
                     std::string initialImage = initialImageFile);

    // A compile starts, and the library drops what it compiled before:
    // nothing is pending any more. The sources are taken through the hook
    // returned, which the directory run calls, and the identity through
    // output(), the output of the run's front end, which hands everything
    // on to `library` (not owned, to live as long as the compile; the
    // daemon's hands on to the library on a second thread).
    SourceHook startCompile(PolicyOutput &library);
    // Takes the identity of the rules on their way to the library.
    PolicyOutput &output() { return *identity_; }
    // The compile is over, before `library` goes: its identity is kept and
    // the output that handed on to `library` goes.
    void endCompile();

    // The handlers' results, each returned unchanged. `uid` is the caller's.
    int compiled(CompileKind kind, uint32_t uid, int result);
    int sectionCompiled(const std::string &nsName, const std::string &section, uint32_t uid, int result);
    // The steps of the module: `step` writes to it and gives its result,
    // which is returned unchanged; the record is marked before and written
    // after.
    using ModuleStep = std::function<int()>;
    int send(uint32_t uid, const ModuleStep &step);
    int changeDynamic(const std::string &nsName, const std::string &variable, uint32_t value, uint32_t uid,
                      const ModuleStep &step);

private:
    struct Snapshot {
        std::vector<RecordSource> sources;
        std::map<Sha256Digest, std::string> bytes;
        std::vector<RuleGroup> groups;
        bool complete = true;
    };
    struct Pending {
        RecordedPolicy policy;
        std::map<Sha256Digest, std::string> bytes;
    };

    RecordStep step(const char *method, uint32_t uid) const;
    bool takePending(RecordedPolicy::Kind kind, const char *method, uint32_t uid);
    void storeInitial();
    void store(RecordStore &target, const std::function<void(PolicyRecord &, bool)> &change, const char *what);
    // Marks the record, runs `moduleStep`, then records `change` when the
    // module took it or puts the record back when it refused.
    int around(const PendingChange &what, const RecordStep &started, const ModuleStep &moduleStep,
               const std::function<void(PolicyRecord &, bool)> &change);
    const std::string *pendingBytes(const Sha256Digest &blob) const;

    RecordStore inForce_;
    RecordStore initial_;
    std::string initialImage_;
    std::optional<IdentityOutput> identity_;
    Snapshot collecting_;
    std::optional<Pending> pending_;
};

#endif
