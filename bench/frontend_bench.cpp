// tavo-frontend-bench: throughput of the policy scanner, the compiler front
// end and the checker command over a synthetic policy set, and how much
// memory the compiled records take.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <getopt.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <tavopolicysync/log.h>

#include "file_replace.h"
#include "front_end.h"
#include "lexer.h"
#include "parse_state.h"
#include "policy_manager.h"
#include "parser.h"
#include "policy_generator.h"
#include "policy_identity.h"
#include "rule_expansion.h"
#include "sha256.h"

#ifndef TAVO_POLICY_CHECK_PATH
#define TAVO_POLICY_CHECK_PATH "tavo-policy-check"
#endif
#ifndef TAVO_BUILD_TYPE
#define TAVO_BUILD_TYPE "unknown"
#endif

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

const char usageText[] =
    "Usage: tavo-frontend-bench [--files N] [--rules M] [--seed S] [--runs R]\n"
    "                           [--checker PATH] [--dir DIRECTORY] [--no-checker]\n"
    "                           [--checkpolicy PATH] [--baseline-checker PATH]\n"
    "Measure the policy scanner, the compiler front end and the checker command\n"
    "on a synthetic policy set (default 100 files x 1000 rules, seed 1, 5 runs).\n"
    "Without --dir the set is written to a temporary directory and removed after.\n"
    "--no-checker leaves out the checker runs (for profiling the in-process stages).\n"
    "The checker is also timed against checkpolicy (default /usr/bin/checkpolicy) on\n"
    "as many plain two-permission rules, alternately, when that program exists.\n"
    "--baseline-checker times another build of the checker (--quiet DIR) against\n"
    "this one, alternately, and gives the ratio.\n";

constexpr int exitUsage = 64;
// "identity " + 64 hex digits + newline, "stand-in image sha256 " + 64 hex
// digits + newline.
constexpr char identityLine[] = "identity ";
constexpr size_t digestLinesBytes = (sizeof identityLine - 1) + 65 + 22 + 65;

// Goals the figures are compared with (reported, never enforced).
constexpr double goalNodesPerSecond = 1e6;
constexpr double goalRssOverRecords = 3.0;
constexpr double goalCheckerRssMiB = 128;
constexpr double goalVersusCheckpolicy = 1.0 / 3.0;

struct Options {
    GeneratorOptions generator;
    size_t runs = 5;
    std::string checker = TAVO_POLICY_CHECK_PATH;
    std::string directory;
    bool runChecker = true;
    std::string checkpolicy = "/usr/bin/checkpolicy";
    std::string baselineChecker;
};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this thread: unlike wall time it does not grow when other
// processes compete for the cores.
double threadCpuSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

class Stopwatch {
public:
    Stopwatch() : wall_(Clock::now()), cpu_(threadCpuSeconds()) {}
    Timing elapsed() const { return Timing{secondsSince(wall_), threadCpuSeconds() - cpu_}; }

private:
    Clock::time_point wall_;
    double cpu_;
};

struct Stats {
    double median = 0;
    double min = 0;
    double max = 0;
};

Stats summarise(std::vector<double> values)
{
    Stats s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
}

// The fastest of `runs` CPU times of SHA-256 over `bytes`, 64 KiB at a
// time from a buffer in the cache (as the identity hashes its blocks). What
// the checker's output fixes it hashes whole, so this is a floor under the
// checker's CPU time however fast the rest becomes.
double sha256Seconds(size_t bytes, size_t runs)
{
    std::vector<char> block(64 * 1024, 'x');
    double fastest = 0;
    for (size_t run = 0; run < runs; ++run) {
        const Stopwatch watch;
        Sha256 hash;
        for (size_t done = 0; done < bytes; done += block.size())
            hash.update(block.data(), std::min(block.size(), bytes - done));
        hash.final();
        const double cpu = watch.elapsed().cpu;
        if (run == 0 || cpu < fastest)
            fastest = cpu;
    }
    return fastest;
}

// 1234567 -> "1,234,567"
std::string grouped(double value)
{
    std::string digits = std::to_string(static_cast<unsigned long long>(value + 0.5));
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<size_t>(i), ",");
    return digits;
}

double mib(double bytes)
{
    return bytes / (1024.0 * 1024.0);
}

// ---- deep size of the records --------------------------------------------

// glibc's malloc on 64-bit hosts: 8 bytes of header, 16-byte granules,
// 32 bytes at least. Only an estimate of what the heap really spends.
size_t mallocChunk(size_t request)
{
    const size_t chunk = (request + 8 + 15) & ~static_cast<size_t>(15);
    return chunk < 32 ? 32 : chunk;
}

struct Footprint {
    size_t nodes = 0;
    size_t records = 0;     // sizeof(PolicyNode) per node plus owned heap
    size_t withMalloc = 0;  // heap blocks rounded to malloc chunks, node arrays at capacity
    size_t allocations = 0; // heap blocks owned by the records
    size_t arraySlack = 0;  // unused capacity of the per-file node arrays

    void block(size_t bytes)
    {
        if (bytes == 0)
            return;
        records += bytes;
        withMalloc += mallocChunk(bytes);
        ++allocations;
    }
    void add(const std::string &s)
    {
        // libstdc++ keeps up to 15 bytes in the object itself.
        if (s.capacity() > 15)
            block(s.capacity() + 1);
    }
    template <typename T>
    void addArray(const std::vector<T> &v)
    {
        block(v.capacity() * sizeof(T));
    }
    void add(const FuncParam &p) { add(p.text); }
    void add(const ExprNode &e)
    {
        add(e.name);
        add(e.varName);
        addAll(e.params);
    }
    void add(const DoFuncNode &d)
    {
        add(d.name);
        addAll(d.params);
    }
    void add(const TAVO_ID &) {}
    template <typename T>
    void addAll(const std::vector<T> &v)
    {
        addArray(v);
        for (const T &element : v)
            add(element);
    }
    void add(const PolicyNode &n)
    {
        ++nodes;
        records += sizeof(PolicyNode);
        addAll(n.sids);
        addAll(n.subjectNames);
        addAll(n.oids);
        addAll(n.objectNames);
        add(n.objectType);
        add(n.permission);
        addAll(n.conditions);
        addAll(n.actions);
        add(n.namespaceName);
        add(n.sectionName);
        add(n.moduleName);
    }
    void addDb(const PolicyDb &db)
    {
        for (const PolicyNode &n : db.nodes)
            add(n);
        withMalloc += mallocChunk(db.nodes.capacity() * sizeof(PolicyNode));
        arraySlack += (db.nodes.capacity() - db.nodes.size()) * sizeof(PolicyNode);
    }
};

// ---- in-process measurements ---------------------------------------------

struct ScanResult {
    Timing time;
    size_t tokens = 0;
    size_t failures = 0;
};

// Each text is scanned in place, as the pipeline scans a file it has read.
ScanResult scanAll(std::vector<GeneratedPolicy> &policies)
{
    ScanResult result;
    const Stopwatch watch;
    for (GeneratedPolicy &p : policies) {
        Scanner scanner(Scanner::InPlace{}, p.text);
        TokenValue value;
        int code;
        while ((code = scanner.next(&value)) != 0)
            ++result.tokens;
        if (scanner.failed())
            ++result.failures;
    }
    result.time = watch.elapsed();
    return result;
}

struct ParseResult {
    Timing time;    // scan, parse and hand-off of every file
    Timing release; // the library dropping the records afterwards
    size_t nodes = 0;
    size_t failures = 0;
};

// The front end as the pipeline drives it for files held in memory: each
// file's records go to the library, which keeps them until the next full
// compile clears them. `look` (untimed use only) sees each file's records
// before they are handed over.
ParseResult parseAll(std::vector<GeneratedPolicy> &policies,
                     const std::function<void(const GeneratedPolicy &, const PolicyDb &)> &look = {},
                     IdentityBuilder *identity = nullptr)
{
    PolicyModuleManagerInterface &manager = policyManager();
    manager.clearAllPolicy();
    LibraryOutput library;
    FrontEnd frontEnd(library);
    ParseResult result;
    const Stopwatch watch;
    for (GeneratedPolicy &p : policies) {
        if (compileText(frontEnd, p.fileName, p.text) != 0)
            ++result.failures;
        // The daemon takes the identity of the rules on their way to the
        // library (IdentityOutput).
        if (identity)
            identity->addFile(p.fileName, frontEnd.state().fileRules);
        PolicyDb &db = expandFileNodes(frontEnd.state(), frontEnd.state().fileRules, false);
        result.nodes += db.nodes.size();
        if (look)
            look(p, db);
        manager.addPolicy(p.fileName, db);
    }
    resetParseState(frontEnd);
    result.time = watch.elapsed();
    const Stopwatch releaseWatch;
    manager.clearAllPolicy();
    result.release = releaseWatch.elapsed();
    return result;
}

// ---- the checker command --------------------------------------------------

struct ChildFigures {
    double seconds = 0;
    double cpuSeconds = 0;
    long maxRssKiB = 0;
    int status = -1;
    size_t stderrBytes = 0;
    bool started = false;
};

struct ChildResult : ChildFigures {
    std::string stderrHead;
};

ChildResult spawnAndWait(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv)
{
    std::vector<std::string> envText(extraEnv);
    for (char **e = environ; *e; ++e)
        envText.emplace_back(*e);
    std::vector<char *> env;
    for (std::string &e : envText)
        env.push_back(&e[0]);
    env.push_back(nullptr);

    ChildResult result;
    FILE *errors = tmpfile();
    if (!errors)
        return result;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fileno(errors), STDERR_FILENO);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc == 0) {
        struct rusage usage;
        int status = 0;
        pid_t waited;
        while ((waited = wait4(pid, &status, 0, &usage)) < 0 && errno == EINTR) {
        }
        result.seconds = secondsSince(start);
        if (waited == pid) {
            result.started = true;
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            result.maxRssKiB = usage.ru_maxrss;
            result.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        }
    }

    fflush(errors);
    result.stderrBytes = static_cast<size_t>(std::max(0L, ftell(errors)));
    rewind(errors);
    char head[512];
    const size_t n = fread(head, 1, sizeof head - 1, errors);
    result.stderrHead.assign(head, n);
    fclose(errors);
    return result;
}

// A child's peak RSS (ru_maxrss) starts from its parent's at the spawn: the
// kernel keeps the larger of the two across exec. This benchmark grows past
// the checker's own peak on a small set, so its children are spawned by a
// small process forked before it grows, which sends each result back.
class Spawner {
public:
    // Before anything else in main: the process must still be small and
    // have one thread.
    void start()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            serve(fds[1]);
            _exit(0);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            return;
        }
        fd_ = fds[0];
        pid_ = pid;
    }
    ~Spawner()
    {
        if (fd_ < 0)
            return;
        close(fd_);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    // Spawned here when there is no spawner (the peak RSS may then be ours).
    ChildResult run(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv)
    {
        if (fd_ < 0)
            return spawnAndWait(argv, extraEnv);
        // The argument count, the arguments, then the extra environment,
        // each ended by a NUL.
        std::string request = std::to_string(argv.size()) + '\0';
        for (const std::vector<std::string> *texts : {&argv, &extraEnv}) {
            for (const std::string &t : *texts)
                request += t + '\0';
        }
        const uint64_t size = request.size();
        Reply reply;
        if (!writeAll(fd_, &size, sizeof size) || !writeAll(fd_, request.data(), request.size()) ||
            !readExactly(fd_, &reply, sizeof reply))
            return ChildResult();
        ChildResult r;
        static_cast<ChildFigures &>(r) = reply.figures;
        r.stderrHead.assign(reply.head, std::min(reply.headSize, sizeof reply.head));
        return r;
    }

private:
    // Between two processes of one program: sent as it is in memory.
    struct Reply {
        ChildFigures figures;
        size_t headSize;
        char head[512];
    };

    static void serve(int fd)
    {
        uint64_t size = 0;
        std::string request;
        while (readExactly(fd, &size, sizeof size) && size < (uint64_t{1} << 30)) {
            request.resize(size);
            if (!readExactly(fd, &request[0], size))
                return;
            std::vector<std::string> texts;
            for (size_t at = 0; at < request.size();) {
                const size_t end = request.find('\0', at);
                texts.push_back(request.substr(at, end - at));
                at = end == std::string::npos ? request.size() : end + 1;
            }
            const size_t argc = texts.empty() ? 0 : std::min<size_t>(std::stoul(texts[0]), texts.size() - 1);
            const std::vector<std::string> argv(texts.begin() + 1, texts.begin() + 1 + argc);
            const std::vector<std::string> extraEnv(texts.begin() + 1 + argc, texts.end());
            const ChildResult r = spawnAndWait(argv, extraEnv);
            Reply reply{};
            reply.figures = r;
            reply.headSize = std::min(r.stderrHead.size(), sizeof reply.head);
            memcpy(reply.head, r.stderrHead.data(), reply.headSize);
            if (!writeAll(fd, &reply, sizeof reply))
                return;
        }
    }

    // Reads all `size` bytes; false at an end or error.
    static bool readExactly(int fd, void *data, size_t size)
    {
        char *bytes = static_cast<char *>(data);
        for (size_t done = 0; done < size;) {
            const ssize_t n = read(fd, bytes + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    int fd_ = -1;
    pid_t pid_ = -1;
};

Spawner spawner;

ChildResult runChild(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv)
{
    return spawner.run(argv, extraEnv);
}

struct CheckerSeries {
    Stats wall;
    Stats cpu;
    Stats rssKiB;
    bool clean = true;
    std::string problem;
};

CheckerSeries runCheckerSeries(const Options &o, const std::vector<std::string> &flags,
                               const std::vector<std::string> &extraEnv = {})
{
    std::vector<double> wall, cpu, rss;
    CheckerSeries series;
    for (size_t i = 0; i < o.runs; ++i) {
        std::vector<std::string> argv{o.checker};
        argv.insert(argv.end(), flags.begin(), flags.end());
        argv.push_back(o.directory);
        const ChildResult r = runChild(argv, extraEnv);
        // A clean run prints the image's digest and nothing else.
        const bool onlyDigest = r.stderrBytes == digestLinesBytes &&
                                r.stderrHead.compare(0, sizeof identityLine - 1, identityLine) == 0;
        if (!r.started || r.status != 0 || !onlyDigest) {
            series.clean = false;
            series.problem = !r.started ? "could not run " + o.checker
                                        : "exit status " + std::to_string(r.status) + ", " +
                                              std::to_string(r.stderrBytes) + " bytes on stderr: " + r.stderrHead;
            if (!r.started)
                break;
        }
        wall.push_back(r.seconds);
        cpu.push_back(r.cpuSeconds);
        rss.push_back(static_cast<double>(r.maxRssKiB));
    }
    series.wall = summarise(wall);
    series.cpu = summarise(cpu);
    series.rssKiB = summarise(rss);
    return series;
}

// ---- the checker against checkpolicy ------------------------------------

struct Versus {
    bool ran = false;
    size_t nodes = 0;
    Stats checkerWall, checkerCpu, checkpolicyWall, checkpolicyCpu;
    std::string problem;
};

bool writeText(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return false;
    const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

// Plain rules for the checker, the same number of allow rules for
// checkpolicy; the two run alternately so that both see the same load.
Versus runVersusCheckpolicy(const Options &o, const std::string &directory)
{
    Versus v;
    GeneratorOptions plainOptions = o.generator;
    plainOptions.plain = true;
    const std::vector<GeneratedPolicy> plain = generatePolicies(plainOptions);
    const size_t rules = plainOptions.files * plainOptions.rulesPerFile;
    v.nodes = rules * plainNodesPerRule;
    const std::string conf = directory + "/selinux.conf";
    const std::string binary = directory + "/selinux.bin";
    std::string error;
    if (!writePolicies(directory, plain, error) || !writeText(conf, selinuxPolicy(rules))) {
        v.problem = "cannot write the plain policy sets: " + error;
        return v;
    }
    std::vector<double> cw, cc, pw, pc;
    for (size_t i = 0; i < o.runs; ++i) {
        const ChildResult c = runChild({o.checker, "--quiet", directory}, {});
        const ChildResult p = runChild({o.checkpolicy, "-o", binary, conf}, {});
        if (!c.started || c.status != 0 || !p.started || p.status != 0) {
            v.problem = "checker exit " + std::to_string(c.status) + ", checkpolicy exit " +
                        std::to_string(p.status) + ": " + c.stderrHead + p.stderrHead;
            break;
        }
        cw.push_back(c.seconds);
        cc.push_back(c.cpuSeconds);
        pw.push_back(p.seconds);
        pc.push_back(p.cpuSeconds);
    }
    unlink(conf.c_str());
    unlink(binary.c_str());
    for (const GeneratedPolicy &p : plain)
        unlink((directory + "/" + p.fileName).c_str());
    rmdir(directory.c_str());
    v.ran = v.problem.empty();
    v.checkerWall = summarise(cw);
    v.checkerCpu = summarise(cc);
    v.checkpolicyWall = summarise(pw);
    v.checkpolicyCpu = summarise(pc);
    return v;
}

// This checker against another build of it on the benchmark set, run
// alternately so that both see the same load.
struct VersusBaseline {
    Stats checkerWall, checkerCpu, baselineWall, baselineCpu;
    std::string problem;
};

VersusBaseline runVersusBaseline(const Options &o)
{
    VersusBaseline v;
    std::vector<double> cw, cc, bw, bc;
    for (size_t i = 0; i < o.runs; ++i) {
        const ChildResult b = runChild({o.baselineChecker, "--quiet", o.directory}, {});
        const ChildResult c = runChild({o.checker, "--quiet", o.directory}, {});
        if (!c.started || c.status != 0 || !b.started || b.status != 0) {
            v.problem = "checker exit " + std::to_string(c.status) + ", baseline exit " + std::to_string(b.status) +
                        ": " + c.stderrHead + b.stderrHead;
            break;
        }
        cw.push_back(c.seconds);
        cc.push_back(c.cpuSeconds);
        bw.push_back(b.seconds);
        bc.push_back(b.cpuSeconds);
    }
    v.checkerWall = summarise(cw);
    v.checkerCpu = summarise(cc);
    v.baselineWall = summarise(bw);
    v.baselineCpu = summarise(bc);
    return v;
}

// Size of the image the checker writes for the set.
long imageBytes(const Options &o, const std::string &scratch)
{
    const std::string image = scratch + "/policy.img";
    const ChildResult r = runChild({o.checker, "--quiet", "--image", image, o.directory}, {});
    struct stat st;
    const long size = r.status == 0 && stat(image.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
    unlink(image.c_str());
    rmdir(scratch.c_str());
    return size;
}

// ---- set-up -----------------------------------------------------------------

int parseOptions(int argc, char **argv, Options &o)
{
    const struct option longOptions[] = {
        {"files", required_argument, nullptr, 'f'}, {"rules", required_argument, nullptr, 'r'},
        {"seed", required_argument, nullptr, 's'},  {"runs", required_argument, nullptr, 'n'},
        {"checker", required_argument, nullptr, 'c'}, {"dir", required_argument, nullptr, 'd'},
        {"no-checker", no_argument, nullptr, 'x'},  {"help", no_argument, nullptr, 'h'},
        {"checkpolicy", required_argument, nullptr, 'p'},
        {"baseline-checker", required_argument, nullptr, 'b'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "f:r:s:n:c:d:xp:b:h", longOptions, nullptr)) != -1) {
        uint64_t value = 0;
        switch (opt) {
        case 'f':
        case 'r':
        case 's':
        case 'n':
            if (!parseCount(optarg, value) || (opt != 's' && value == 0)) {
                fprintf(stderr, "tavo-frontend-bench: bad value '%s' for -%c\n", optarg, opt);
                return exitUsage;
            }
            if (opt == 'f')
                o.generator.files = static_cast<size_t>(value);
            else if (opt == 'r')
                o.generator.rulesPerFile = static_cast<size_t>(value);
            else if (opt == 's')
                o.generator.seed = value;
            else
                o.runs = static_cast<size_t>(value);
            break;
        case 'c': o.checker = optarg; break;
        case 'd': o.directory = optarg; break;
        case 'x': o.runChecker = false; break;
        case 'p': o.checkpolicy = optarg; break;
        case 'b': o.baselineChecker = optarg; break;
        case 'h': fputs(usageText, stdout); return 0;
        default: fputs(usageText, stderr); return exitUsage;
        }
    }
    if (optind != argc) {
        fputs(usageText, stderr);
        return exitUsage;
    }
    return -1;
}

std::string makeTemporaryDirectory()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tavo-bench-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        return std::string();
    return pattern;
}

void removeGenerated(const std::string &directory, const std::vector<GeneratedPolicy> &policies)
{
    for (const GeneratedPolicy &p : policies)
        unlink((directory + "/" + p.fileName).c_str());
    rmdir(directory.c_str());
}

void printGoal(const char *what, bool met, const std::string &figure)
{
    printf("  %-44s %-22s %s\n", what, figure.c_str(), met ? "met" : "MISSED");
}

} // namespace

int main(int argc, char **argv)
{
    spawner.start();
    Options o;
    const int optionsResult = parseOptions(argc, argv, o);
    if (optionsResult >= 0)
        return optionsResult;

    // Compile errors go to stderr, never to the system log.
    setLogToStderr("bench", TAVO_LOG_WARNING);

    std::vector<GeneratedPolicy> policies = generatePolicies(o.generator);
    // Room for the scanner's end bytes, as the pipeline reads a file.
    for (GeneratedPolicy &p : policies)
        p.text.reserve(p.text.size() + 2);
    const bool temporary = o.directory.empty();
    if (temporary) {
        o.directory = makeTemporaryDirectory();
        if (o.directory.empty()) {
            perror("tavo-frontend-bench: mkdtemp");
            return 1;
        }
    }
    std::string error;
    if (!writePolicies(o.directory, policies, error)) {
        fprintf(stderr, "tavo-frontend-bench: %s\n", error.c_str());
        if (temporary)
            removeGenerated(o.directory, policies);
        return 1;
    }

    size_t rules = 0;
    size_t bytes = 0;
    for (const GeneratedPolicy &p : policies) {
        rules += p.rules;
        bytes += p.text.size();
    }

    // Untimed pass: every file must compile to the expected nodes, and the
    // records are measured while they exist.
    Footprint footprint;
    size_t wrongCounts = 0;
    size_t canonicalBytes = 0;
    IdentityBuilder sizing;
    sizing.setRuleHook([&canonicalBytes](const std::string &, const FileRule &, std::string_view bytes) {
        canonicalBytes += bytes.size();
    });
    const ParseResult check = parseAll(policies, [&](const GeneratedPolicy &p, const PolicyDb &db) {
        footprint.addDb(db);
        if (db.nodes.size() != p.rules * nodesPerRule)
            ++wrongCounts;
    }, &sizing);
    if (check.failures != 0 || wrongCounts != 0) {
        fprintf(stderr, "tavo-frontend-bench: %zu files failed to compile, %zu gave unexpected node counts\n",
                check.failures, wrongCounts);
        if (temporary)
            removeGenerated(o.directory, policies);
        return 1;
    }
    const size_t nodes = check.nodes;

    std::vector<double> scanWall, scanCpu, parseWall, parseCpu, releaseWall, releaseCpu;
    size_t tokens = 0;
    size_t failures = 0;
    for (size_t i = 0; i < o.runs; ++i) {
        const ScanResult s = scanAll(policies);
        scanWall.push_back(s.time.wall);
        scanCpu.push_back(s.time.cpu);
        tokens = s.tokens;
        failures += s.failures;
    }
    std::vector<double> identityWall, identityCpu;
    for (size_t i = 0; i < o.runs; ++i) {
        const ParseResult r = parseAll(policies);
        parseWall.push_back(r.time.wall);
        parseCpu.push_back(r.time.cpu);
        releaseWall.push_back(r.release.wall);
        releaseCpu.push_back(r.release.cpu);
        failures += r.failures;
        IdentityBuilder identity;
        const ParseResult withIdentity = parseAll(policies, {}, &identity);
        identityWall.push_back(withIdentity.time.wall);
        identityCpu.push_back(withIdentity.time.cpu);
        failures += withIdentity.failures;
    }
    const Stats identityStats = summarise(identityWall);
    const Stats identityCpuStats = summarise(identityCpu);
    const Stats scan = summarise(scanWall);
    const Stats scanCpuStats = summarise(scanCpu);
    const Stats parse = summarise(parseWall);
    const Stats parseCpuStats = summarise(parseCpu);
    const Stats release = summarise(releaseWall);
    const Stats releaseCpuStats = summarise(releaseCpu);

    CheckerSeries quiet, json, huge;
    if (o.runChecker) {
        quiet = runCheckerSeries(o, {"--quiet"});
        json = runCheckerSeries(o, {"--quiet", "--json"});
        // The same with glibc backing the heap by transparent huge pages:
        // fewer page faults and TLB misses on a large record set.
        huge = runCheckerSeries(o, {"--quiet"}, {"GLIBC_TUNABLES=glibc.malloc.hugetlb=1"});
    }
    long image = -1;
    Versus versus;
    if (o.runChecker) {
        image = imageBytes(o, makeTemporaryDirectory());
        if (access(o.checkpolicy.c_str(), X_OK) == 0)
            versus = runVersusCheckpolicy(o, makeTemporaryDirectory());
        else
            versus.problem = o.checkpolicy + " not found";
    }
    VersusBaseline baseline;
    if (o.runChecker && !o.baselineChecker.empty())
        baseline = runVersusBaseline(o);

    // ---- report ---------------------------------------------------------
    const double dRules = static_cast<double>(rules);
    const double dNodes = static_cast<double>(nodes);
    const double dBytes = static_cast<double>(bytes);
    const double dTokens = static_cast<double>(tokens);

    printf("tavo front-end benchmark (%s build%s), medians of %zu runs\n", TAVO_BUILD_TYPE,
#ifdef NDEBUG
           "",
#else
           ", assertions on: figures are not representative",
#endif
           o.runs);
    printf("input: %zu files x %zu rules (seed %llu) = %s rules, %s nodes, %.2f MiB of text, %s tokens\n",
           o.generator.files, o.generator.rulesPerFile, static_cast<unsigned long long>(o.generator.seed),
           grouped(dRules).c_str(), grouped(dNodes).c_str(), mib(dBytes), grouped(dTokens).c_str());
    printf("checker: %s\n", o.runChecker ? o.checker.c_str() : "(not run)");
    printf("policy set: %s%s\n", o.directory.c_str(), temporary ? " (temporary)" : "");
    printf("wall = elapsed time; cpu = CPU time of the measured thread or process (insensitive to\n"
           "other load on the host). Throughput is given at the wall median, then [at the cpu median].\n\n");

    printf("%-38s %8s %8s %8s %8s   %s\n", "stage", "wall med", "wall min", "wall max", "cpu med", "throughput");
    printf("%-38s %8.3f %8.3f %8.3f %8.3f   %.1f [%.1f] MiB/s, %s [%s] tokens/s\n", "(a) scanner alone: Scanner::next",
           scan.median, scan.min, scan.max, scanCpuStats.median, mib(dBytes) / scan.median,
           mib(dBytes) / scanCpuStats.median, grouped(dTokens / scan.median).c_str(),
           grouped(dTokens / scanCpuStats.median).c_str());
    printf("%-38s %8.3f %8.3f %8.3f %8.3f   %s [%s] rules/s, %s [%s] nodes/s\n",
           "(b) front end: scan+parse+hand-off", parse.median, parse.min, parse.max, parseCpuStats.median,
           grouped(dRules / parse.median).c_str(), grouped(dRules / parseCpuStats.median).c_str(),
           grouped(dNodes / parse.median).c_str(), grouped(dNodes / parseCpuStats.median).c_str());
    printf("%-38s %8.3f %8.3f %8.3f %8.3f   %s [%s] nodes/s\n", "    release of the records", release.median,
           release.min, release.max, releaseCpuStats.median, grouped(dNodes / release.median).c_str(),
           grouped(dNodes / releaseCpuStats.median).c_str());
    printf("%-38s %8.3f %8.3f %8.3f %8.3f   %s [%s] nodes/s, %.3fx [%.3fx] (b), %.1f MiB canonical form\n",
           "    (b) with the policy identity", identityStats.median, identityStats.min, identityStats.max,
           identityCpuStats.median, grouped(dNodes / identityStats.median).c_str(),
           grouped(dNodes / identityCpuStats.median).c_str(), identityStats.median / parse.median,
           identityCpuStats.median / parseCpuStats.median, mib(static_cast<double>(canonicalBytes)));
    const double cycle = parse.median + release.median;
    const double cycleCpu = parseCpuStats.median + releaseCpuStats.median;
    printf("%-38s %8.3f %8s %8s %8.3f   %s [%s] rules/s, %s [%s] nodes/s\n", "    front end + release", cycle, "", "",
           cycleCpu, grouped(dRules / cycle).c_str(), grouped(dRules / cycleCpu).c_str(),
           grouped(dNodes / cycle).c_str(), grouped(dNodes / cycleCpu).c_str());
    printf("%-38s %8s %8s %8s %8s   %.2fx [%.2fx] the scanner's time\n", "    front end / scanner", "", "", "", "",
           parse.median / scan.median, parseCpuStats.median / scanCpuStats.median);
    const double canonicalSha = sha256Seconds(canonicalBytes, o.runs);
    printf("%-38s %8s %8s %8s %8.3f", "    SHA-256 of the canonical form", "", "", "", canonicalSha);
    if (o.runChecker)
        printf("   %.1f %% of the checker's least CPU (c), a floor", 100 * canonicalSha / quiet.cpu.min);
    printf("\n");
    const auto printChecker = [&](const char *label, const CheckerSeries &c) {
        printf("%-38s %8.3f %8.3f %8.3f %8.3f   %s [%s] rules/s, %s [%s] nodes/s, peak RSS %.1f MiB\n", label,
               c.wall.median, c.wall.min, c.wall.max, c.cpu.median, grouped(dRules / c.wall.median).c_str(),
               grouped(dRules / c.cpu.median).c_str(), grouped(dNodes / c.wall.median).c_str(),
               grouped(dNodes / c.cpu.median).c_str(), c.rssKiB.median / 1024.0);
    };
    if (o.runChecker) {
        printChecker("(c) checker --quiet DIR", quiet);
        printChecker("    checker --quiet --json DIR", json);
        printChecker("    checker --quiet DIR, THP heap", huge);
    }

    const double records = static_cast<double>(footprint.records);
    printf("\n(d) records: %s nodes, sizeof(PolicyNode) %zu B\n", grouped(static_cast<double>(footprint.nodes)).c_str(),
           sizeof(PolicyNode));
    printf("    deep size                      %9.1f MiB  (%.0f B/node, %.1f heap blocks/node)\n", mib(records),
           records / static_cast<double>(footprint.nodes),
           static_cast<double>(footprint.allocations) / static_cast<double>(footprint.nodes));
    printf("    with malloc chunks + arrays    %9.1f MiB  (estimate; of it unused node-array capacity %.1f MiB)\n",
           mib(static_cast<double>(footprint.withMalloc)), mib(static_cast<double>(footprint.arraySlack)));
    if (o.runChecker)
        printf("    checker peak RSS / deep size   %9.2fx (--quiet)  %.2fx (--json)\n",
               quiet.rssKiB.median * 1024.0 / records, json.rssKiB.median * 1024.0 / records);

    if (o.runChecker) {
        printf("\n(e) policy image: %ld bytes, %.1f B/node\n", image, static_cast<double>(image) / dNodes);
        if (image > 0) {
            // Hashed whole after the last file, on one core: the run's tail.
            const double imageSha = sha256Seconds(static_cast<size_t>(image), o.runs);
            printf("    SHA-256 of the image alone: %.3f s CPU, %.1f %% of the checker's least wall time (c)\n",
                   imageSha, 100 * imageSha / quiet.wall.min);
        }
        if (versus.ran) {
            const double dPlain = static_cast<double>(versus.nodes);
            printf("(f) %s plain nodes, checker --quiet vs checkpolicy on as many allow rules, alternately:\n",
                   grouped(dPlain).c_str());
            printf("    checker      wall %.3f  cpu %.3f   %s [%s] nodes/s\n", versus.checkerWall.median,
                   versus.checkerCpu.median, grouped(dPlain / versus.checkerWall.median).c_str(),
                   grouped(dPlain / versus.checkerCpu.median).c_str());
            printf("    checkpolicy  wall %.3f  cpu %.3f\n", versus.checkpolicyWall.median,
                   versus.checkpolicyCpu.median);
            printf("    checker / checkpolicy  %.2f (wall)  %.2f (cpu)\n",
                   versus.checkerWall.median / versus.checkpolicyWall.median,
                   versus.checkerCpu.median / versus.checkpolicyCpu.median);
        } else {
            printf("(f) checker vs checkpolicy not run: %s\n", versus.problem.c_str());
        }
        if (!o.baselineChecker.empty() && baseline.problem.empty()) {
            printf("(g) checker --quiet DIR vs %s, alternately:\n", o.baselineChecker.c_str());
            printf("    checker   wall %.3f (min %.3f)  cpu %.3f   %s nodes/s\n", baseline.checkerWall.median,
                   baseline.checkerWall.min, baseline.checkerCpu.median,
                   grouped(dNodes / baseline.checkerWall.median).c_str());
            printf("    baseline  wall %.3f (min %.3f)  cpu %.3f   %s nodes/s\n", baseline.baselineWall.median,
                   baseline.baselineWall.min, baseline.baselineCpu.median,
                   grouped(dNodes / baseline.baselineWall.median).c_str());
            printf("    checker / baseline  %.3f (wall)  %.3f (cpu)\n",
                   baseline.checkerWall.median / baseline.baselineWall.median,
                   baseline.checkerCpu.median / baseline.baselineCpu.median);
        } else if (!o.baselineChecker.empty()) {
            printf("(g) checker vs baseline not run: %s\n", baseline.problem.c_str());
        }
    }

    printf("\ngoals (reported, not enforced):\n");
    const double wallRate = dNodes / parse.median;
    const double cpuRate = dNodes / parseCpuStats.median;
    printGoal("front end >= 1,000,000 nodes/s on one core", wallRate >= goalNodesPerSecond && cpuRate >= goalNodesPerSecond,
              grouped(wallRate) + " [" + grouped(cpuRate) + "]");
    if (o.runChecker) {
        const double ratio = quiet.rssKiB.median * 1024.0 / records;
        char ratioText[32];
        snprintf(ratioText, sizeof ratioText, "%.2fx", ratio);
        printGoal("checker peak RSS < 3x record size (--quiet)", ratio < goalRssOverRecords, ratioText);
        const double checkerRate = dNodes / quiet.wall.median;
        printGoal("checker --quiet >= 1,000,000 nodes/s", checkerRate >= goalNodesPerSecond, grouped(checkerRate));
        const double rssMiB = quiet.rssKiB.median / 1024.0;
        char rssText[32];
        snprintf(rssText, sizeof rssText, "%.1f MiB", rssMiB);
        printGoal("checker --quiet peak RSS <= 128 MiB", rssMiB <= goalCheckerRssMiB, rssText);
        if (versus.ran) {
            const double r = versus.checkerWall.median / versus.checkpolicyWall.median;
            snprintf(ratioText, sizeof ratioText, "%.2f", r);
            printGoal("checker <= 1/3 of checkpolicy's time (wall)", r <= goalVersusCheckpolicy, ratioText);
        }
    }

    int status = 0;
    if (failures != 0) {
        printf("\nWARNING: %zu scan or parse runs failed\n", failures);
        status = 1;
    }
    for (const CheckerSeries *c : {&quiet, &json, &huge}) {
        if (!c->clean) {
            printf("\nWARNING: the checker did not run cleanly: %s\n", c->problem.c_str());
            status = 1;
        }
    }
    if (temporary)
        removeGenerated(o.directory, policies);
    return status;
}
