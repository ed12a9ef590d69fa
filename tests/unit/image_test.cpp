// The compiled policy image: what goes in comes back out of the decoder,
// damage is refused, the digest follows the content, compiles validate.
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "compiled_policy.h"
#include "front_end.h"
#include "halved_compile.h"
#include "image_builder.h"
#include "image_format.h"
#include "image_limits.h"
#include "image_output.h"
#include "policy_loader.h"

namespace {

using namespace tavo_image;

void expectSameNode(const PolicyNode &a, const PolicyNode &b)
{
    const auto params = [](const std::vector<FuncParam> &v) {
        std::ostringstream s;
        for (const FuncParam &p : v)
            s << p.type << ':' << p.number << ':' << p.text << ';';
        return s.str();
    };
    const auto exprs = [&](const std::vector<ExprNode> &v) {
        std::ostringstream s;
        for (const ExprNode &e : v)
            s << e.type << ',' << e.name << ',' << e.value << ',' << e.varName << ',' << params(e.params) << '|';
        return s.str();
    };
    const auto calls = [&](const std::vector<DoFuncNode> &v) {
        std::ostringstream s;
        for (const DoFuncNode &c : v)
            s << c.name << ',' << params(c.params) << '|';
        return s.str();
    };
    EXPECT_EQ(a.action, b.action);
    EXPECT_EQ(a.uid, b.uid);
    EXPECT_EQ(a.subjectById, b.subjectById);
    EXPECT_EQ(a.sids, b.sids);
    EXPECT_EQ(a.subjectNames, b.subjectNames);
    EXPECT_EQ(a.objectById, b.objectById);
    EXPECT_EQ(a.oids, b.oids);
    EXPECT_EQ(a.objectNames, b.objectNames);
    EXPECT_EQ(a.objectType, b.objectType);
    EXPECT_EQ(a.permission, b.permission);
    EXPECT_EQ(exprs(a.conditions), exprs(b.conditions));
    EXPECT_EQ(calls(a.actions), calls(b.actions));
    EXPECT_EQ(std::vector<uint32_t>({a.flags, a.reserved0, a.priority, a.reserved1, a.reserved2, a.reserved3}),
              std::vector<uint32_t>({b.flags, b.reserved0, b.priority, b.reserved1, b.reserved2, b.reserved3}));
    EXPECT_EQ(a.namespaceName, b.namespaceName);
    EXPECT_EQ(a.sectionName, b.sectionName);
    EXPECT_EQ(a.moduleName, b.moduleName);
}

std::vector<std::string> filesOf(const std::string &directory)
{
    std::vector<std::string> paths;
    for (const std::string &name : corpusFiles("../../" + directory))
        paths.push_back(std::string(TAVO_CORPUS_DIR) + "/../../" + directory + "/" + name);
    return paths;
}

// Compiles the files as the pipeline does; returns the nodes each handed over.
std::vector<std::pair<std::string, std::vector<PolicyNode>>> compileFiles(const std::vector<std::string> &paths)
{
    policyManager().clearAllPolicy();
    std::vector<std::pair<std::string, std::vector<PolicyNode>>> given;
    const CompiledHook keep = [&given](const std::string &name, const PolicyDb &db) {
        given.emplace_back(name, db.nodes);
    };
    for (const std::string &path : paths) {
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_EQ(compilePolicyContent(testFrontEnd(), name, readFile(path), keep), FileCompiled) << path;
    }
    return given;
}

TEST(PolicyImage, DecodingGivesBackExactlyWhatWasAdded)
{
    std::vector<std::vector<std::string>> sets = {
        {std::string(TAVO_CORPUS_DIR) + "/good/worked_example.p"},
        filesOf("examples/policy"),
    };
    for (const std::string &name : corpusFiles("good"))
        sets.push_back({std::string(TAVO_CORPUS_DIR) + "/good/" + name});
    for (const auto &paths : sets) {
        SCOPED_TRACE(paths.front());
        const auto given = compileFiles(paths);
        const auto added = addedPolicy();
        ASSERT_EQ(added.size(), given.size());
        for (size_t f = 0; f < given.size(); ++f) {
            EXPECT_EQ(added[f].first, given[f].first);
            ASSERT_EQ(added[f].second.size(), given[f].second.size());
            for (size_t n = 0; n < given[f].second.size(); ++n)
                expectSameNode(added[f].second[n], given[f].second[n]);
        }
    }
}

// tavo-policy-check hands the encoder each file's rules, the library gets
// their nodes: both make one image, byte for byte, and a digest-only build
// gives the same digest. The last set has equal rules in a row, which share
// one rule record either way.
TEST(PolicyImage, RulesHandedOverMakeTheImageOfTheirNodes)
{
    const std::string repeated = "string name = r\nallow 0 \"/a\" \"/b\" file { read }\n"
                                 "allow 0 \"/a\" \"/b\" file { read, write }\nintlist u = 1, 2\n"
                                 "allow $u \"/a\" \"/b\" file { read }\nallow 0 \"/a\" \"/c\" file { read }\n";
    std::vector<std::vector<std::pair<std::string, std::string>>> sets = {{{"r.p", repeated}}, {}};
    for (const std::string &path : filesOf("examples/policy"))
        sets.back().emplace_back(path.substr(path.rfind('/') + 1), readFile(path));
    for (const std::string &name : corpusFiles("good"))
        sets.push_back({{name, readFile(std::string(TAVO_CORPUS_DIR) + "/good/" + name)}});
    ImageOutput rules;
    for (const auto &files : sets) {
        SCOPED_TRACE(files.front().first);
        policyManager().clearAllPolicy();
        for (const auto &file : files)
            ASSERT_EQ(compilePolicyContent(testFrontEnd(), file.first, file.second), FileCompiled);
        ASSERT_EQ(policyManager().compileData(), 0);
        FrontEnd checker(rules);
        rules.clearAllPolicy();
        for (const auto &file : files)
            EXPECT_EQ(compilePolicyContent(checker, file.first, file.second), FileCompiled);
        BuiltImage whole, digestOnly;
        std::string error;
        ASSERT_EQ(rules.compiler.compile(ImageKind::Full, "", "", whole, error), 0) << error;
        ASSERT_EQ(rules.compiler.compile(ImageKind::Full, "", "", digestOnly, error, true), 0) << error;
        EXPECT_EQ(whole.bytes, lastCompiled(policyManager()).image);
        EXPECT_EQ(digestOnly.digest, whole.digest);
        EXPECT_TRUE(digestOnly.bytes.empty());
        EXPECT_EQ(digestOnly.size, whole.bytes.size());
    }
}

TEST(PolicyImage, CarriesTheTablesOfEachNamespace)
{
    compileFiles(filesOf("examples/policy"));
    const DecodedImage image = compiledImage();
    EXPECT_EQ(image.kind, ImageKind::Full);
    EXPECT_EQ(image.version, imageVersion);
    const auto ssh = std::find_if(image.namespaces.begin(), image.namespaces.end(),
                                  [](const NamespaceTable &t) { return t.name == "ssh"; });
    ASSERT_NE(ssh, image.namespaces.end());
    EXPECT_EQ(ssh->dynamicVariables, (std::vector<std::pair<std::string, uint32_t>>{{"maintenance", 0}}));
    EXPECT_NE(std::find(ssh->functions.begin(), ssh->functions.end(), std::make_pair(std::string("ssh"),
                                                                                     std::string("notify"))),
              ssh->functions.end());
    EXPECT_NE(std::find(image.uidNames.begin(), image.uidNames.end(), std::make_pair(std::string("alice"), 1001u)),
              image.uidNames.end());
}

void setDigest(std::vector<uint8_t> &image)
{
    unsigned int size = 0;
    EVP_Digest(image.data() + digestedFrom, image.size() - digestedFrom, image.data() + digestOffset, &size,
               EVP_sha256(), nullptr);
}

TEST(PolicyImage, DamagedImagesAreRefused)
{
    compileFiles({std::string(TAVO_CORPUS_DIR) + "/good/worked_example.p"});
    ASSERT_EQ(policyManager().compileData(), 0);
    const std::vector<uint8_t> good = lastCompiled(policyManager()).image;
    const size_t nodesAt = [&good] {
        HeaderRecord h;
        memcpy(&h, good.data(), sizeof h);
        size_t at = sizeof h;
        for (uint32_t t = 0; t < Nodes; ++t)
            at += padded8(size_t{h.counts[t]} * tableEntrySize[t]);
        return at;
    }();

    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> damage;
        const char *error;
    };
    const std::vector<Case> cases = {
        {"flipped byte", [](std::vector<uint8_t> &b) { b[b.size() / 2] ^= 0x20; }, "digest mismatch"},
        {"truncated", [](std::vector<uint8_t> &b) { b.resize(b.size() - 8); }, "image truncated"},
        {"header only in part", [](std::vector<uint8_t> &b) { b.resize(20); }, "image truncated"},
        {"trailing bytes", [](std::vector<uint8_t> &b) { b.push_back(0); }, "followed by 1 more"},
        {"wrong version", [](std::vector<uint8_t> &b) { b[4] = 9; }, "unsupported image format version 9"},
        {"bad magic", [](std::vector<uint8_t> &b) { b[0] = 'X'; }, "bad magic number"},
        {"node of no rule, digest made to match",
         [nodesAt](std::vector<uint8_t> &b) {
             const uint32_t rule = 0x7fffffff;
             memcpy(b.data() + nodesAt, &rule, sizeof rule);
             setDigest(b);
         },
         "node 0 refers outside the image"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good;
        c.damage(bytes);
        DecodedImage out;
        std::string error;
        EXPECT_EQ(decodeImage(bytes.data(), bytes.size(), out, error), 22);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_TRUE(out.nodes.empty());
    }
}

Digest digestOf(const std::string &text)
{
    policyManager().clearAllPolicy();
    EXPECT_EQ(compilePolicyContent(testFrontEnd(), "d.p", text), FileCompiled);
    EXPECT_EQ(policyManager().compileData(), 0);
    return lastCompiled(policyManager()).digest;
}

TEST(PolicyImage, DigestIsStableAndFollowsEveryNode)
{
    const std::string base = "string name = web\ndynamic bool on = true\n"
                             "allow 0 \"/usr/bin/a\" \"/srv/*\" file { read, write } if ($on & f(1)) do { g(\"x\") }\n";
    const Digest digest = digestOf(base);
    EXPECT_EQ(digestOf(base), digest);
    const std::vector<std::pair<std::string, std::string>> changes = {
        {"{ read, write }", "{ read, append }"}, {"allow 0", "allow 1"},       {"allow", "detect"},
        {"f(1)", "f(2)"},                       {"g(\"x\")", "g(\"y\")"},     {"\"/srv/*\"", "\"/srv/a\""},
        {"= true", "= false"},                  {"$on & f(1)", "$on | f(1)"},
    };
    for (const auto &change : changes) {
        SCOPED_TRACE(change.second);
        std::string text = base;
        text.replace(text.find(change.first), change.first.size(), change.second);
        EXPECT_NE(digestOf(text), digest);
    }
}

PolicyNode handMadeNode(const std::string &ns)
{
    PolicyNode n;
    n.action = 1;
    n.subjectById = true;
    n.sids = {TAVO_ID{1, 0, 0}};
    n.objectById = true;
    n.oids = {TAVO_ID{2, 0, 0}};
    n.objectType = "file";
    n.permission = "read";
    n.namespaceName = ns;
    return n;
}

ExprNode expr(ExprType type, const std::string &name = std::string(), const std::string &varName = std::string(),
             uint32_t value = 0)
{
    return ExprNode{type, name, value, varName, {}};
}

TEST(PolicyImage, CompileValidatesAndSaysWhere)
{
    struct Case {
        const char *what;
        std::function<void(PolicyNode &)> change;
        const char *error;
    };
    const std::vector<Case> cases = {
        {"valid", [](PolicyNode &) {}, nullptr},
        {"function not registered", [](PolicyNode &n) { n.conditions = {expr(ExprCall, "unknown")}; },
         "policy compile failed: file h.p, rule 2: function unknown is not registered for namespace web"},
        {"action not registered", [](PolicyNode &n) { n.actions.resize(1); n.actions[0].name = "nope"; },
         "policy compile failed: file h.p, rule 2: function nope is not registered for namespace web"},
        {"two values left", [](PolicyNode &n) { n.conditions = {expr(ExprVariable), expr(ExprCall, "f")}; },
         "policy compile failed: file h.p, rule 2: condition leaves 2 values, expected 1"},
        {"operator without operands", [](PolicyNode &n) { n.conditions = {expr(ExprVariable), expr(ExprAnd)}; },
         "policy compile failed: file h.p, rule 2: condition node 2 lacks operands"},
        {"unknown node type", [](PolicyNode &n) { n.conditions = {expr(ExprNone)}; },
         "policy compile failed: file h.p, rule 2: condition node 1 has unknown type 0"},
        {"dynamic switch off", [](PolicyNode &n) { n.conditions = {expr(ExprDynamicVariable, "", "x", 0)}; }, nullptr},
        {"dynamic variable on", [](PolicyNode &n) { n.conditions = {expr(ExprDynamicVariable, "", "x", 1)}; }, nullptr},
        {"dynamic variable not a switch", [](PolicyNode &n) { n.conditions = {expr(ExprDynamicVariable, "", "x", 7)}; },
         "policy compile failed: file h.p, rule 2: dynamic variable x starts at 7, not 0 or 1"},
        {"undeclared namespace", [](PolicyNode &n) { n.namespaceName = "other"; },
         "policy compile failed: file h.p, rule 2: namespace \"other\" was never declared"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        policyManager().clearAllPolicy();
        policyManager().setNamespaceInfo("web");
        policyManager().setNamespaceFuncInfo("web", "web", "f");
        PolicyDb db;
        db.nodes = {handMadeNode("web"), handMadeNode("web")};
        db.nodes[1].permission = "write";
        db.nodes[1].uid = 7; // same rule as the first: rule 1
        db.nodes.push_back(handMadeNode("web"));
        db.nodes[2].action = 2; // rule 2
        c.change(db.nodes[2]);
        policyManager().addPolicy("h.p", db);

        LogCapture log;
        const int rc = policyManager().compileData();
        if (!c.error) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(lastCompiled(policyManager()).nodeCount, 3u);
            continue;
        }
        EXPECT_NE(rc, 0);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR), std::vector<std::string>{c.error});
        EXPECT_TRUE(lastCompiled(policyManager()).image.empty());
    }
}

// A real allocation failure while the image is built, in a child process
// whose address space is capped: the compile fails with 12, what was added
// is cleared, and the next compile works.
TEST(PolicyImage, RunningOutOfMemoryWhileBuildingFailsTheCompileOnly)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own allocator cannot run under an address-space cap";
#else
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        policyManager().clearAllPolicy();
        policyManager().setNamespaceInfo("web");
        {
            // 96 MiB of string table: the image to write needs as much again.
            PolicyDb db;
            db.nodes = {handMadeNode("web")};
            db.nodes[0].objectById = false;
            db.nodes[0].oids.clear();
            db.nodes[0].objectNames = {std::string(size_t{96} << 20, 'o')};
            policyManager().addPolicy("big.p", db);
        }
        capAddressSpaceOrExit(size_t{32} << 20);
        LogCapture log;
        if (policyManager().compileData() != ENOMEM)
            _exit(12);
        if (log.messages(TAVO_LOG_ERROR) !=
            std::vector<std::string>{
                "policy compile failed: out of memory while building the policy image; all added policy cleared"})
            _exit(13);
        if (!lastCompiled(policyManager()).image.empty() || policyManager().sendPolicy() != EPROTO)
            _exit(14);
        policyManager().setNamespaceInfo("web");
        PolicyDb db;
        db.nodes = {handMadeNode("web")};
        policyManager().addPolicy("next.p", db);
        if (policyManager().compileData() != 0 || lastCompiled(policyManager()).nodeCount != 1)
            _exit(15);
        _exit(0);
    }
    expectChildExitsCleanly(child);
#endif
}

TEST(PolicyImage, PolicyWithoutRulesCompilesToAnImageWithoutNodes)
{
    policyManager().clearAllPolicy();
    ASSERT_EQ(compilePolicyContent(testFrontEnd(), "v.p", "string name = web\nbool b = true\n"), FileWithoutPolicy);
    LogCapture log;
    const DecodedImage image = compiledImage();
    EXPECT_TRUE(image.nodes.empty());
    EXPECT_EQ(log.messages(TAVO_LOG_INFO).size(), 1u);
    EXPECT_EQ(log.messages(TAVO_LOG_INFO).at(0).rfind("policy image compiled: 0 nodes, ", 0), 0u);
    EXPECT_NE(log.messages(TAVO_LOG_INFO).at(0).find("sha256 " + digestHex(lastCompiled(policyManager()).digest)),
              std::string::npos);
}

TEST(PolicyImage, SectionImageHoldsOnlyItsSection)
{
    compileFiles(filesOf("examples/policy"));
    ASSERT_EQ(policyManager().compileData(), 0);
    const Digest full = lastCompiled(policyManager()).digest;

    for (const auto &unknown : std::vector<std::pair<std::string, std::string>>{{"nope", "config"}, {"ssh", "nope"}}) {
        LogCapture log;
        EXPECT_EQ(policyManager().compileSectionPolicy(unknown.first, unknown.second), 22);
        EXPECT_EQ(log.messages(TAVO_LOG_ERROR).size(), 1u);
        EXPECT_EQ(lastCompiled(policyManager()).digest, full);
    }

    ASSERT_EQ(policyManager().compileSectionPolicy("ssh", "config"), 0);
    const std::vector<uint8_t> &bytes = lastCompiled(policyManager()).image;
    DecodedImage image;
    std::string error;
    ASSERT_EQ(decodeImage(bytes.data(), bytes.size(), image, error), 0) << error;
    EXPECT_EQ(image.kind, ImageKind::Section);
    EXPECT_EQ(image.sectionNamespace, "ssh");
    EXPECT_EQ(image.sectionName, "config");
    EXPECT_FALSE(image.nodes.empty());
    for (const PolicyNode &n : image.nodes)
        EXPECT_EQ(n.namespaceName + "/" + n.sectionName, "ssh/config");
    ASSERT_EQ(image.namespaces.size(), 1u);
    EXPECT_EQ(image.namespaces[0].name, "ssh");
    EXPECT_EQ(lastCompiled(policyManager()).nodeCount, image.nodes.size());
}

TEST(PolicyImage, FileIsReplacedWhole)
{
    const std::string directory = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/store";
    mkdir(directory.c_str(), 0700);
    const std::string path = directory + "/image.bin";
    ASSERT_EQ(storeFileAtomically(path, {1, 2, 3}, 0600, false).error, 0);
    ASSERT_EQ(storeFileAtomically(path, {4, 5}, 0600, false).error, 0);
    EXPECT_EQ(readFile(path), "\x04\x05");
    // No temporary file is left beside it.
    EXPECT_EQ(entriesOf(directory), std::vector<std::string>{"image.bin"});
    EXPECT_EQ(storeFileAtomically(directory + "/missing/image.bin", {1}, 0600, false).error, ENOENT);
}

// Bytes of the process's mappings advised for huge pages.
size_t hugePageBytes()
{
    std::ifstream smaps("/proc/self/smaps");
    size_t bytes = 0, size = 0;
    std::string line;
    while (std::getline(smaps, line)) {
        unsigned long long begin = 0, end = 0;
        if (sscanf(line.c_str(), "%llx-%llx ", &begin, &end) == 2 && line.find(' ') > line.find('-'))
            size = static_cast<size_t>(end - begin);
        else if (line.rfind("VmFlags:", 0) == 0 && (line + " ").find(" hg ") != std::string::npos)
            bytes += size;
    }
    return bytes;
}

// The library's tables, which the daemon keeps as long as it runs, take
// their blocks from the heap; only tavo-policy-check's compiler, which
// runs once and exits, asks for huge pages. 140,000 nodes take the node
// table past its first chunk.
TEST(PolicyImage, OnlyTheCheckersTablesAskForHugePages)
{
    std::string uids;
    for (int i = 0; i < 70000; ++i)
        uids += (i ? "," : "") + std::to_string(i);
    const std::string text = "string name = web\nintlist u = " + uids + "\nallow $u * * file { read, write }\n";
    ImageOutput checker{tavo_image::LargeBlocks::HugePages};
    LibraryOutput library;
    const struct {
        const char *what;
        PolicyOutput *output;
        bool hugePages;
    } cases[] = {{"the library", &library, false}, {"the checker's compiler", &checker, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = hugePageBytes();
        FrontEnd frontEnd(*c.output);
        library.expandIn(frontEnd.state());
        frontEnd.output().clearAllPolicy();
        EXPECT_EQ(compilePolicyContent(frontEnd, "web.p", text), FileCompiled);
        const size_t after = hugePageBytes();
        frontEnd.output().clearAllPolicy();
        if (c.hugePages)
            EXPECT_GE(after, before + largeBlockBytes);
        else
            EXPECT_EQ(after, before);
    }
}

// The tables an image's record count reads; every string is the one "f".
struct CountedTables {
    std::vector<NodeRecord> nodes;
    std::vector<RuleRecord> rules;
    std::vector<ExprRecord> exprs;
    std::vector<CallRecord> calls;
    std::vector<ParamRecord> params;
};

std::vector<uint8_t> craftImage(const CountedTables &t)
{
    HeaderRecord h{};
    h.magic = imageMagic;
    h.version = imageVersion;
    h.kind = static_cast<uint32_t>(ImageKind::Full);
    h.headerSize = sizeof h;
    h.sectionNamespace = h.sectionName = noString;
    h.counts[StringEnds] = h.counts[StringBytes] = h.counts[Files] = 1;
    h.counts[Nodes] = static_cast<uint32_t>(t.nodes.size());
    h.counts[Rules] = static_cast<uint32_t>(t.rules.size());
    h.counts[Exprs] = static_cast<uint32_t>(t.exprs.size());
    h.counts[Calls] = static_cast<uint32_t>(t.calls.size());
    h.counts[Params] = static_cast<uint32_t>(t.params.size());
    std::vector<uint8_t> b(sizeof h);
    const auto table = [&b](const void *data, size_t size) {
        b.insert(b.end(), static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + size);
        b.resize(padded8(b.size()), 0);
    };
    const uint32_t one = 1, first = 0;
    table(&one, 4);
    table("f", 1);
    table(&first, 4);
    table(t.nodes.data(), t.nodes.size() * sizeof(NodeRecord));
    table(t.rules.data(), t.rules.size() * sizeof(RuleRecord));
    table(t.exprs.data(), t.exprs.size() * sizeof(ExprRecord));
    table(t.calls.data(), t.calls.size() * sizeof(CallRecord));
    table(t.params.data(), t.params.size() * sizeof(ParamRecord));
    h.imageSize = b.size();
    memcpy(b.data(), &h, sizeof h);
    setDigest(b);
    return b;
}

RuleRecord countedRule(uint32_t exprStart, uint32_t exprCount, uint32_t callStart, uint32_t callCount)
{
    RuleRecord r{};
    r.exprStart = exprStart;
    r.exprCount = exprCount;
    r.callStart = callStart;
    r.callCount = callCount;
    return r;
}

// The definition, node by node and slice by slice, without saturating.
unsigned __int128 naiveRecords(const CountedTables &t)
{
    unsigned __int128 records = 0;
    for (const NodeRecord &n : t.nodes) {
        const RuleRecord &r = t.rules[n.rule];
        records += 1 + uint64_t{r.sidCount} + r.subjectNameCount + r.oidCount + r.objectNameCount + r.exprCount +
                   r.callCount;
        for (uint32_t e = r.exprStart; e < r.exprStart + r.exprCount; ++e)
            records += t.exprs[e].paramCount;
        for (uint32_t c = r.callStart; c < r.callStart + r.callCount; ++c)
            records += t.calls[c].paramCount;
    }
    return records;
}

// Rules may share one long condition or call slice, or overlap parts of
// it; nodes may point at their rules in any order. The check counts what
// the definition counts, up to the module's limit and past it.
TEST(PolicyImage, RecordCountMatchesTheDefinitionOverSharedSlices)
{
    const auto exprs = [](uint32_t n, uint32_t paramStart, uint32_t paramCount) {
        std::vector<ExprRecord> v;
        for (uint32_t i = 0; i < n; ++i)
            v.push_back(ExprRecord{ExprVariable, 0, 0, 0, paramStart, paramCount + i % 3});
        return v;
    };
    const std::vector<ParamRecord> params(40, ParamRecord{2, 0, 7});
    const std::vector<CallRecord> calls = {{0, 0, 40}, {0, 5, 3}, {0, 0, 0}};
    struct Case {
        const char *what;
        CountedTables tables;
        bool withinLimit;
    };
    const std::vector<Case> cases = {
        {"many rules share one long slice",
         {{{0, 1, 0}, {3, 1, 0}, {3, 2, 0}},
          std::vector<RuleRecord>(200, countedRule(0, 500, 0, 3)),
          exprs(500, 0, 4),
          calls,
          params},
         true},
        {"overlapping slices, nodes out of rule order",
         {{{2, 1, 0}, {0, 1, 0}, {2, 2, 0}, {1, 1, 0}, {0, 2, 0}, {2, 3, 0}},
          {countedRule(0, 300, 1, 2), countedRule(100, 50, 0, 1), countedRule(299, 1, 2, 1)},
          exprs(300, 10, 20),
          calls,
          params},
         true},
        {"rules without nodes", {{}, std::vector<RuleRecord>(50, countedRule(0, 100, 0, 3)), exprs(100, 0, 1), calls,
                                  params},
         true},
        {"past the module's limit",
         {std::vector<NodeRecord>(5000, NodeRecord{1, 0, 0}),
          {countedRule(0, 0, 0, 0), countedRule(0, 400, 0, 3)},
          exprs(400, 0, 38),
          calls,
          params},
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> image = craftImage(c.tables);
        const unsigned __int128 expected = naiveRecords(c.tables);
        ASSERT_TRUE(expected < UINT64_MAX);
        ImageSummary summary;
        std::string error;
        if (c.withinLimit) {
            ASSERT_EQ(checkImage(image.data(), image.size(), summary, error), 0) << error;
            EXPECT_EQ(summary.records, static_cast<uint64_t>(expected));
        } else {
            EXPECT_EQ(checkImage(image.data(), image.size(), summary, error), 22);
            EXPECT_EQ(error, "image expands to " + std::to_string(static_cast<uint64_t>(expected)) +
                                 " records, too many for its " + std::to_string(image.size()) + " bytes");
        }
    }

    // A sum past 2^64 saturates: 30,000 condition nodes of 2^32 - 1
    // parameters each, all in one rule, and 200,000 nodes of it (no image
    // this size fits the module's limit, so the tables stand alone).
    constexpr size_t exprCount = 30000, nodeCount = 200000;
    const RecordCounter counter(
        exprCount, [](size_t) { return UINT32_MAX; }, 0, [](size_t) { return 0u; });
    const RuleRecord heavy = countedRule(0, exprCount, 0, 0);
    const uint64_t perNode = 1 + exprCount + uint64_t{exprCount} * UINT32_MAX;
    EXPECT_EQ(counter.perNode(heavy), perNode);
    EXPECT_EQ(counter.ofNodes(
                  nodeCount, [](size_t) { return 0u; }, [&heavy](uint32_t) { return heavy; }),
              UINT64_MAX);
    EXPECT_EQ(counter.ofNodes(
                  UINT64_MAX / perNode, [](size_t) { return 0u; }, [&heavy](uint32_t) { return heavy; }),
              UINT64_MAX / perNode * perNode);
}

} // namespace

// Names come back as added whether or not they were registered as labels
// first, in the same order or another, with stale registrations left over,
// and across several growths of the string table.
TEST(PolicyImage, NamesSurviveLabelOrderAndTableGrowth)
{
    constexpr int rules = 3000;
    const auto object = [](int i) { return "/srv/data" + std::to_string(i) + "/file"; };
    const auto subject = [](int i) { return "/usr/bin/tool" + std::to_string(i % 7); };
    ImageBuilder builder;
    builder.addLabel("file", "/stale/never/added");
    std::vector<PolicyNode> nodes;
    for (int i = 0; i < rules; ++i) {
        // Rule by rule: both registered, registered the other way round,
        // only the object, or neither.
        switch (i % 4) {
        case 0: builder.addLabel("exec", subject(i)); builder.addLabel("file", object(i)); break;
        case 1: builder.addLabel("file", object(i)); builder.addLabel("exec", subject(i)); break;
        case 2: builder.addLabel("file", object(i)); builder.addLabel("exec", object(i)); break;
        default: break;
        }
        PolicyNode node;
        node.namespaceName = "ns";
        node.objectType = "file";
        node.subjectNames = {subject(i)};
        node.objectNames = {object(i), object(rules - 1 - i)};
        for (const char *permission : {"read", "write"}) {
            node.permission = permission;
            nodes.push_back(node);
        }
    }
    builder.addFile("a.p", nodes);
    Registrations registrations;
    registrations.namespaces.insert("ns");
    BuiltImage built;
    std::string error;
    ASSERT_EQ(builder.build(ImageKind::Full, registrations, "", "", built, error), 0) << error;
    DecodedImage image;
    ASSERT_EQ(decodeImage(built.bytes.data(), built.bytes.size(), image, error), 0) << error;
    ASSERT_EQ(image.nodes.size(), nodes.size());
    for (size_t n = 0; n < nodes.size(); ++n) {
        EXPECT_EQ(image.nodes[n].subjectNames, nodes[n].subjectNames) << n;
        EXPECT_EQ(image.nodes[n].objectNames, nodes[n].objectNames) << n;
        EXPECT_EQ(image.nodes[n].permission, nodes[n].permission) << n;
    }
    ASSERT_FALSE(image.labels.empty());
    EXPECT_EQ(image.labels.front(), std::make_pair(std::string("file"), std::string("/stale/never/added")));
    // Each (kind, name) once, a name under two kinds twice.
    std::set<std::pair<std::string, std::string>> labels(image.labels.begin(), image.labels.end());
    EXPECT_EQ(labels.size(), image.labels.size());
    EXPECT_EQ(labels.count({"exec", object(2)}) + labels.count({"file", object(2)}), 2u);
}

// The compiler skips a registration it has just seen; what it registers
// must still be what was given last, after a clear too.
TEST(PolicyImage, UidNamesAreTheLastGivenWhateverRepeats)
{
    using Calls = std::vector<std::pair<std::string, uint32_t>>;
    const struct {
        const char *name;
        Calls calls;
        bool clearAfterFirst;
        Calls expected;
    } cases[] = {
        {"repeated", {{"a", 1}, {"b", 2}, {"a", 1}, {"b", 2}}, false, {{"a", 1}, {"b", 2}}},
        {"given another uid and back", {{"a", 1}, {"a", 2}, {"a", 1}}, false, {{"a", 1}}},
        {"given another uid", {{"a", 1}, {"b", 2}, {"a", 3}}, false, {{"a", 3}, {"b", 2}}},
        {"more names than are remembered", {{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 5}, {"a", 6}, {"e", 7}},
         false, {{"a", 6}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 7}}},
        {"again after a clear", {{"a", 1}, {"a", 1}}, true, {{"a", 1}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PolicyCompiler compiler;
        for (size_t i = 0; i < c.calls.size(); ++i) {
            compiler.setUid(c.calls[i].first, c.calls[i].second);
            if (i == 0 && c.clearAfterFirst)
                compiler.clear();
        }
        BuiltImage built;
        std::string error;
        ASSERT_EQ(compiler.compile(ImageKind::Full, std::string(), std::string(), built, error), 0) << error;
        DecodedImage image;
        ASSERT_EQ(decodeImage(built.bytes.data(), built.bytes.size(), image, error), 0) << error;
        Calls names = image.uidNames;
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.expected);
    }
}

// The checker builds the image on one thread while another checks its
// rules: the outcome is compile()'s, whichever half fails, and also when
// the building half never ran (the encoding before it failed).
TEST(PolicyImage, CompiledInHalvesOnTwoThreadsAsInOne)
{
    struct Case {
        const char *what;
        std::function<void(PolicyNode &)> change;
        bool digestOnly;
        bool buildRuns;
    };
    const Case cases[] = {
        {"valid", [](PolicyNode &) {}, false, true},
        {"valid, digest only", [](PolicyNode &) {}, true, true},
        {"function not registered", [](PolicyNode &n) { n.conditions = {expr(ExprCall, "unknown")}; }, false, true},
        {"undeclared namespace", [](PolicyNode &n) { n.namespaceName = "other"; }, true, true},
        {"build never ran", [](PolicyNode &) {}, false, false},
        {"build never ran, rule does not hold", [](PolicyNode &n) { n.namespaceName = "other"; }, false, false},
    };
    const auto fill = [](PolicyCompiler &compiler, const Case &c) {
        compiler.setNamespace("web");
        compiler.setFunction("web", "web", "f");
        std::vector<PolicyNode> nodes = {handMadeNode("web"), handMadeNode("web")};
        nodes[1].action = 2;
        nodes[1].conditions = {expr(ExprCall, "f")};
        c.change(nodes[1]);
        compiler.addFile("h.p", nodes);
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PolicyCompiler whole;
        fill(whole, c);
        BuiltImage expected;
        std::string expectedError;
        const int expectedResult =
            whole.compile(ImageKind::Full, std::string(), std::string(), expected, expectedError, c.digestOnly);

        PolicyCompiler compiler;
        fill(compiler, c);
        HalvedCompile halves(ImageKind::Full);
        std::thread builder([&] {
            if (c.buildRuns)
                halves.build(compiler, c.digestOnly);
            halves.end();
        });
        halves.validateBeside(compiler);
        builder.join();
        BuiltImage built;
        std::string error;
        EXPECT_EQ(halves.result(compiler, c.digestOnly, built, error), expectedResult);
        EXPECT_EQ(error, expectedError);
        EXPECT_EQ(built.digest, expected.digest);
        EXPECT_EQ(built.size, expected.size);
        EXPECT_EQ(built.nodeCount, expected.nodeCount);
        EXPECT_EQ(built.bytes, expected.bytes);
    }
}
