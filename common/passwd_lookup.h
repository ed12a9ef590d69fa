// Lookups in the password database for the daemon and its tools. Reentrant:
// the daemon's worker compiles (and resolves users) while its loop
// authorises callers. The buffer grows as far as any sane entry needs.
#ifndef TAVO_PASSWD_LOOKUP_H
#define TAVO_PASSWD_LOOKUP_H

#include <cerrno>
#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace passwd_detail {

constexpr size_t bufferStart = 16384;
constexpr size_t bufferLimit = 1 << 20;

// Runs `lookUp(entry, buffer, size, found)` (getpwnam_r or getpwuid_r) with
// a growing buffer; 0 with `found` set or null (no such user), else an errno.
template <typename LookUp>
int withEntry(LookUp lookUp, struct passwd &entry, std::vector<char> &buffer, struct passwd *&found)
{
    const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    buffer.resize(hint > 0 ? static_cast<size_t>(hint) : bufferStart);
    for (;;) {
        found = nullptr;
        const int rc = lookUp(&entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < bufferLimit) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        // Some C libraries say "no such user" with these.
        return rc == ENOENT || rc == ESRCH ? 0 : rc;
    }
}

} // namespace passwd_detail

// 0 with the user's uid, or with none when there is no such user; else the
// errno of the failed lookup.
inline int uidOfUser(const char *name, std::optional<uid_t> &uid)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    std::vector<char> buffer;
    const int rc = passwd_detail::withEntry(
        [name](struct passwd *e, char *b, size_t n, struct passwd **f) { return getpwnam_r(name, e, b, n, f); },
        entry, buffer, found);
    uid = rc == 0 && found ? std::optional<uid_t>(found->pw_uid) : std::nullopt;
    return rc;
}

// The name of `uid`, if the password database has one.
inline std::optional<std::string> userNameOf(uid_t uid)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    std::vector<char> buffer;
    const int rc = passwd_detail::withEntry(
        [uid](struct passwd *e, char *b, size_t n, struct passwd **f) { return getpwuid_r(uid, e, b, n, f); },
        entry, buffer, found);
    if (rc != 0 || !found)
        return std::nullopt;
    return std::string(found->pw_name);
}

#endif
