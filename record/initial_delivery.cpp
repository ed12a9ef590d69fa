#include "initial_delivery.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <unistd.h>

#include <tavopolicysync/log.h>

#include "bounded_read.h"
#include "record_store.h"

namespace {

constexpr char initMethod[] = "tavo-main-policy-init";
// Only root runs the command, and at early boot the password database may
// not be reachable yet: the name is not looked up.
constexpr char rootName[] = "root";

bool sameTime(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameFile(const ImageFileMark &a, const ImageFileMark &b)
{
    return a.present && b.present && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           sameTime(a.modified, b.modified) && sameTime(a.changed, b.changed);
}

} // namespace

ImageFileMark markInitialImage(const std::string &prefix)
{
    ImageFileMark mark;
    struct stat st;
    if (lstat((prefix + initialImageFile).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return mark;
    mark.present = true;
    mark.device = st.st_dev;
    mark.inode = st.st_ino;
    mark.size = st.st_size;
    mark.modified = st.st_mtim;
    mark.changed = st.st_ctim;
    return mark;
}

namespace {

// What the module now holds, as far as the stored record can tell.
RecordedPolicy deliveredInitial(const std::string &prefix, const ImageFileMark &before,
                                std::map<Sha256Digest, std::string> &sources)
{
    RecordedPolicy delivered;
    std::string image;
    const int imageRead = readRegularFile(prefix + initialImageFile, maxSourceBytes, image);
    const ImageFileMark after = markInitialImage(prefix);
    if (imageRead == 0 && sameFile(before, after)) {
        const Sha256Digest digest = Sha256::of(image);
        PolicyRecord stored;
        std::string problem;
        const RecordStore store(prefix + initialRecordDirectory, true);
        const int rc = store.readWithSources(stored, sources, problem);
        if (rc == 0 && stored.delivery.image == digest) {
            delivered = stored.delivery;
        } else {
            if (rc == 0)
                problem = "it was made for another image";
            TAVO_WARN("the record of the initial policy in %s%s does not name the image delivered: %s",
                      prefix.c_str(), initialRecordDirectory, rc == ENOENT ? "there is none" : problem.c_str());
            sources.clear();
        }
        delivered.image = digest;
    } else {
        TAVO_WARN("the initial image %s%s changed during its delivery; the policy in force is recorded as unknown",
                  prefix.c_str(), initialImageFile);
    }
    delivered.delivered = RecordStep{static_cast<int64_t>(time(nullptr)), initMethod, getuid(), rootName};
    return delivered;
}

} // namespace

int deliverInitialPolicy(const std::string &prefix, const std::string &inForceDirectory,
                         const std::function<int()> &deliver)
{
    const ImageFileMark before = markInitialImage(prefix);
    RecordStore inForce(inForceDirectory, false);
    RecordChange recording(inForce);
    PendingChange what;
    what.kind = PendingChange::Kind::Initial;
    std::string problem;
    if (recording.mark(what, RecordStep{static_cast<int64_t>(time(nullptr)), initMethod, getuid(), rootName},
                       problem) != 0)
        TAVO_WARN("cannot record the policy in force: %s", problem.c_str());
    const int result = deliver();
    problem.clear();
    if (result != 0) {
        if (recording.restore(problem) != 0)
            TAVO_WARN("cannot record the policy in force: %s", problem.c_str());
        return result;
    }
    std::map<Sha256Digest, std::string> sources;
    const RecordedPolicy delivered = deliveredInitial(prefix, before, sources);
    if (recording.complete(
            [&delivered](PolicyRecord &record, bool) {
                record = PolicyRecord();
                record.delivery = delivered;
            },
            [&sources](const Sha256Digest &blob) -> const std::string * {
                const auto found = sources.find(blob);
                return found == sources.end() ? nullptr : &found->second;
            },
            problem) != 0)
        TAVO_WARN("cannot record the policy in force: %s; recorded as unknown", problem.c_str());
    return result;
}
