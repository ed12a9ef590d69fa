// The one owner of file descriptors and directory streams, for the library
// and every program: closed when the owner goes, on every path.
#ifndef TAVO_UNIQUE_FD_H
#define TAVO_UNIQUE_FD_H

#include <cerrno>
#include <dirent.h>
#include <memory>
#include <unistd.h>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes what is held, leaving errno as it was: an owner going out of
    // scope on a failure path must not change the error being reported.
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }
    // Closes now, for a caller that must know: close(2)'s result (0, or -1
    // with errno set).
    int close() { return fd_ >= 0 ? ::close(release()) : 0; }

private:
    int fd_ = -1;
};

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

#endif
