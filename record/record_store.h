// Where a policy record lives and how it is replaced: a directory holding
// the record text ("record", readable by anyone) and the policy sources it
// names ("sources/<sha256>", root and the secadm account only). Writers
// store new sources first and then replace the record by a rename, so a
// reader (who takes no lock) sees the old record or the new one, never a
// mix. Writers serialise on ".lock", a file only root can open: no other
// account can hold a writer up.
#ifndef TAVO_RECORD_STORE_H
#define TAVO_RECORD_STORE_H

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>

#include "record_format.h"
#include "unique_fd.h"

// The record of what is in force: on /run, emptied at reboot as the
// module's state is.
constexpr char inForceRecordDirectory[] = "/run/tavo";
// The record of the stored initial policy, beside its image.
constexpr char initialRecordDirectory[] = "/var/lib/tavo/init-record";
constexpr char initialImageFile[] = "/var/lib/tavo/init-policy.bin";

// Largest stored source read back (as large as a policy file may be).
constexpr uint64_t maxSourceBytes = uint64_t{256} << 20;

class RecordStore {
public:
    // `durable`: every file and rename is synced to its disk (for a store
    // that must outlive a crash; /run need not).
    RecordStore(std::string directory, bool durable);

    const std::string &directory() const { return directory_; }

    enum class ReadStatus { Read, Absent, Unreadable, Damaged };
    // The record; Absent when none was written, Unreadable when the reader
    // may not read it, Damaged when it is not a record or cannot be read.
    ReadStatus read(PolicyRecord &record, std::string &problem) const;

    // The record and the bytes of every source it names, read so that
    // they belong together although a writer may replace them meanwhile.
    // 0, ENOENT (no record), EACCES (sources not readable by the caller),
    // or another errno with `problem`.
    int readWithSources(PolicyRecord &record, std::map<Sha256Digest, std::string> &sources,
                        std::string &problem) const;

    // The bytes of new sources by digest; null for one the store has.
    using SourceBytes = std::function<const std::string *(const Sha256Digest &)>;

    // Replaces the record under the store's lock: `change` turns the
    // current record (a fresh one when there is none or it cannot be read:
    // `existed` says which) into the new one. Sources the new record names
    // that the store lacks come from `bytes`; sources no longer named are
    // removed. 0 or an errno, with `problem`; on failure the old record
    // stays.
    int update(const std::function<void(PolicyRecord &record, bool existed)> &change, const SourceBytes &bytes,
               std::string &problem);

private:
    friend class RecordChange;

    int prepare(std::string &problem) const;
    // Stores what `record` names and replaces the record text; with
    // `sweepFirst` the sources it does not name go before the new ones are
    // stored (for when the record on disk names none). `mayReplace`, when
    // given, is asked just before the record text is replaced (0 or an
    // errno). The lock is held.
    int write(const PolicyRecord &record, const SourceBytes &bytes, bool sweepFirst, std::string &problem,
              const std::function<int(std::string &problem)> &mayReplace = {}) const;

    std::string directory_;
    bool durable_;
};

// A step of the module recorded around it, under one hold of the lock so
// that no other writer's step comes between: marked before the module is
// written to, then completed when the module took the step or restored
// when it refused. A change neither completed nor restored (the writer was
// killed, or the new record could not be stored) leaves the mark: a record
// that says what is in force is unknown since the step began.
class RecordChange {
public:
    explicit RecordChange(RecordStore &store) : store_(store) {}
    RecordChange(const RecordChange &) = delete;
    RecordChange &operator=(const RecordChange &) = delete;
    ~RecordChange();

    // Keeps the record as it is and replaces it by one saying that `what`
    // is being delivered by `step`. Without the lock (another writer held
    // it too long) the mark is written all the same, and that writer leaves
    // it; where it cannot be written, the record is removed rather than
    // left naming the policy before. 0 or an errno, with `problem`.
    int mark(const PendingChange &what, const RecordStep &step, std::string &problem);
    // The module took the step: `change` turns the record before the mark
    // (a fresh one when there was none or it could not be read: `existed`
    // says which; one marked by a change never completed is of unknown
    // content since that change) into the new one. On failure, or when a
    // writer without the lock changed the record meanwhile, the record is
    // left as it is. 0 or an errno, with `problem`.
    int complete(const std::function<void(PolicyRecord &record, bool existed)> &change,
                 const RecordStore::SourceBytes &bytes,
                 std::string &problem);
    // The module refused the step: the record before the mark is put back,
    // unless a writer without the lock changed it meanwhile.
    int restore(std::string &problem);

private:
    RecordStore &store_;
    UniqueFd lock_;
    int beforeRead_ = ENOENT; // reading the record before the mark: 0 or an errno
    std::string beforeText_;  // what it held
    PolicyRecord before_;     // as read, when `existed_`
    bool existed_ = false;
    bool touched_ = false;    // the record file was marked or removed
    std::string left_;        // the mark written, or empty when the record was removed

    // 0 while the record is still what mark() left.
    int stillMarked(std::string &problem) const;
};

// Puts `bytes` in a new file beside `path` and renames it over `path`,
// with `mode` (and, synced, when `durable`); `prepare` sees the new file
// before the rename. 0 or an errno.
int replaceFile(const std::string &path, const std::string &bytes, mode_t mode, bool durable,
                const std::function<void(int fd)> &prepare = {});

#endif
