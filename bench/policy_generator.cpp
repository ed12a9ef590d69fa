#include "policy_generator.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// splitmix64: tiny, and unlike the standard distributions its output is
// the same with every standard library.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}

    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }

private:
    uint64_t state_;
};

void appendf(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));

void appendf(std::string &out, const char *format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n > 0)
        out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

constexpr size_t rulesPerBlock = 100;
constexpr size_t rulesPerComment = 40;

const char *const filePermissions[] = {"read", "write", "open", "append", "getattr", "execute", "unlink", "rename"};
const char *const dirPermissions[] = {"read", "search", "write", "add_name", "remove_name", "rmdir", "getattr"};

template <size_t N>
void appendPermissions(std::string &out, Rng &rng, const char *const (&pool)[N])
{
    // Three distinct permissions: a partial shuffle of the pool.
    size_t order[N];
    for (size_t i = 0; i < N; ++i)
        order[i] = i;
    for (size_t i = 0; i < 3; ++i) {
        const size_t j = i + rng.below(N - i);
        const size_t t = order[i];
        order[i] = order[j];
        order[j] = t;
    }
    appendf(out, "{ %s, %s, %s }", pool[order[0]], pool[order[1]], pool[order[2]]);
}

const char *pickAction(Rng &rng)
{
    const size_t r = rng.below(100);
    if (r < 55)
        return "allow";
    if (r < 75)
        return "disallow";
    if (r < 90)
        return "detect";
    return "respond";
}

void appendSubject(std::string &out, Rng &rng)
{
    const unsigned n = static_cast<unsigned>(rng.below(500));
    switch (rng.below(10)) {
    case 0: out += "$trusted"; break;
    case 1:
    case 2: appendf(out, "\"/usr/bin/tool%u\"", n); break;
    case 3:
    case 4: appendf(out, "\"/usr/sbin/daemon%u\"", n); break;
    case 5:
    case 6: appendf(out, "\"/opt/app%u/bin/*\"", n); break;
    case 7: appendf(out, "\"/home/*/bin/script%u\"", n); break;
    default: appendf(out, "\"/usr/lib/svc%u/*\"", n); break;
    }
}

void appendFileObject(std::string &out, Rng &rng)
{
    const unsigned n = static_cast<unsigned>(rng.below(500));
    switch (rng.below(5)) {
    case 0: appendf(out, "\"/var/lib/app%u/data%u.db\"", n, n % 7); break;
    case 1: appendf(out, "\"/srv/share%u/*\"", n); break;
    case 2: appendf(out, "\"/home/*/.config/app%u/settings.conf\"", n); break;
    case 3: appendf(out, "\"/home/*/docs%u/*\"", n); break;
    default: appendf(out, "\"/etc/app%u.conf\"", n); break;
    }
}

void appendDirObject(std::string &out, Rng &rng)
{
    const unsigned n = static_cast<unsigned>(rng.below(500));
    switch (rng.below(4)) {
    case 0: appendf(out, "\"/var/log/app%u\"", n); break;
    case 1: appendf(out, "\"/home/*/.cache/app%u\"", n); break;
    case 2: appendf(out, "\"/srv/data%u/*\"", n); break;
    default: appendf(out, "\"/home/*/projects%u/*\"", n); break;
    }
}

void appendCondition(std::string &out, Rng &rng)
{
    const unsigned n = static_cast<unsigned>(rng.below(64));
    switch (rng.below(6)) {
    case 0: appendf(out, "if ($guard & checkTime(\"08:00\", %u) | !isLocked(%u))", 17 + n % 6, n % 5); break;
    case 1: appendf(out, "if (!($strict | $maintenance) & inGroup(\"ops%u\"))", n); break;
    case 2: appendf(out, "if ($level >= $threshold & 'net-up'(\"eth%u\"))", n % 4); break;
    case 3: appendf(out, "if (isWorkday | hasLabel(\"secret\", %u))", n); break;
    case 4: appendf(out, "if ((cpuLoad(%u) < maxLoad(0x5A)) & !$maintenance)", n); break;
    default: appendf(out, "if ($level != $threshold | $guard = $strict & hour(1) <= limit(%u))", 8 + n % 16); break;
    }
}

void appendDoBlock(std::string &out, Rng &rng)
{
    const unsigned n = static_cast<unsigned>(rng.below(1000));
    switch (rng.below(4)) {
    case 0: out += "do { notify(1), 'audit-log'(\"x\") }"; break;
    case 1: appendf(out, "do { log(\"deny\", %u) }", n); break;
    case 2: out += "do { alert }"; break;
    default: appendf(out, "do { notify(%u), mail(\"secadm\", \"rule%u\"), 'audit-log'(\"x\") }", n % 3, n); break;
    }
}

void appendRule(std::string &out, Rng &rng)
{
    const bool dir = rng.chance(40);
    appendf(out, "%s $accounts ", pickAction(rng));
    appendSubject(out, rng);
    out += ' ';
    if (dir)
        appendDirObject(out, rng);
    else
        appendFileObject(out, rng);
    out += dir ? " dir " : " file ";
    if (dir)
        appendPermissions(out, rng, dirPermissions);
    else
        appendPermissions(out, rng, filePermissions);

    // Some rules span lines: the statement ends at its last token.
    const bool split = rng.chance(15);
    const char *gap = split ? "\n    " : " ";
    if (rng.chance(70)) {
        out += gap;
        appendCondition(out, rng);
    }
    if (rng.chance(50)) {
        out += gap;
        appendDoBlock(out, rng);
    }
    if (rng.chance(3))
        out += " # follows the rule as a statement of its own";
    out += '\n';
}

void appendHeader(std::string &out, Rng &rng, const std::string &scene, size_t rules, uint64_t seed)
{
    appendf(out, "# synthetic policy %s: %zu rules, seed %llu\n", scene.c_str(), rules,
            static_cast<unsigned long long>(seed));
    appendf(out, "string name = %s\n", scene.c_str());
    if (rng.chance(50))
        appendf(out, "string module_name = \"mod_%s\"\n", scene.c_str());
    appendf(out, "bool audit = %s\n", rng.chance(50) ? "true" : "false");
    appendf(out, "int priority = %u\n", static_cast<unsigned>(rng.below(100)));
    out += "strlist accounts = \"root\", daemon\n";
    appendf(out, "strlist trusted = \"/usr/bin/agent%u\", \"/usr/libexec/helper%u/*\"\n",
            static_cast<unsigned>(rng.below(100)), static_cast<unsigned>(rng.below(100)));
    out += "dynamic bool guard = true\n";
    out += "dynamic bool maintenance = false\n";
    out += "bool strict = false\n";
    appendf(out, "int level = %u\n", static_cast<unsigned>(rng.below(5)));
    out += "int threshold = 0x2\n";
    out += "intlist ports = 22, 0x50, 443\n";
}

std::string sceneName(size_t index, size_t files)
{
    // Zero-padded to the widest index, at least two digits.
    const size_t width = std::max<size_t>(2, std::to_string(files > 0 ? files - 1 : 0).size());
    const std::string digits = std::to_string(index);
    return "scene" + std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

bool isPolicyName(const char *name)
{
    const size_t n = strlen(name);
    return (n >= 2 && strcmp(name + n - 2, ".p") == 0) || (n >= 7 && strcmp(name + n - 7, ".policy") == 0);
}

bool writeFile(const std::string &path, const std::string &text, std::string &error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    return true;
}

} // namespace

bool parseCount(const char *text, uint64_t &value)
{
    if (!text || *text == '\0' || *text == '-')
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    value = v;
    return true;
}

void appendPlainRule(std::string &out, Rng &rng)
{
    appendf(out, "allow 0 \"/usr/bin/tool%u\" \"/srv/data%u/file%u\" file { read, write }\n",
            static_cast<unsigned>(rng.below(1000)), static_cast<unsigned>(rng.below(1000)),
            static_cast<unsigned>(rng.below(100)));
}

std::vector<GeneratedPolicy> amplificationSet(const AmplificationOptions &options)
{
    std::vector<GeneratedPolicy> policies;
    for (size_t f = 0; f < options.files; ++f) {
        GeneratedPolicy policy;
        const std::string scene = "amplified" + sceneName(f, options.files).substr(5);
        policy.fileName = scene + ".p";
        policy.rules = 1;
        std::string &out = policy.text;
        appendf(out, "string name = %s\nstrlist subjects = ", scene.c_str());
        for (size_t i = 0; i < options.subjects; ++i)
            appendf(out, "%s\"/usr/lib/amplify/s%04zu\"", i ? "," : "", i);
        out += "\nintlist uids = ";
        for (size_t i = 0; i < options.uids; ++i)
            appendf(out, "%s%zu", i ? ", " : "", 1000 + i);
        out += "\nallow $uids $subjects \"/srv/amplified\" file { read }\n";
        policies.push_back(std::move(policy));
    }
    return policies;
}

std::vector<GeneratedPolicy> generatePolicies(const GeneratorOptions &options)
{
    std::vector<GeneratedPolicy> policies;
    policies.reserve(options.files);
    for (size_t f = 0; f < options.files; ++f) {
        // Each file has its own stream, so a file does not change when the
        // number of files does.
        Rng rng(options.seed * 0x100000001B3ull + f);
        GeneratedPolicy policy;
        const std::string scene = sceneName(f, options.files);
        policy.fileName = scene + (f % 10 == 9 ? ".policy" : ".p");
        policy.rules = options.rulesPerFile;
        std::string &out = policy.text;
        if (options.plain) {
            out.reserve(options.rulesPerFile * 64 + 64);
            appendf(out, "string name = %s\n", scene.c_str());
            for (size_t r = 0; r < options.rulesPerFile; ++r)
                appendPlainRule(out, rng);
            policies.push_back(std::move(policy));
            continue;
        }
        out.reserve(options.rulesPerFile * 260 + 1024);
        appendHeader(out, rng, scene, options.rulesPerFile, options.seed);

        bool inSection = false;
        for (size_t r = 0; r < options.rulesPerFile; ++r) {
            if (r % rulesPerBlock == 0) {
                if (inSection)
                    out += "%ENDSEC\n";
                const size_t block = r / rulesPerBlock;
                // Every fourth block stands outside any section.
                inSection = block % 4 != 3;
                if (inSection)
                    appendf(out, "%%SECTION sec%zu\n", block);
            }
            if (r % rulesPerComment == 0)
                appendf(out, "# rules %zu to %zu\n", r, r + rulesPerComment - 1);
            appendRule(out, rng);
        }
        if (inSection)
            out += "%ENDSEC\n";
        policies.push_back(std::move(policy));
    }
    return policies;
}

std::string selinuxPolicy(size_t rules)
{
    // Enough types for distinct (source, target) pairs. Names avoid the
    // policy language's keywords t1, t2, t3.
    size_t types = 1;
    while (types * types < rules)
        ++types;
    std::string out = "class file\nsid kernel\nclass file { read write }\ntype kernel_t;\n";
    for (size_t t = 0; t < types; ++t)
        appendf(out, "type dom_%zu;\n", t);
    for (size_t r = 0; r < rules; ++r)
        appendf(out, "allow dom_%zu dom_%zu : file { read write };\n", r / types, r % types);
    out += "role r;\nrole r types { kernel_t };\nuser u roles { r };\nsid kernel u:r:kernel_t\n";
    return out;
}

bool writePolicies(const std::string &directory, const std::vector<GeneratedPolicy> &policies, std::string &error)
{
    if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
        error = directory + ": " + strerror(errno);
        return false;
    }
    std::set<std::string> ours;
    for (const GeneratedPolicy &p : policies)
        ours.insert(p.fileName);

    DIR *dir = opendir(directory.c_str());
    if (!dir) {
        error = directory + ": " + strerror(errno);
        return false;
    }
    std::string strangers;
    while (const struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && isPolicyName(entry->d_name) && ours.count(entry->d_name) == 0)
            strangers += std::string(strangers.empty() ? "" : ", ") + entry->d_name;
    }
    closedir(dir);
    if (!strangers.empty()) {
        error = directory + " already holds other policy files (" + strangers + ")";
        return false;
    }

    for (const GeneratedPolicy &p : policies) {
        if (!writeFile(directory + "/" + p.fileName, p.text, error))
            return false;
    }
    return true;
}
