// The library's delivery through the simulated module (mounted by
// tests/harness/simkernel-run): what sendPolicy, sendInitPolicy and
// modifyDynamicVariable return, and that only a good compile ever reaches
// the policy in force; and how the module judges raw requests.
#include "support.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "compiled_policy.h"
#include "image_format.h"
#include "image_limits.h"
#include "parse_state.h"
#include "policy_loader.h"

namespace {

using Bytes = std::vector<uint8_t>;
const std::string moduleDir = "/sys/kernel/security/tavo/";

PolicyModuleManagerInterface &manager()
{
    return policyManager();
}

// Every value of `key` in .sim/state, in order.
std::vector<std::string> state(const std::string &key)
{
    std::istringstream lines(readFile(moduleDir + ".sim/state"));
    std::vector<std::string> values;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, key.size() + 2, key + ": ") == 0)
            values.push_back(line.substr(key.size() + 2));
    }
    return values;
}

std::string stateValue(const std::string &key)
{
    const std::vector<std::string> values = state(key);
    return values.size() == 1 ? values[0] : "<" + std::to_string(values.size()) + " values>";
}

// A raw request judged as the library judges one: the first errno of
// write(2) or close(2), 5 for a short write without one.
int request(const std::string &file, const Bytes &bytes)
{
    const int fd = open((moduleDir + file).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    int result = n < 0 ? errno : 0;
    if (close(fd) != 0 && result == 0)
        result = errno;
    return result == 0 && static_cast<size_t>(n) != bytes.size() ? EIO : result;
}

// Namespace "web": `rules` plain rules of two nodes, and a section "ssh" of
// `sshPermissions` nodes reading the dynamic bools guard, night and `extra`.
std::string webPolicy(int rules, int sshPermissions = 2, const std::string &extra = "")
{
    static const char *const permissions[] = {"read", "search", "write", "getattr"};
    std::string text = "string name = web\ndynamic bool guard = true\ndynamic bool night = false\n";
    if (!extra.empty())
        text += "dynamic bool " + extra + " = true\n";
    for (int i = 0; i < rules; ++i)
        text += "allow 1000 \"/usr/bin/app" + std::to_string(i) + "\" \"/var/www/*\" file { read, write }\n";
    text += "%SECTION ssh\nallow 0 \"/usr/sbin/sshd\" \"/home/*/.ssh\" dir { read";
    for (int i = 1; i < sshPermissions; ++i)
        text += std::string(", ") + permissions[i];
    return text + " } if ($guard | $night" + (extra.empty() ? "" : " | $" + extra) + ")\n%ENDSEC\n";
}

enum class Compile { Full, Initial, Section };

// Clears the library, adds `text` as the pipeline does and compiles it.
int compile(const std::string &text, Compile kind, const std::string &section = "ssh")
{
    manager().clearAllPolicy();
    if (kind == Compile::Section)
        manager().initNamespaceFuncInfo();
    const int added = compilePolicyContent(testFrontEnd(), "web.p", text);
    if (added != FileCompiled)
        return added;
    if (kind == Compile::Full)
        return manager().compileData();
    return kind == Compile::Initial ? manager().compileInitData() : manager().compileSectionPolicy("web", section);
}

std::string compiledDigest()
{
    return tavo_image::digestHex(lastCompiled(manager()).digest);
}

class Delivery : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeFile(moduleDir + ".sim/reset", "1\n");
        manager().clearAllPolicy();
    }

    static void inject(int code) { writeFile(moduleDir + ".sim/fail", std::to_string(code) + "\n"); }

    // Compiles and delivers webPolicy(rules); its digest.
    static std::string deliverFull(int rules)
    {
        EXPECT_EQ(compile(webPolicy(rules), Compile::Full), 0);
        EXPECT_EQ(manager().sendPolicy(), 0);
        return compiledDigest();
    }
};

TEST_F(Delivery, SendPolicyReturnsWhatTheModuleAnswers)
{
    const std::string inForce = deliverFull(40);
    ASSERT_EQ(compile(webPolicy(41), Compile::Full), 0);
    for (const int code : {EIO, ENOMEM, EINVAL, ENODATA, ECOMM, EPROTO, EBADMSG, EPERM, 511}) {
        SCOPED_TRACE(code);
        inject(code);
        EXPECT_EQ(manager().sendPolicy(), code);
        EXPECT_EQ(stateValue("policy_digest"), inForce);
    }
    LogCapture log;
    EXPECT_EQ(manager().sendPolicy(), 0);
    EXPECT_EQ(stateValue("policy_digest"), compiledDigest());
    EXPECT_EQ(stateValue("policy_nodes"), "84");
    EXPECT_EQ(stateValue("init"), "no");
    ASSERT_EQ(log.messages(TAVO_LOG_INFO).size(), 1u);
    EXPECT_NE(log.messages(TAVO_LOG_INFO)[0].find(compiledDigest()), std::string::npos);
}

// A failed compile must not let the previous image (or none) through.
TEST_F(Delivery, SendPolicyWithoutAGoodCompileWritesNothing)
{
    const std::vector<std::pair<const char *, std::function<void()>>> cases = {
        {"cleared", [] { manager().clearAllPolicy(); }},
        {"syntax error", [] { EXPECT_EQ(compile("allow 1 \"/a\" \"/b\" file {\n", Compile::Full), 3); }},
        {"unknown section after a good compile",
         [] {
             EXPECT_EQ(compile(webPolicy(41), Compile::Full), 0);
             EXPECT_NE(compile(webPolicy(41), Compile::Section, "nosuch"), 0);
         }},
    };
    const std::string inForce = deliverFull(40);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        c.second();
        const std::string writes = stateValue("writes");
        EXPECT_EQ(manager().sendPolicy(), EPROTO);
        EXPECT_EQ(stateValue("writes"), writes);
        EXPECT_EQ(stateValue("policy_digest"), inForce);
        EXPECT_EQ(stateValue("policy_nodes"), "82");
    }
}

TEST_F(Delivery, SectionUpdateReplacesOnlyItsSection)
{
    const std::string inForce = deliverFull(40);
    ASSERT_EQ(manager().modifyDynamicVariable("web", "guard", 0, true), 0);
    ASSERT_EQ(compile(webPolicy(40, 4, "late"), Compile::Section), 0);
    EXPECT_EQ(manager().sendPolicy(), 0);
    EXPECT_EQ(stateValue("policy_digest"), inForce);
    EXPECT_EQ(stateValue("policy_nodes"), "84");
    EXPECT_EQ(state("section"), std::vector<std::string>{"web ssh " + compiledDigest()});
    // Changed values survive; the section's namespace brings its new one.
    EXPECT_EQ(state("dynamic"), (std::vector<std::string>{"web guard 0", "web late 1", "web night 0"}));

    writeFile(moduleDir + ".sim/reset", "1\n");
    EXPECT_EQ(manager().sendPolicy(), EPROTO);
    EXPECT_EQ(stateValue("policy_digest"), "none");
}

TEST_F(Delivery, ModifyDynamicVariable)
{
    struct Case {
        const char *ns, *var;
        uint32_t value;
        int expected;
        bool written;
    };
    const Case cases[] = {
        {"web", "guard", 0, 0, true},        {"web", "night", 1, 0, true},
        {"web", "nosuch", 1, EINVAL, true},  {"other", "guard", 1, EINVAL, true}, // the module's verdict
        {"web", "gu\nard", 1, EINVAL, false}, {"web", "guard", 2, EINVAL, true}, // the module refuses 2
    };
    deliverFull(2);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.ns) + ":" + c.var + "=" + std::to_string(c.value));
        const std::string writes = stateValue("writes");
        EXPECT_EQ(manager().modifyDynamicVariable(c.ns, c.var, c.value, true), c.expected);
        EXPECT_EQ(stateValue("writes") != writes, c.written);
    }
    inject(ENOMEM);
    EXPECT_EQ(manager().modifyDynamicVariable("web", "guard", 1, true), ENOMEM);
    EXPECT_EQ(state("dynamic"), (std::vector<std::string>{"web guard 0", "web night 1"}));
    writeFile(moduleDir + ".sim/reset", "1\n");
    EXPECT_EQ(manager().modifyDynamicVariable("web", "guard", 1, true), EPROTO);
}

TEST_F(Delivery, SendInitPolicyChecksTheStoredImage)
{
    ASSERT_EQ(compile(webPolicy(40), Compile::Full), 0);
    const Bytes full = lastCompiled(manager()).image;
    ASSERT_EQ(compile(webPolicy(3), Compile::Initial), 0);
    const std::string stored = readFile(initPolicyPath);
    EXPECT_EQ(manager().sendInitPolicy(""), 0);
    EXPECT_EQ(stateValue("policy_digest"), compiledDigest());
    EXPECT_EQ(stateValue("policy_nodes"), "8");
    EXPECT_EQ(stateValue("init"), "yes");

    std::string badMagic = stored, damaged = stored;
    badMagic[0] ^= 0x20;
    damaged.back() ^= 1;
    const std::tuple<const char *, std::string, int> cases[] = {
        {"missing", "", EIO},
        {"truncated", stored.substr(0, stored.size() / 2), EINVAL},
        {"bad magic", badMagic, EINVAL},
        {"damaged", damaged, EINVAL},
        {"full image", std::string(full.begin(), full.end()), EINVAL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::get<0>(c));
        SetUp();
        unlink(initPolicyPath);
        if (!std::get<1>(c).empty())
            writeFile(initPolicyPath, std::get<1>(c));
        EXPECT_EQ(manager().sendInitPolicy(""), std::get<2>(c));
        EXPECT_EQ(stateValue("writes"), "0");
    }

    // Larger than any image the module takes: refused from its size, before
    // a byte is read (the files are sparse; reading them would take minutes).
    for (const off_t size : {off_t(tavo_image::maxImageBytes) + 1, off_t(64) << 30}) {
        SCOPED_TRACE(size);
        unlink(initPolicyPath);
        writeFile(initPolicyPath, stored);
        ASSERT_EQ(truncate(initPolicyPath, size), 0);
        LogCapture log;
        EXPECT_EQ(manager().sendInitPolicy(""), EINVAL);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR),
                  std::vector<std::string>{std::string("sendInitPolicy: ") + initPolicyPath +
                                           " is larger than any policy image (268435456 bytes at most); not read"});
        EXPECT_EQ(stateValue("writes"), "0");
    }
}

// Early boot short of memory: a real allocation failure while the stored
// image is read, in a child whose address space is capped, is a result
// (12), not an abort.
TEST_F(Delivery, SendInitPolicyOutOfMemoryIsAResult)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own allocator cannot run under an address-space cap";
#else
    ASSERT_EQ(compile(webPolicy(3), Compile::Initial), 0);
    ASSERT_EQ(truncate(initPolicyPath, off_t(tavo_image::maxImageBytes)), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        capAddressSpaceOrExit(size_t{64} << 20);
        _exit(manager().sendInitPolicy("") == ENOMEM ? 0 : 12);
    }
    expectChildExitsCleanly(child);
    EXPECT_EQ(stateValue("writes"), "0");
#endif
}

// What the module would refuse, the library refuses when it compiles; an
// image just within the module's limits is taken by both. One rule of n
// uids and 1000 subjects: every node expands to over 1000 records in the
// module but adds 12 bytes to the image.
TEST_F(Delivery, CompileRefusesWhatTheModuleWouldRefuse)
{
    std::string subjects;
    for (int i = 0; i < 1000; ++i)
        subjects += (i ? ", \"/usr/bin/s" : "\"/usr/bin/s") + std::to_string(i) + "\"";
    const auto policy = [&subjects](int uids) {
        std::string list;
        for (int i = 0; i < uids; ++i)
            list += (i ? ", " : "") + std::to_string(1000 + i);
        return "string name = web\nstrlist s = " + subjects + "\nintlist u = " + list +
               "\nallow $u $s \"/srv\" file { read }\n";
    };
    // The most uids that compile, searched for around where the limit puts
    // it: each node adds 12 bytes (384 records of allowance) and 1002
    // records.
    ASSERT_EQ(compile(policy(1), Compile::Full), 0);
    const int estimate = static_cast<int>((32 * lastCompiled(manager()).image.size() + 65536) / (1002 - 384));
    int within = estimate - 16, beyond = estimate + 16;
    ASSERT_EQ(compile(policy(within), Compile::Full), 0);
    ASSERT_EQ(compile(policy(beyond), Compile::Full), EINVAL);
    while (beyond - within > 1) {
        const int middle = (within + beyond) / 2;
        (compile(policy(middle), Compile::Full) == 0 ? within : beyond) = middle;
    }

    LogCapture log;
    ASSERT_EQ(compile(policy(beyond), Compile::Full), EINVAL);
    ASSERT_EQ(log.messages(TAVO_LOG_ERROR).size(), 1u);
    const std::string refusal = log.messages(TAVO_LOG_ERROR)[0];
    EXPECT_EQ(refusal.rfind("policy compile failed: the image of ", 0), 0u) << refusal;
    EXPECT_NE(refusal.find(" records in the module, more than the "), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("(32 a byte plus 65536); most from file web.p, rule 1: " + std::to_string(beyond) +
                           " nodes of 1002 records"),
              std::string::npos)
        << refusal;
    EXPECT_TRUE(lastCompiled(manager()).image.empty());

    ASSERT_EQ(compile(policy(within), Compile::Full), 0);
    const Bytes image = lastCompiled(manager()).image;
    EXPECT_EQ(manager().sendPolicy(), 0);
    EXPECT_EQ(stateValue("policy_nodes"), std::to_string(within));

    // The image the library refused, made by hand from the one it gave:
    // one node more. The module refuses it.
    tavo_image::HeaderRecord h;
    memcpy(&h, image.data(), sizeof h);
    size_t nodesAt = sizeof h;
    for (uint32_t t = 0; t < tavo_image::Nodes; ++t)
        nodesAt += tavo_image::padded8(size_t{h.counts[t]} * tavo_image::tableEntrySize[t]);
    const size_t nodesEnd = nodesAt + size_t{h.counts[tavo_image::Nodes]} * sizeof(tavo_image::NodeRecord);
    const size_t rest = nodesAt + tavo_image::padded8(nodesEnd - nodesAt);
    Bytes grown(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(nodesEnd));
    grown.insert(grown.end(), image.begin() + static_cast<std::ptrdiff_t>(nodesEnd - sizeof(tavo_image::NodeRecord)),
                 image.begin() + static_cast<std::ptrdiff_t>(nodesEnd));
    grown.resize(nodesAt + tavo_image::padded8(grown.size() - nodesAt), 0);
    grown.insert(grown.end(), image.begin() + static_cast<std::ptrdiff_t>(rest), image.end());
    ++h.counts[tavo_image::Nodes];
    h.imageSize = grown.size();
    memcpy(grown.data(), &h, sizeof h);
    unsigned int digestSize = 0;
    EVP_Digest(grown.data() + tavo_image::digestedFrom, grown.size() - tavo_image::digestedFrom,
               grown.data() + tavo_image::digestOffset, &digestSize, EVP_sha256(), nullptr);
    std::string error;
    EXPECT_EQ(tavo_image::checkImage(grown.data(), grown.size(), error), EINVAL);
    EXPECT_NE(refusal.find("the image of " + std::to_string(grown.size()) + " bytes"), std::string::npos) << refusal;
    EXPECT_EQ(request("policy", grown), EINVAL);
    EXPECT_EQ(stateValue("policy_nodes"), std::to_string(within));
}

// A store that fails between writing the new image and renaming it into
// place (the target being a mount point, rename(2) gives EBUSY) leaves the
// old image whole.
TEST_F(Delivery, InitImageSurvivesAFailedStore)
{
    ASSERT_EQ(compile(webPolicy(3), Compile::Initial), 0);
    const std::string old = compiledDigest();
    ASSERT_EQ(mount(initPolicyPath, initPolicyPath, nullptr, MS_BIND, nullptr), 0);
    EXPECT_NE(compile(webPolicy(4), Compile::Initial), 0);
    ASSERT_EQ(umount(initPolicyPath), 0);
    EXPECT_EQ(manager().sendInitPolicy(""), 0);
    EXPECT_EQ(stateValue("policy_digest"), old);
}

TEST_F(Delivery, SendInitPolicyReadsBelowAMountPointPrefix)
{
    std::string sysroot = std::string(getenv("TMPDIR")) + "/sysroot.XXXXXX";
    ASSERT_NE(mkdtemp(&sysroot[0]), nullptr);
    ASSERT_EQ(mount("tavo-sysroot", sysroot.c_str(), "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(system(("mkdir -p " + sysroot + "/var/lib/tavo").c_str()), 0);
    ASSERT_EQ(compile(webPolicy(5), Compile::Initial), 0);
    const std::string below = compiledDigest();
    writeFile(sysroot + initPolicyPath, readFile(initPolicyPath));
    ASSERT_EQ(compile(webPolicy(3), Compile::Initial), 0);

    EXPECT_EQ(manager().sendInitPolicy(sysroot), 0);
    EXPECT_EQ(stateValue("policy_digest"), below);
    EXPECT_EQ(umount2(sysroot.c_str(), MNT_DETACH), 0);
}

TEST_F(Delivery, SimulatedModuleJudgesRawRequests)
{
    ASSERT_EQ(compile(webPolicy(200), Compile::Full), 0);
    const Bytes image = lastCompiled(manager()).image;
    Bytes early = image, header = image, badMagic = image, unknownKind = image, damaged = image, trailing = image;
    early.pop_back();
    header.resize(20);
    badMagic[1] ^= 0x20;
    unknownKind[offsetof(tavo_image::HeaderRecord, kind)] = 9;
    damaged[image.size() / 2] ^= 1;
    trailing.push_back(0);
    auto text = [](const std::string &s) { return Bytes(s.begin(), s.end()); };
    const std::tuple<const char *, const char *, Bytes, int> cases[] = {
        {"closed early", "policy", early, EINVAL},
        {"header cut", "policy", header, EINVAL},
        {"bad magic", "policy", badMagic, EINVAL},
        {"unknown kind", "policy", unknownKind, EBADMSG},
        {"damaged", "policy", damaged, EINVAL},
        {"trailing byte", "policy", trailing, EINVAL},
        {"dynamic before any policy", "dynamic", text("web\nguard\n1\n"), EPROTO},
        {"whole", "policy", image, 0},
        {"dynamic", "dynamic", text("web\nguard\n0\n"), 0},
        {"dynamic cut", "dynamic", text("web\nguard\n"), EINVAL},
        {"dynamic trailing", "dynamic", text("web\nguard\n1\nx"), EINVAL},
        {"dynamic unknown", "dynamic", text("web\nlate\n1\n"), EINVAL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::get<0>(c));
        EXPECT_EQ(request(std::get<1>(c), std::get<2>(c)), std::get<3>(c));
    }
    EXPECT_EQ(stateValue("policy_digest"), compiledDigest());
    EXPECT_EQ(state("dynamic"), (std::vector<std::string>{"web guard 0", "web night 0"}));
    // However FUSE cut the image: at most max_write bytes a piece.
    const size_t maxWrite = std::stoul(stateValue("max_write"));
    EXPECT_GE(std::stoul(stateValue("last_image_chunks")), (image.size() + maxWrite - 1) / maxWrite);
}

} // namespace
