// tavo-simkernel: the tavo module's securityfs directory as a FUSE file
// system, for tests and the demo. It judges what the policy-sync library
// writes as the module would and keeps the policy in force; `.sim/` holds
// the controls of the tests. See README.md beside this file.
#define FUSE_USE_VERSION 35

#include <fuse3/fuse.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "sim_kernel.h"

namespace {

enum class Node {
    Root,
    Policy,
    Dynamic,
    Paras,
    Zusec,
    Admctl,
    Sim,
    SimFail,
    SimAdmctlFail,
    SimAdmctlOpenFail,
    SimState,
    SimReset
};

struct Entry {
    const char *path;
    Node node;
    mode_t mode; // with the file type
    const char *parent;
};

// The module's directory as the library sees it, then the test controls.
const Entry entries[] = {
    {"/", Node::Root, S_IFDIR | 0755, nullptr},
    {"/policy", Node::Policy, S_IFREG | 0200, "/"},
    {"/dynamic", Node::Dynamic, S_IFREG | 0200, "/"},
    {"/paras", Node::Paras, S_IFDIR | 0755, "/"},
    {"/paras/zusec_global", Node::Zusec, S_IFDIR | 0755, "/paras"},
    {"/paras/zusec_global/admctl", Node::Admctl, S_IFREG | 0644, "/paras/zusec_global"},
    {"/.sim", Node::Sim, S_IFDIR | 0700, "/"},
    {"/.sim/fail", Node::SimFail, S_IFREG | 0600, "/.sim"},
    {"/.sim/admctl_fail", Node::SimAdmctlFail, S_IFREG | 0600, "/.sim"},
    {"/.sim/admctl_open_fail", Node::SimAdmctlOpenFail, S_IFREG | 0600, "/.sim"},
    {"/.sim/state", Node::SimState, S_IFREG | 0400, "/.sim"},
    {"/.sim/reset", Node::SimReset, S_IFREG | 0200, "/.sim"},
};

bool switchAbsent();

const Entry *findEntry(const char *path)
{
    for (const Entry &e : entries) {
        if (strcmp(e.path, path) == 0)
            return e.node == Node::Admctl && switchAbsent() ? nullptr : &e;
    }
    return nullptr;
}

const char *baseName(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// One open file. Writes to `policy` and `dynamic` collect here until the
// module can judge them; the verdict is kept for flush, which is what
// close(2) reports.
struct Handle {
    Node node;
    std::vector<uint8_t> data;
    size_t chunks = 0;
    bool judged = false;
    int result = 0;
    std::string snapshot; // what a read of .sim/state or .sim/fail sees
};

struct Server {
    SimKernel kernel;
    unsigned maxWrite = 0; // 0: what libfuse offers
    std::map<uint64_t, Handle> handles;
    uint64_t nextHandle = 1;
    time_t started = time(nullptr);
    int admctlFailure = 0; // errno every read of the switch fails with
    int admctlOpenFailure = 0; // errno every open of it fails with; ENOENT: no switch at all
};

Server &server()
{
    return *static_cast<Server *>(fuse_get_context()->private_data);
}

// A module built without role separation has no switch file.
bool switchAbsent()
{
    return server().admctlOpenFailure == ENOENT;
}

Handle *handleOf(struct fuse_file_info *fi)
{
    auto found = server().handles.find(fi->fh);
    return found == server().handles.end() ? nullptr : &found->second;
}

void *simInit(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    Server &s = server();
    // Every read and write goes straight to us, in max_write chunks, and
    // nothing is cached: the files are not data but requests.
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    if (s.maxWrite)
        conn->max_write = s.maxWrite;
    s.kernel.setMaxWrite(conn->max_write);
    return &s;
}

size_t sizeOf(Node node)
{
    Server &s = server();
    switch (node) {
    case Node::Admctl: return s.kernel.admctl().size();
    case Node::SimState: return s.kernel.renderState().size();
    case Node::SimFail: return s.kernel.renderFail().size();
    default: return 0;
    }
}

int simGetattr(const char *path, struct stat *st, struct fuse_file_info *)
{
    const Entry *e = findEntry(path);
    if (!e)
        return -ENOENT;
    memset(st, 0, sizeof *st);
    st->st_mode = e->mode;
    st->st_nlink = S_ISDIR(e->mode) ? 2 : 1;
    st->st_size = static_cast<off_t>(sizeOf(e->node));
    st->st_atime = st->st_mtime = st->st_ctime = server().started;
    return 0;
}

int simReaddir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags)
{
    const Entry *dir = findEntry(path);
    if (!dir)
        return -ENOENT;
    if (!S_ISDIR(dir->mode))
        return -ENOTDIR;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const Entry &e : entries) {
        if (e.parent && strcmp(e.parent, path) == 0 && !(e.node == Node::Admctl && switchAbsent()))
            fill(buf, baseName(e.path), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

int simOpen(const char *path, struct fuse_file_info *fi)
{
    const Entry *e = findEntry(path);
    if (!e)
        return -ENOENT;
    if (S_ISDIR(e->mode))
        return -EISDIR;
    const int access = fi->flags & O_ACCMODE;
    switch (e->node) {
    case Node::Policy:
    case Node::Dynamic:
    case Node::SimReset:
        if (access != O_WRONLY)
            return -EACCES;
        break;
    case Node::SimState:
        if (access != O_RDONLY)
            return -EACCES;
        break;
    case Node::Admctl:
        if (server().admctlOpenFailure)
            return -server().admctlOpenFailure;
        break;
    default:
        break;
    }
    Server &s = server();
    Handle h{e->node, {}, 0, false, 0, {}};
    if (e->node == Node::SimState)
        h.snapshot = s.kernel.renderState();
    else if (e->node == Node::SimFail)
        h.snapshot = s.kernel.renderFail();
    fi->fh = s.nextHandle++;
    fi->direct_io = 1;
    s.handles.emplace(fi->fh, std::move(h));
    return 0;
}

int readFrom(const std::string &content, char *buf, size_t size, off_t off)
{
    if (off < 0)
        return -EINVAL;
    const size_t start = static_cast<size_t>(off);
    if (start >= content.size())
        return 0;
    const size_t n = std::min(size, content.size() - start);
    memcpy(buf, content.data() + start, n);
    return static_cast<int>(n);
}

int simRead(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    Handle *h = handleOf(fi);
    if (!h)
        return -EBADF;
    switch (h->node) {
    case Node::Admctl:
        if (server().admctlFailure)
            return -server().admctlFailure;
        return readFrom(server().kernel.admctl(), buf, size, off);
    case Node::SimAdmctlFail: return readFrom(std::to_string(server().admctlFailure) + "\n", buf, size, off);
    case Node::SimAdmctlOpenFail:
        return readFrom(std::to_string(server().admctlOpenFailure) + "\n", buf, size, off);
    case Node::SimState:
    case Node::SimFail: return readFrom(h->snapshot, buf, size, off);
    default: return -EINVAL;
    }
}

// A write to `policy` or `dynamic`: collect, and judge once complete.
int moduleWrite(Handle &h, const char *buf, size_t size, off_t off)
{
    SimKernel &kernel = server().kernel;
    kernel.countWrite();
    ++h.chunks;
    if (h.judged)
        return -EINVAL; // one request per open
    if (h.data.empty()) {
        const int injected = kernel.takeInjectedFailure();
        if (injected) {
            // Reported by this write(2) itself; close(2) has nothing to add.
            h.judged = true;
            return -injected;
        }
    }
    if (off < 0 || static_cast<size_t>(off) != h.data.size()) {
        h.judged = true;
        h.result = EINVAL;
        return -h.result;
    }
    h.data.insert(h.data.end(), buf, buf + size);
    if (h.node == Node::Dynamic) {
        if (h.data.size() > SimKernel::maxDynamicWrite) {
            h.judged = true;
            h.result = EINVAL;
        } else if (std::count(h.data.begin(), h.data.end(), '\n') >= 3) {
            h.judged = true;
            h.result = kernel.applyDynamic(std::string(h.data.begin(), h.data.end()));
        }
    } else {
        size_t total = 0;
        const int peek = SimKernel::peekImage(h.data, total);
        if (peek > 0) {
            h.judged = true;
            h.result = peek;
        } else if (peek == 0 && h.data.size() == total) {
            h.judged = true;
            h.result = kernel.applyImage(h.data);
        }
        if (h.judged)
            kernel.noteImageChunks(h.chunks);
    }
    return h.result ? -h.result : static_cast<int>(size);
}

int simWrite(const char *, const char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    Handle *h = handleOf(fi);
    if (!h)
        return -EBADF;
    SimKernel &kernel = server().kernel;
    switch (h->node) {
    case Node::Policy:
    case Node::Dynamic:
        return moduleWrite(*h, buf, size, off);
    case Node::Admctl: {
        if (off < 0)
            return -EINVAL;
        std::string &content = kernel.admctl();
        const size_t start = static_cast<size_t>(off);
        if (content.size() < start + size)
            content.resize(start + size);
        content.replace(start, size, buf, size);
        return static_cast<int>(size);
    }
    case Node::SimFail: {
        const int rc = kernel.setInjectedFailure(std::string(buf, size));
        return rc ? -rc : static_cast<int>(size);
    }
    case Node::SimAdmctlFail:
    case Node::SimAdmctlOpenFail: {
        const int code = atoi(std::string(buf, size).c_str());
        if (code < 0 || code > 511)
            return -EINVAL;
        (h->node == Node::SimAdmctlFail ? server().admctlFailure : server().admctlOpenFailure) = code;
        return static_cast<int>(size);
    }
    case Node::SimReset:
        kernel.reset();
        return static_cast<int>(size);
    default:
        return -EINVAL;
    }
}

// close(2): what could only be judged once everything had arrived, and
// data that never made a whole request.
int simFlush(const char *, struct fuse_file_info *fi)
{
    Handle *h = handleOf(fi);
    if (!h || (h->node != Node::Policy && h->node != Node::Dynamic))
        return 0;
    if (!h->judged && !h->data.empty()) {
        h->judged = true;
        if (h->node == Node::Dynamic) {
            h->result = server().kernel.applyDynamic(std::string(h->data.begin(), h->data.end()));
        } else {
            fprintf(stderr, "tavo-simkernel: image closed after %zu bytes, before its end\n", h->data.size());
            h->result = EINVAL;
            server().kernel.noteImageChunks(h->chunks);
        }
    }
    return -h->result;
}

int simRelease(const char *, struct fuse_file_info *fi)
{
    server().handles.erase(fi->fh);
    return 0;
}

int simTruncate(const char *path, off_t size, struct fuse_file_info *)
{
    const Entry *e = findEntry(path);
    if (!e)
        return -ENOENT;
    if (size < 0)
        return -EINVAL;
    if (e->node == Node::Admctl)
        server().kernel.admctl().resize(static_cast<size_t>(size));
    return 0; // `echo x > policy` truncates first; there is nothing to cut
}

fuse_operations operations()
{
    fuse_operations ops{};
    ops.init = simInit;
    ops.getattr = simGetattr;
    ops.readdir = simReaddir;
    ops.open = simOpen;
    ops.read = simRead;
    ops.write = simWrite;
    ops.flush = simFlush;
    ops.release = simRelease;
    ops.truncate = simTruncate;
    return ops;
}

void usage(FILE *to)
{
    fprintf(to, "usage: tavo-simkernel [--max-write BYTES] MOUNTPOINT\n");
}

} // namespace

int main(int argc, char **argv)
{
    Server s;
    const char *mountpoint = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        }
        if (arg == "--max-write" && i + 1 < argc) {
            char *end = nullptr;
            const unsigned long n = strtoul(argv[++i], &end, 10);
            if (*end || n < 4096 || n > (1u << 30)) {
                fprintf(stderr, "tavo-simkernel: --max-write takes 4096 to 1073741824 bytes\n");
                return 2;
            }
            s.maxWrite = static_cast<unsigned>(n);
        } else if (!mountpoint && arg[0] != '-') {
            mountpoint = argv[i];
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (!mountpoint) {
        usage(stderr);
        return 2;
    }

    // Everyone may look (the host checks run as any user); the mode bits
    // above decide who may write, as they do in securityfs.
    char program[] = "tavo-simkernel";
    char optionFlag[] = "-o";
    char options[] = "allow_other,default_permissions,fsname=tavo-simkernel,subtype=tavo";
    char *fuseArgv[] = {program, optionFlag, options, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
    // fuse_new may copy the arguments to add its own; freed on every return.
    struct ArgsGuard {
        fuse_args &args;
        ~ArgsGuard() { fuse_opt_free_args(&args); }
    } argsGuard{args};
    const fuse_operations ops = operations();
    fuse *fs = fuse_new(&args, &ops, sizeof ops, &s);
    if (!fs)
        return 1;
    if (fuse_mount(fs, mountpoint) != 0) {
        fuse_destroy(fs);
        return 1;
    }
    fuse_session *session = fuse_get_session(fs);
    if (fuse_set_signal_handlers(session) != 0) {
        fuse_unmount(fs);
        fuse_destroy(fs);
        return 1;
    }
    // stdout carries nothing else: a reader may stop reading after this.
    signal(SIGPIPE, SIG_IGN);
    printf("ready\n");
    fflush(stdout);

    const int rc = fuse_loop(fs);
    fuse_remove_signal_handlers(session);
    fuse_unmount(fs);
    fuse_destroy(fs);
    // The loop reports the signal that stopped it; that is the normal end.
    const bool stopped = rc == 0 || rc == SIGTERM || rc == SIGINT || rc == SIGHUP;
    return stopped ? 0 : 1;
}
