#include "status.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <thread>
#include <optional>
#include <vector>

#include "bounded_read.h"
#include "front_end.h"
#include "identity_output.h"
#include "input_validator.h"
#include "loaded.h"
#include "policy_loader.h"
#include "record_store.h"
#include "report_text.h"
#include "unique_fd.h"

namespace {

constexpr int exitOutputNotWritten = 74;
constexpr mode_t outputMode = 0644;
// Rounds of making the status while what it is made of keeps changing.
constexpr int maxStatusRounds = 5;
// How long a status written to a file waits for a change that came just
// after it, how often it looks, and how many times it writes at most (the
// path unit and the timer take over from then).
constexpr auto outputSettleTime = std::chrono::seconds(2);
constexpr auto outputSettlePoll = std::chrono::milliseconds(100);
constexpr int maxOutputRounds = 10;

// A record as read: its state, and the record when it could be.
struct ReadRecord {
    RecordStore::ReadStatus status = RecordStore::ReadStatus::Absent;
    PolicyRecord record;
    std::string problem;

    bool read() const { return status == RecordStore::ReadStatus::Read; }
    std::optional<Sha256Digest> identity() const { return read() ? record.identity() : std::nullopt; }
};

struct Status {
    bool moduleLoaded = false;
    ThreeModeSwitch threeMode = ThreeModeSwitch::Unreadable;
    std::string threeModeProblem;
    ReadRecord inForce;
    ReadRecord initial;
    // Whether the stored image is the one its record was made for.
    std::optional<bool> initialImageMatches;
    std::string initialImageProblem;
    std::string policyDirectory;
    int diskResult = 0;
    std::optional<Sha256Digest> disk;
    LoadedPolicy loaded;

    std::optional<Sha256Digest> initialIdentity() const
    {
        return initialImageMatches == true ? initial.identity() : std::nullopt;
    }
    std::optional<bool> diskMatchesKernel() const
    {
        const std::optional<Sha256Digest> kernel = inForce.identity();
        if (!kernel || !disk)
            return std::nullopt;
        return *kernel == *disk;
    }
    // Whether storing the initial image would change what boots: something
    // is in force, and the stored image does not hold it.
    bool initialImageStale() const
    {
        return inForce.identity() && initialMatchesKernel() != true;
    }
    std::optional<bool> initialMatchesKernel() const
    {
        const std::optional<Sha256Digest> kernel = inForce.identity();
        const std::optional<Sha256Digest> stored = initialIdentity();
        if (!kernel || !stored)
            return std::nullopt;
        return *kernel == *stored;
    }
};

ReadRecord readRecord(const char *directory, bool durable)
{
    ReadRecord r;
    const RecordStore store(directory, durable);
    r.status = store.read(r.record, r.problem);
    return r;
}

// The policy directory compiled now, as the daemon would, for its identity.
void compileDisk(Status &s)
{
    IdentityOutput output(nullptr, IdentityOutput::Hashing::Background);
    FrontEnd frontEnd(output);
    PolicyDirectoryRun run;
    run.directory = s.policyDirectory;
    run.prefix = canonicalDirectoryPrefix(s.policyDirectory);
    run.stopAtFirstFailure = true;
    s.diskResult = processPolicyDirectory(frontEnd, run, false);
    if (s.diskResult == 0)
        s.disk = output.identity().identity();
}

Status gather(const StatusOptions &options)
{
    Status s;
    s.moduleLoaded = is_tavo_module_loaded();
    s.threeMode = readThreeModeSwitch(s.threeModeProblem);
    s.inForce = readRecord(inForceRecordDirectory, false);
    s.initial = readRecord(initialRecordDirectory, true);
    if (s.initial.read()) {
        std::string image;
        const int rc = readRegularFile(initialImageFile, maxSourceBytes, image);
        if (rc == 0)
            s.initialImageMatches = s.initial.record.delivery.image == Sha256::of(image);
        else
            s.initialImageProblem = strerror(rc);
    }
    s.policyDirectory = options.policyDirectory;
    compileDisk(s);
    if (s.inForce.read())
        s.loaded = describeLoaded(s.inForce.record, inForceRecordDirectory);
    return s;
}

std::string hexOr(const std::optional<Sha256Digest> &digest, const char *otherwise)
{
    return digest ? digestToHex(*digest) : otherwise;
}

const char *yesNo(const std::optional<bool> &value)
{
    return !value ? "unknown" : *value ? "yes" : "no";
}

const char *threeModeWord(ThreeModeSwitch mode)
{
    switch (mode) {
    case ThreeModeSwitch::On: return "on";
    case ThreeModeSwitch::Off: return "off";
    case ThreeModeSwitch::Unreadable: break;
    }
    return "unknown";
}

std::string recordState(const ReadRecord &r, const char *absent)
{
    switch (r.status) {
    case RecordStore::ReadStatus::Read: break;
    case RecordStore::ReadStatus::Absent: return absent;
    case RecordStore::ReadStatus::Unreadable: return "not readable (" + safeText(r.problem) + ")";
    case RecordStore::ReadStatus::Damaged: return "damaged record (" + safeText(r.problem) + ")";
    }
    return std::string();
}

// ---- text ------------------------------------------------------------------

void line(std::string &out, const char *label, const std::string &value)
{
    char padded[64];
    snprintf(padded, sizeof padded, "%-30s", label);
    out += padded;
    out += value;
    out += '\n';
}

void describePolicy(std::string &out, const RecordedPolicy &p)
{
    // Of a policy of unknown content, the step since which it is unknown.
    if (p.delivered.present())
        line(out, p.kind == RecordedPolicy::Kind::Unknown ? "  unknown since:" : "  delivered:",
             describeStep(p.delivered));
    if (p.compiled.present())
        line(out, "  compiled:", describeStep(p.compiled));
    if (!p.sources.empty()) {
        std::string files;
        for (const RecordSource &src : p.sources)
            files += (files.empty() ? "" : ", ") + safeText(src.name);
        line(out, "  files:", files);
    }
}

std::string formatText(const Status &s)
{
    std::string out;
    line(out, "module loaded:", s.moduleLoaded ? "yes" : "no");
    line(out, "three-mode:", threeModeWord(s.threeMode));
    if (!s.inForce.read()) {
        line(out, "in force:",
             recordState(s.inForce, "nothing recorded (no delivery since boot, or one whose record could not be "
                                    "written)"));
    } else {
        const PolicyRecord &r = s.inForce.record;
        const std::optional<Sha256Digest> id = r.identity();
        if (r.changing) {
            line(out, "in force:", "unknown: a change began and its outcome was not recorded");
            line(out, "  being changed:", describePendingChange(*r.changing));
        } else {
            line(out, "in force:", id ? digestToHex(*id) + " (" + kindName(r.delivery.kind) + " policy)"
                                      : std::string("a policy of unknown content"));
        }
        describePolicy(out, r.delivery);
        for (const RecordedPolicy &u : r.sections)
            line(out, "  section update:",
                 safeText(u.nsName) + "/" + safeText(u.section) + ", " + describeStep(u.delivered));
        for (const DynamicChange &d : r.dynamics)
            line(out, "  dynamic variable:", safeText(d.nsName) + "/" + safeText(d.variable) + " = " +
                                                 std::to_string(d.value) + ", " + describeStep(d.step));
    }
    if (!s.initial.read()) {
        line(out, "initial image:", recordState(s.initial, "none stored"));
    } else if (s.initialImageMatches != true) {
        line(out, "initial image:",
             s.initialImageMatches ? "of unknown content (not the image its record was made for)"
                                   : "its record is there, the image is not readable (" +
                                         safeText(s.initialImageProblem) + ")");
    } else {
        line(out, "initial image:", hexOr(s.initialIdentity(), "unknown"));
        line(out, "  compiled:", describeStep(s.initial.record.delivery.compiled));
    }
    line(out, "disk:", s.disk ? digestToHex(*s.disk) + " (" + safeText(s.policyDirectory) + ")"
                              : safeText(s.policyDirectory) + " does not compile (" +
                                    std::to_string(s.diskResult) + ")");
    line(out, "disk matches kernel:", yesNo(s.diskMatchesKernel()));
    line(out, "initial image matches kernel:", yesNo(s.initialMatchesKernel()));
    if (s.initialImageStale())
        line(out, "  store with:", storeInitialImageCommand);
    appendLoadedText(out, s.loaded);
    return out;
}

// ---- JSON ------------------------------------------------------------------

JsonDocument digestJson(const std::optional<Sha256Digest> &digest)
{
    return digest ? JsonDocument(digestToHex(*digest)) : nullptr;
}

const char *stateWord(RecordStore::ReadStatus status)
{
    switch (status) {
    case RecordStore::ReadStatus::Read: return "recorded";
    case RecordStore::ReadStatus::Absent: return "absent";
    case RecordStore::ReadStatus::Unreadable: return "unreadable";
    case RecordStore::ReadStatus::Damaged: return "damaged";
    }
    return "absent";
}

// `extra`: more members, after the identity.
JsonDocument recordJson(const ReadRecord &r, const JsonDocument &extra = JsonDocument::object())
{
    JsonDocument out;
    out["state"] = stateWord(r.status);
    out["problem"] = jsonText(r.problem);
    out["identity"] = digestJson(r.identity());
    for (const auto &member : extra.items())
        out[member.key()] = member.value();
    if (!r.read())
        return out;
    const PolicyRecord &rec = r.record;
    out["kind"] = kindName(rec.delivery.kind);
    const std::optional<uint64_t> nodes = rec.nodes();
    out["nodes"] = optionalJson(nodes);
    addPolicyJson(out, rec.delivery);
    out["sectionUpdates"] = sectionUpdatesJson(rec.sections);
    JsonDocument &dynamics = out["dynamicVariables"] = JsonDocument::array();
    for (const DynamicChange &d : rec.dynamics) {
        JsonDocument change;
        change["namespace"] = jsonText(d.nsName);
        change["variable"] = jsonText(d.variable);
        change["value"] = d.value;
        change["changed"] = stepJson(d.step);
        dynamics.push_back(std::move(change));
    }
    // A change begun and never recorded: what it was delivering.
    out["changing"] = rec.changing ? pendingChangeJson(*rec.changing) : nullptr;
    return out;
}

std::string formatJson(const Status &s)
{
    JsonDocument out;
    out["moduleLoaded"] = s.moduleLoaded;
    out["threeMode"] = optionalJson(s.threeMode == ThreeModeSwitch::Unreadable
                                        ? std::nullopt
                                        : std::optional<bool>(s.threeMode == ThreeModeSwitch::On));
    out["inForce"] = recordJson(s.inForce);
    // The record's identity counts only for the image it was made for.
    out["initialImage"] = recordJson(s.initial, {{"imageMatchesRecord", optionalJson(s.initialImageMatches)}});
    JsonDocument &disk = out["disk"];
    disk["directory"] = jsonText(s.policyDirectory);
    disk["result"] = s.diskResult;
    disk["identity"] = digestJson(s.disk);
    out["diskMatchesKernel"] = optionalJson(s.diskMatchesKernel());
    out["initialImageMatchesKernel"] = optionalJson(s.initialMatchesKernel());
    out["storeInitialImage"] = s.initialImageStale() ? JsonDocument(std::string(storeInitialImageCommand)) : nullptr;
    out["loaded"] = loadedJson(s.loaded);
    return dumpJson(out);
}

// ---- Prometheus ------------------------------------------------------------

void metric(std::string &out, const char *name, const char *help, const std::vector<std::string> &samples)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += " gauge\n";
    for (const std::string &sample : samples)
        out += std::string(name) + sample + '\n';
}

std::string gauge(const std::optional<bool> &value)
{
    return value == true ? " 1" : " 0";
}

std::string formatPrometheus(const Status &s)
{
    std::string out;
    metric(out, "tavo_module_loaded", "Whether the tavo kernel module is loaded.", {gauge(s.moduleLoaded)});
    if (s.threeMode != ThreeModeSwitch::Unreadable)
        metric(out, "tavo_three_mode", "Whether role separation (three-mode) is on.",
               {gauge(s.threeMode == ThreeModeSwitch::On)});
    metric(out, "tavo_policy_recorded", "Whether the policy in force is recorded and readable.",
           {gauge(s.inForce.read())});
    metric(out, "tavo_policy_record_known", "Whether the record knows the policy in force (its identity).",
           {gauge(s.inForce.identity().has_value())});
    if (s.inForce.read()) {
        const PolicyRecord &r = s.inForce.record;
        const RecordStep &d = r.delivery.delivered;
        // Only a step that was taken is reported: a record that names none
        // (a section update or a variable recorded on nothing) has no
        // delivery, and its time is not 0.
        if (d.present()) {
            metric(out, "tavo_policy_info", "The policy in force: its identity and its delivery.",
                   {"{identity=\"" + hexOr(r.identity(), "unknown") + "\",kind=\"" + kindName(r.delivery.kind) +
                    "\",method=\"" + labelValue(d.method) + "\",user=\"" + labelValue(d.user) + "\",uid=\"" +
                    std::to_string(d.uid) + "\"} 1"});
            metric(out, "tavo_policy_delivered_timestamp_seconds", "When the policy in force was delivered.",
                   {" " + std::to_string(d.time)});
        }
        std::optional<int64_t> last;
        const auto seen = [&last](const RecordStep &step) {
            if (step.present())
                last = std::max(last.value_or(step.time), step.time);
        };
        seen(d);
        for (const RecordedPolicy &u : r.sections)
            seen(u.delivered);
        for (const DynamicChange &c : r.dynamics)
            seen(c.step);
        if (last)
            metric(out, "tavo_policy_changed_timestamp_seconds",
                   "When the policy in force last changed (delivery, section update or dynamic variable).",
                   {" " + std::to_string(*last)});
        if (const std::optional<uint64_t> nodes = r.nodes())
            metric(out, "tavo_policy_nodes", "Policy nodes (one per uid and permission of a rule) in force.",
                   {" " + std::to_string(*nodes)});
        metric(out, "tavo_policy_section_updates", "Section updates delivered since the policy.",
               {" " + std::to_string(r.sections.size())});
        std::vector<std::string> variables;
        for (const DynamicChange &c : r.dynamics)
            variables.push_back("{namespace=\"" + labelValue(c.nsName) + "\",variable=\"" + labelValue(c.variable) +
                                "\"} " + std::to_string(c.value));
        if (!variables.empty())
            metric(out, "tavo_policy_dynamic_variable", "Dynamic variables changed since the policy was delivered.",
                   variables);
    }
    if (const std::optional<Sha256Digest> stored = s.initialIdentity())
        metric(out, "tavo_initial_image_info", "The stored initial policy image: its identity.",
               {"{identity=\"" + digestToHex(*stored) + "\"} 1"});
    metric(out, "tavo_disk_policy_compiles", "Whether the policy directory compiles.", {gauge(s.disk.has_value())});
    if (s.disk)
        metric(out, "tavo_disk_policy_info", "The policy directory compiled now: its identity.",
               {"{identity=\"" + digestToHex(*s.disk) + "\"} 1"});
    metric(out, "tavo_disk_matches_kernel", "Whether the policy directory compiles to the policy in force.",
           {gauge(s.diskMatchesKernel())});
    metric(out, "tavo_initial_image_matches_kernel",
           "Whether the stored initial image holds the policy in force.", {gauge(s.initialMatchesKernel())});
    appendLoadedPrometheus(out, s.loaded);
    return out;
}

// What the status is made of, as the file system shows it: the records,
// the stored image and every entry of the policy directory.
std::string inputsMark(const std::string &policyDirectory)
{
    std::string mark;
    const auto add = [&mark](const std::string &path) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            mark += path + " -\n";
            return;
        }
        mark += path + ' ' + std::to_string(st.st_ino) + ' ' + std::to_string(st.st_size) + ' ' +
                std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) + ' ' +
                std::to_string(st.st_ctim.tv_sec) + '.' + std::to_string(st.st_ctim.tv_nsec) + '\n';
    };
    add(std::string(inForceRecordDirectory) + "/record");
    add(std::string(initialRecordDirectory) + "/record");
    add(initialImageFile);
    add(policyDirectory);
    if (const UniqueDir dir{opendir(policyDirectory.c_str())}) {
        std::vector<std::string> names;
        while (const struct dirent *entry = readdir(dir.get()))
            names.emplace_back(entry->d_name);
        std::sort(names.begin(), names.end());
        for (const std::string &name : names)
            add(policyDirectory + "/" + name);
    }
    return mark;
}

std::string formatStatus(const Status &s, ReportFormat format)
{
    switch (format) {
    case ReportFormat::Text: return formatText(s);
    case ReportFormat::Json: return formatJson(s);
    case ReportFormat::Prometheus: break;
    }
    return formatPrometheus(s);
}

// The status, made again while what it is made of changed meanwhile.
std::string settledStatus(const StatusOptions &options, std::string &mark)
{
    Status s;
    for (int round = 0; round < maxStatusRounds; ++round) {
        mark = inputsMark(options.policyDirectory);
        s = gather(options);
        if (inputsMark(options.policyDirectory) == mark)
            break;
    }
    return formatStatus(s, options.format);
}

} // namespace

int runStatus(const StatusOptions &options)
{
    std::string mark;
    std::string text = settledStatus(options, mark);
    if (options.output.empty()) {
        if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
            perror("tavo-policy-check");
            return exitOutputNotWritten;
        }
        return 0;
    }
    // Written for a path unit, which does not watch while the service it
    // started runs: a change made just after the file was written (an
    // administrator who saw it, an editor's second write) would wait for the
    // timer. The command stays a moment to see such a change and writes the
    // file again; what it writes last was made after the last change it saw.
    for (int round = 1;; ++round) {
        const int rc = replaceFile(options.output, text, outputMode, false);
        if (rc != 0) {
            fprintf(stderr, "tavo-policy-check: cannot write %s: %s\n", options.output.c_str(), strerror(rc));
            return exitOutputNotWritten;
        }
        if (round == maxOutputRounds)
            break;
        const auto quietUntil = std::chrono::steady_clock::now() + outputSettleTime;
        bool changed = false;
        while (!changed && std::chrono::steady_clock::now() < quietUntil) {
            std::this_thread::sleep_for(outputSettlePoll);
            changed = inputsMark(options.policyDirectory) != mark;
        }
        if (!changed)
            break;
        text = settledStatus(options, mark);
    }
    return 0;
}
