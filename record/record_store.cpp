#include "record_store.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <pwd.h>
#include <set>
#include <acl/libacl.h>
#include <functional>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <vector>

#include <tavopolicysync/log.h>

#include "bounded_read.h"
#include "file_replace.h"
#include "passwd_lookup.h"
#include "shared_constants.h"
#include "unique_fd.h"

namespace {

constexpr char recordFile[] = "record";
constexpr char sourcesDirectory[] = "sources";
constexpr char temporaryPrefix[] = ".tmp.";
constexpr char lockFile[] = ".lock";
constexpr mode_t lockMode = 0600;
constexpr mode_t directoryMode = 0755;
constexpr mode_t recordMode = 0644;
constexpr mode_t sourcesDirectoryMode = 0700;
constexpr mode_t sourceMode = 0600;
// A writer holds the lock while it stores the sources of one policy and
// while the module takes a step: a lock still held after this long is
// another writer's trouble, not a wait.
constexpr auto lockPatience = std::chrono::seconds(10);
constexpr auto lockRetry = std::chrono::milliseconds(10);
// A reader whose sources vanish under it (a writer replaced the record)
// starts again, a few times.
constexpr int readAttempts = 4;

struct AclFree {
    void operator()(acl_t acl) const { acl_free(acl); }
};
using AclHandle = std::unique_ptr<std::remove_pointer_t<acl_t>, AclFree>;

std::optional<uid_t> securityAdministratorUid()
{
    std::optional<uid_t> uid;
    uidOfUser(securityAdministrator, uid);
    return uid;
}

// Adds an entry of `tag` (for `id`, a named user) with `perms` (ACL_READ...).
bool addAclEntry(acl_t &acl, acl_tag_t tag, acl_perm_t perms, const uid_t *id = nullptr)
{
    acl_entry_t entry;
    acl_permset_t permset;
    if (acl_create_entry(&acl, &entry) != 0 || acl_set_tag_type(entry, tag) != 0 ||
        (id && acl_set_qualifier(entry, id) != 0) || acl_get_permset(entry, &permset) != 0 ||
        acl_clear_perms(permset) != 0)
        return false;
    for (const acl_perm_t perm : {ACL_READ, ACL_WRITE, ACL_EXECUTE})
        if ((perms & perm) && acl_add_perm(permset, perm) != 0)
            return false;
    return true;
}

// Lets the secadm account read a source (or list the sources): the owner
// keeps its mode bits, secadm alone gets read (and search), nobody else
// anything. Without the account the mode bits (root only) are all there is:
// the minimal ACL set then drops any extended one. The ACL carries the mode
// bits with it (its mask is the group bits), so they change in one step and
// secadm's entry is never masked out in between; an fchmod would rewrite
// the mask from the group bits. An ACL already as it should be is left.
void grantSecurityAdministrator(int fd, bool directory, const std::optional<uid_t> &secadm)
{
    const acl_perm_t owner = directory ? (ACL_READ | ACL_WRITE | ACL_EXECUTE) : (ACL_READ | ACL_WRITE);
    const acl_perm_t reader = directory ? (ACL_READ | ACL_EXECUTE) : ACL_READ;
    const mode_t ownerOnly = directory ? sourcesDirectoryMode : sourceMode;
    acl_t acl = acl_init(5);
    const bool made = acl && addAclEntry(acl, ACL_USER_OBJ, owner) &&
                      (!secadm || addAclEntry(acl, ACL_USER, reader, &*secadm)) &&
                      addAclEntry(acl, ACL_GROUP_OBJ, 0) && (!secadm || addAclEntry(acl, ACL_MASK, reader)) &&
                      addAclEntry(acl, ACL_OTHER, 0);
    const AclHandle owned(acl);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return;
    if (made) {
        const AclHandle now(acl_get_fd(fd));
        if (now && acl_cmp(now.get(), acl) == 0 && (st.st_mode & 07000) == 0)
            return;
    }
    if (made && acl_set_fd(fd, acl) == 0) {
        // The ACL leaves the set-id and sticky bits; a mode with the group
        // bits as they now are keeps the mask.
        if ((st.st_mode & 07000) != 0 && fstat(fd, &st) == 0)
            fchmod(fd, st.st_mode & 0777);
        return;
    }
    const int error = errno;
    // No ACL here: the mode bits alone keep the others out.
    if ((st.st_mode & 07777) != ownerOnly)
        fchmod(fd, ownerOnly);
    if (secadm) {
        static bool warned = false;
        if (!warned)
            TAVO_WARN("cannot let %s read the policy sources (no POSIX ACL: %s); only root can", securityAdministrator,
                      strerror(error));
        warned = true;
    }
}

// A directory of ours: made when missing, with `mode` whatever the umask
// (the units run with 0077, and /run/tavo is for anyone to read), or with
// the mode `setMode` gives it; refused when it is a link, not a directory,
// not the caller's, or writable by others.
int ownDirectory(const std::string &path, mode_t mode, const std::function<void(int fd)> &setMode = {})
{
    // Made only when opening finds nothing: it is there at every call but
    // the first.
    UniqueFd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid() && errno == ENOENT) {
        if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
            return errno;
        dir = UniqueFd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!dir.valid())
        return errno == ELOOP || errno == ENOTDIR ? EPERM : errno;
    struct stat st;
    if (fstat(dir.get(), &st) != 0)
        return errno;
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return EPERM;
    if (setMode) {
        setMode(dir.get());
        if (fstat(dir.get(), &st) != 0)
            return errno;
        if ((st.st_mode & S_IRWXO) != 0 || (st.st_mode & S_IRWXU) != (mode & S_IRWXU))
            return EPERM;
        return 0;
    }
    if ((st.st_mode & 07777) != mode && fchmod(dir.get(), mode) != 0)
        return errno;
    return 0;
}

bool isDigestName(const std::string &name)
{
    Sha256Digest d{};
    return digestFromHex(name, d);
}

// Removes what a writer killed half-way left behind, and the sources the
// record no longer names. Only writers holding the lock call this.
void sweep(const std::string &directory, const std::set<std::string> &keep)
{
    for (const std::string &dir : {directory, directory + "/" + sourcesDirectory}) {
        const UniqueDir listing(opendir(dir.c_str()));
        if (!listing)
            continue;
        std::vector<std::string> gone;
        while (const struct dirent *entry = readdir(listing.get())) {
            const std::string name = entry->d_name;
            const bool temporary = name.compare(0, sizeof temporaryPrefix - 1, temporaryPrefix) == 0;
            const bool staleSource = dir != directory && isDigestName(name) && keep.count(name) == 0;
            if (temporary || staleSource)
                gone.push_back(name);
        }
        for (const std::string &name : gone)
            unlinkat(dirfd(listing.get()), name.c_str(), 0);
    }
}

// The writers' lock: flock on a file of the store that only its owner
// (root) can open, so that the only writers it waits for are root's own
// (the daemon, tavo-main-policy-init). A file there that is not such a
// lock (open to others, a second link) may be open elsewhere: a fresh one
// takes its place. Waited for a bounded time.
int takeLock(const std::string &directory, UniqueFd &lock)
{
    const UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid())
        return errno;
    const auto deadline = std::chrono::steady_clock::now() + lockPatience;
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline)
            return ETIMEDOUT;
        UniqueFd fd(openat(dir.get(), lockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                           lockMode));
        if (!fd.valid())
            return errno;
        struct stat held;
        if (fstat(fd.get(), &held) != 0)
            return errno;
        if (!S_ISREG(held.st_mode) || held.st_uid != geteuid() || (held.st_mode & 077) != 0 ||
            held.st_nlink != 1) {
            struct stat named;
            if (fstatat(dir.get(), lockFile, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
                named.st_ino == held.st_ino && unlinkat(dir.get(), lockFile, 0) != 0)
                return errno;
            continue;
        }
        while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return errno;
            if (std::chrono::steady_clock::now() > deadline)
                return ETIMEDOUT;
            std::this_thread::sleep_for(lockRetry);
        }
        // Still the file of that name: another writer did not replace it
        // meanwhile.
        struct stat named;
        if (fstatat(dir.get(), lockFile, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            lock = std::move(fd);
            return 0;
        }
    }
}

} // namespace

int replaceFile(const std::string &path, const std::string &bytes, mode_t mode, bool durable,
                const std::function<void(int fd)> &prepare)
{
    // Named so that a writer that was killed leaves what sweep recognises.
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    return replaceFileAtomically(path, directory + "/" + temporaryPrefix + "XXXXXX", bytes.data(), bytes.size(),
                                 mode, durable, prepare);
}

RecordStore::RecordStore(std::string directory, bool durable) : directory_(std::move(directory)), durable_(durable)
{
}

RecordStore::ReadStatus RecordStore::read(PolicyRecord &record, std::string &problem) const
{
    std::string text;
    const int rc = readRegularFile(directory_ + "/" + recordFile, maxRecordTextBytes, text);
    if (rc == ENOENT)
        return ReadStatus::Absent;
    if (rc == EACCES || rc == EPERM) {
        problem = strerror(rc);
        return ReadStatus::Unreadable;
    }
    if (rc != 0) {
        // Any other failure (a link, an I/O error) is the record's trouble,
        // not the reader's rights.
        problem = rc == EFBIG ? "larger than " + std::to_string(maxRecordTextBytes) + " bytes" : strerror(rc);
        return ReadStatus::Damaged;
    }
    if (!parseRecord(text, record, problem))
        return ReadStatus::Damaged;
    return ReadStatus::Read;
}

int RecordStore::readWithSources(PolicyRecord &record, std::map<Sha256Digest, std::string> &sources,
                                 std::string &problem) const
{
    for (int attempt = 0; attempt < readAttempts; ++attempt) {
        switch (read(record, problem)) {
        case ReadStatus::Read: break;
        case ReadStatus::Absent: return ENOENT;
        case ReadStatus::Unreadable: return EACCES;
        case ReadStatus::Damaged: return EINVAL;
        }
        sources.clear();
        bool vanished = false;
        for (const RecordSource &s : record.allSources()) {
            if (sources.count(s.blob))
                continue;
            std::string bytes;
            const std::string path = directory_ + "/" + sourcesDirectory + "/" + digestToHex(s.blob);
            const int rc = readRegularFile(path, maxSourceBytes, bytes);
            if (rc == ENOENT) {
                vanished = true;
                break;
            }
            if (rc != 0) {
                problem = "cannot read the recorded source " + s.name + ": " + strerror(rc);
                return rc == EPERM ? EACCES : rc;
            }
            if (bytes.size() != s.size || Sha256::of(bytes) != s.blob) {
                problem = "the recorded source " + s.name + " is damaged";
                return EINVAL;
            }
            sources.emplace(s.blob, std::move(bytes));
        }
        if (!vanished)
            return 0;
    }
    problem = "the record changed while it was read; try again";
    return EAGAIN;
}

int RecordStore::prepare(std::string &problem) const
{
    int rc = ownDirectory(directory_, directoryMode);
    if (rc == 0) {
        const std::optional<uid_t> secadm = securityAdministratorUid();
        rc = ownDirectory(directory_ + "/" + sourcesDirectory, sourcesDirectoryMode,
                          [&secadm](int fd) { grantSecurityAdministrator(fd, true, secadm); });
    }
    if (rc != 0)
        problem = "cannot use " + directory_ + ": " + strerror(rc);
    return rc;
}

int RecordStore::write(const PolicyRecord &record, const SourceBytes &bytes, bool sweepFirst,
                       std::string &problem, const std::function<int(std::string &problem)> &mayReplace) const
{
    std::set<std::string> named;
    for (const RecordSource &s : record.allSources())
        named.insert(digestToHex(s.blob));
    if (sweepFirst)
        sweep(directory_, named);

    // Sources first, each under its digest: the record names only sources
    // that are complete.
    const std::string sources = directory_ + "/" + sourcesDirectory;
    const std::optional<uid_t> secadm = securityAdministratorUid();
    {
        const UniqueFd dir(open(sources.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.valid())
            grantSecurityAdministrator(dir.get(), true, secadm);
    }
    std::set<std::string> stored;
    for (const RecordSource &s : record.allSources()) {
        const std::string hex = digestToHex(s.blob);
        if (!stored.insert(hex).second)
            continue;
        const std::string path = sources + "/" + hex;
        const UniqueFd existing(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        if (existing.valid() && fstat(existing.get(), &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) == s.size) {
            // The account may have been made since it was stored.
            grantSecurityAdministrator(existing.get(), false, secadm);
            continue;
        }
        const std::string *content = bytes ? bytes(s.blob) : nullptr;
        if (!content) {
            problem = "the source " + s.name + " of the record is not stored";
            return ENOENT;
        }
        const int rc = replaceFile(path, *content, sourceMode, durable_,
                                   [&secadm](int fd) { grantSecurityAdministrator(fd, false, secadm); });
        if (rc != 0) {
            problem = "cannot store the source " + s.name + " in " + sources + ": " + strerror(rc);
            return rc;
        }
    }
    if (mayReplace) {
        if (const int refused = mayReplace(problem))
            return refused;
    }
    const int rc = replaceFile(directory_ + "/" + recordFile, formatRecord(record), recordMode, durable_);
    if (rc != 0) {
        problem = "cannot write " + directory_ + "/" + recordFile + ": " + strerror(rc);
        return rc;
    }
    // Swept before, under the same lock: since then only named sources
    // were stored and every temporary renamed or removed.
    if (!sweepFirst)
        sweep(directory_, named);
    return 0;
}

int RecordStore::update(const std::function<void(PolicyRecord &record, bool existed)> &change,
                        const SourceBytes &bytes, std::string &problem)
{
    int rc = prepare(problem);
    if (rc != 0)
        return rc;
    UniqueFd lock;
    rc = takeLock(directory_, lock);
    if (rc != 0) {
        problem = "cannot lock " + directory_ + ": " + strerror(rc);
        return rc;
    }
    PolicyRecord record;
    std::string readProblem;
    const bool existed = read(record, readProblem) == ReadStatus::Read;
    if (!existed)
        record = PolicyRecord();
    change(record, existed);
    return write(record, bytes, false, problem);
}

RecordChange::~RecordChange() = default;

int RecordChange::mark(const PendingChange &what, const RecordStep &step, std::string &problem)
{
    const std::string path = store_.directory_ + "/" + recordFile;
    PolicyRecord marked;
    marked.delivery.delivered = step;
    marked.changing = what;
    const std::string text = formatRecord(marked);
    int rc = store_.prepare(problem);
    // A directory that is not ours holds no record of ours.
    if (rc == EPERM)
        return rc;
    if (rc == 0) {
        rc = takeLock(store_.directory_, lock_);
        if (rc != 0)
            problem = "cannot lock " + store_.directory_ + ": " + strerror(rc);
    }
    if (rc != 0) {
        // Nothing may go on naming the policy before: the mark without the
        // lock (the writer holding it finds its own mark gone and leaves
        // this one), or no record.
        if (replaceFile(path, text, recordMode, store_.durable_) == 0)
            problem += "; marked without it";
        else if (unlink(path.c_str()) != 0 && errno != ENOENT)
            problem += std::string("; cannot remove the record either: ") + strerror(errno);
        return rc;
    }

    beforeRead_ = readRegularFile(path, maxRecordTextBytes, beforeText_);
    const int readResult = beforeRead_;
    std::string parseProblem;
    existed_ = readResult == 0 && parseRecord(beforeText_, before_, parseProblem);
    if (!existed_) {
        before_ = PolicyRecord();
    } else if (before_.changing) {
        // Marked by a change never completed: unknown since that change.
        before_.changing.reset();
    }

    rc = replaceFile(path, text, recordMode, store_.durable_);
    if (rc == 0) {
        touched_ = true;
        left_ = text;
        return 0;
    }
    problem = "cannot mark " + path + " as being changed: " + strerror(rc);
    // Without room for the mark, the old record goes, and with it (on a
    // full file system) the room the mark needs.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        problem += std::string("; cannot remove it either: ") + strerror(errno);
        return rc;
    }
    touched_ = true;
    if (replaceFile(path, text, recordMode, store_.durable_) == 0) {
        left_ = text;
        return 0;
    }
    problem += "; removed it";
    return rc;
}

int RecordChange::stillMarked(std::string &problem) const
{
    const std::string path = store_.directory_ + "/" + recordFile;
    std::string now;
    const int rc = readRegularFile(path, maxRecordTextBytes, now);
    if (left_.empty() ? rc == ENOENT : rc == 0 && now == left_)
        return 0;
    problem = "a writer that could not take the lock changed " + path + " during the step; it is left as it is";
    return EBUSY;
}

int RecordChange::complete(const std::function<void(PolicyRecord &record, bool existed)> &change,
                           const RecordStore::SourceBytes &bytes, std::string &problem)
{
    if (!lock_.valid()) {
        problem = "the record could not be marked before the change";
        return ENOLCK;
    }
    PolicyRecord record = before_;
    change(record, existed_);
    // The record on disk names no sources once it was marked or removed:
    // those the new one does not name can go first, to make room for it.
    if (!touched_)
        return store_.write(record, bytes, false, problem);
    return store_.write(record, bytes, true, problem, [this](std::string &why) { return stillMarked(why); });
}

int RecordChange::restore(std::string &problem)
{
    if (!lock_.valid() || !touched_)
        return 0;
    const std::string path = store_.directory_ + "/" + recordFile;
    int rc = stillMarked(problem);
    if (rc != 0)
        return rc;
    // The sources it names are still there: only complete() sweeps them.
    // A record that could not be read cannot be put back; the mark stays.
    if (beforeRead_ == 0)
        rc = replaceFile(path, beforeText_, recordMode, store_.durable_);
    else if (beforeRead_ == ENOENT && unlink(path.c_str()) != 0 && errno != ENOENT)
        rc = errno;
    if (rc != 0)
        problem = "cannot put back " + path + ": " + strerror(rc);
    return rc;
}
