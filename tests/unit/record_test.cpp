// The record of what is in force: its text keeps every name as it was, a
// damaged text is refused, the store keeps the old record when a new one
// cannot be written whole, a step of the module is marked until it is
// recorded, and no lock but root's own holds a writer.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>

#include "unique_fd.h"

#include "record_store.h"
#include "support.h"

namespace {

RuleGroup group(const std::string &file, const std::string &ns, const std::string &section, char seed)
{
    RuleGroup g;
    g.file = file;
    g.nsName = ns;
    g.section = section;
    g.digest = Sha256::of(std::string(1, seed));
    g.rules = 2;
    g.nodes = 6;
    return g;
}

std::string fileText(const std::string &path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The bytes of the two sources the store tests deliver.
RecordStore::SourceBytes bytesOfEither(const std::string &first, const std::string &second)
{
    return [&first, &second](const Sha256Digest &d) -> const std::string * {
        return d == Sha256::of(first) ? &first : d == Sha256::of(second) ? &second : nullptr;
    };
}

// Makes the record a full delivery of the one source `content`.
void deliverFull(PolicyRecord &r, const std::string &content)
{
    r = PolicyRecord();
    r.delivery.kind = RecordedPolicy::Kind::Full;
    r.delivery.sources = {RecordSource{"a.p", Sha256::of(content), content.size()}};
}

// Names of every kind a file, namespace, section, variable or user may have.
PolicyRecord awkwardRecord()
{
    PolicyRecord r;
    r.delivery.kind = RecordedPolicy::Kind::Full;
    r.delivery.compiled = RecordStep{1700000000, "compilePolicy", 0, "root"};
    r.delivery.delivered = RecordStep{1700000001, "sendPolicy", 900, ""};
    r.delivery.sources = {RecordSource{"a b%.p", Sha256::of("x"), 1}, RecordSource{"-", Sha256::of("y"), 1}};
    r.delivery.groups = {group("a b%.p", "网", "", 'a'), group("-", "line\nfeed", "\x7f\xff", 'b')};
    RecordedPolicy update;
    update.kind = RecordedPolicy::Kind::Section;
    update.nsName = "网";
    update.section = "%2D";
    update.delivered = RecordStep{1700000002, "sendPolicy", 0, "root"};
    update.groups = {group("a b%.p", "网", "%2D", 'c')};
    r.sections.push_back(update);
    r.dynamics.push_back(DynamicChange{"ns", "var iable", 1, RecordStep{1700000003, "modifyDynamicVariable", 0, "r"}});
    return r;
}

TEST(PolicyRecord, TextKeepsEveryNameAndTheIdentity)
{
    const PolicyRecord r = awkwardRecord();
    const std::string text = formatRecord(r);
    PolicyRecord back;
    std::string problem;
    ASSERT_TRUE(parseRecord(text, back, problem)) << problem;
    EXPECT_EQ(formatRecord(back), text);
    EXPECT_EQ(back.delivery.sources[0].name, "a b%.p");
    EXPECT_EQ(back.delivery.sources[1].name, "-");
    EXPECT_EQ(back.delivery.groups[1].nsName, "line\nfeed");
    EXPECT_EQ(back.delivery.groups[1].section, "\x7f\xff");
    EXPECT_EQ(back.delivery.delivered.user, "");
    EXPECT_EQ(back.sections.at(0).section, "%2D");
    EXPECT_EQ(back.dynamics.at(0).variable, "var iable");
    EXPECT_EQ(back.identity(), r.identity());
    // The section update replaced its section's groups.
    EXPECT_EQ(back.nodes(), 18u);

    // A record marked as being changed names no policy, only the change.
    PolicyRecord marked;
    marked.delivery.delivered = RecordStep{1700000004, "modifyDynamicVariable", 0, "root"};
    marked.changing = PendingChange{PendingChange::Kind::Dynamic, std::nullopt, "网 %", "", "-", 1};
    ASSERT_TRUE(parseRecord(formatRecord(marked), back, problem)) << problem;
    EXPECT_EQ(formatRecord(back), formatRecord(marked));
    ASSERT_TRUE(back.changing);
    EXPECT_EQ(back.changing->nsName, "网 %");
    EXPECT_EQ(back.changing->variable, "-");
    EXPECT_FALSE(back.identity());
}

TEST(PolicyRecord, DamagedTextIsRefused)
{
    const std::string good = formatRecord(awkwardRecord());
    const auto replaced = [&good](const std::string &from, const std::string &to) {
        std::string text = good;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    const std::string identityLine = good.substr(0, good.find('\n', good.find("identity ")) + 1);
    const struct {
        std::string text;
        std::string problem;
    } cases[] = {
        {"", "empty"},
        {"tavo-policy-record 2\n", "line 1: not a policy record"},
        {good.substr(0, good.size() - 1), "the last line is not complete"},
        {replaced("group a%20b%25.p", "group a%20b%2.p"), "bad escape"},
        {replaced(" 2 6\n", " 2\n"), "bad group line"},
        {replaced("kind full", "kind partial"), "unknown kind partial"},
        {replaced("variable ns var%20iable 1", "variable ns var%20iable 2"), "bad variable line"},
        {replaced("[section]", "[delivery]"), "a second [delivery] block"},
        // Another group's digest: the stated identity is no longer the one.
        {replaced(digestToHex(Sha256::of(std::string(1, 'c'))), digestToHex(Sha256::of(std::string(1, 'd')))),
         "its identity is not the one its groups give"},
        {identityLine + "[delivery]\nkind full\n", "its identity is not the one its groups give"},
        {std::string(maxRecordTextBytes + 1, '\n'), "larger than"},
        {good + "[changing]\ndelivering full\n", "a record being changed names what is in force"},
        {good + "[changing]\ndelivering partial\n", "unknown kind partial"},
    };
    for (const auto &c : cases) {
        PolicyRecord r;
        std::string problem;
        EXPECT_FALSE(parseRecord(c.text, r, problem)) << c.problem;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem << " / " << c.problem;
    }
}

TEST(RecordStore, KeepsTheOldRecordWhenTheNewCannotBeWholeAndSweepsTheRest)
{
    ScratchDir scratch;
    RecordStore store(scratch.path("run"), false);
    const std::string first = "string name = a\n";
    const std::string second = "string name = b\n";
    const auto bytesOf = bytesOfEither(first, second);
    const auto delivering = [](const std::string &content) {
        return [content](PolicyRecord &r, bool) { deliverFull(r, content); };
    };
    std::string problem;
    ASSERT_EQ(store.update(delivering(first), bytesOf, problem), 0) << problem;
    const std::string written = fileText(scratch.path("run/record"));

    // A source whose bytes are not there: nothing changes.
    scratch.write("run/.tmp.abcdef", "left by a writer that was killed");
    EXPECT_EQ(store.update(delivering("string name = c\n"), bytesOf, problem), ENOENT);
    PolicyRecord now;
    ASSERT_EQ(store.read(now, problem), RecordStore::ReadStatus::Read);
    EXPECT_EQ(formatRecord(now), written);

    // The next record names another source: the first goes, the leftover too.
    ASSERT_EQ(store.update(delivering(second), bytesOf, problem), 0) << problem;
    struct stat st;
    EXPECT_NE(stat(scratch.path("run/sources/" + digestToHex(Sha256::of(first))).c_str(), &st), 0);
    EXPECT_EQ(stat(scratch.path("run/sources/" + digestToHex(Sha256::of(second))).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0070, 0600u); // the group bits are the ACL's mask
    EXPECT_NE(stat(scratch.path("run/.tmp.abcdef").c_str(), &st), 0);
    std::map<Sha256Digest, std::string> sources;
    ASSERT_EQ(store.readWithSources(now, sources, problem), 0) << problem;
    EXPECT_EQ(sources.at(Sha256::of(second)), second);
}

TEST(RecordChange, MarksTheRecordUntilTheModuleAnswersAndBuildsOnUnknownAfterAMarkLeftBehind)
{
    ScratchDir scratch;
    RecordStore store(scratch.path("run"), false);
    const std::string first = "string name = a\n";
    const std::string second = "string name = b\n";
    const auto bytesOf = bytesOfEither(first, second);
    const auto delivering = [](const std::string &content, char seed) {
        return [content, seed](PolicyRecord &r, bool) {
            deliverFull(r, content);
            r.delivery.delivered = RecordStep{1700000000, "sendPolicy", 0, "root"};
            r.delivery.groups = {group("a.p", "a", "", seed)};
        };
    };
    const auto switching = [](PolicyRecord &r, bool) {
        r.dynamics.push_back(DynamicChange{"ns", "v", 1, RecordStep{1700000009, "modifyDynamicVariable", 0, ""}});
    };
    PendingChange full;
    full.kind = PendingChange::Kind::Full;
    PendingChange dynamic;
    dynamic.kind = PendingChange::Kind::Dynamic;
    const RecordStep started{1700000005, "sendPolicy", 0, "root"};
    std::string problem;
    ASSERT_EQ(store.update(delivering(first, 'a'), bytesOf, problem), 0) << problem;
    const std::string before = fileText(scratch.path("run/record"));
    const std::string firstSource = scratch.path("run/sources/" + digestToHex(Sha256::of(first)));
    PolicyRecord now;
    struct stat st;

    // Refused: the record as it was, its sources kept while it was marked.
    {
        RecordChange change(store);
        ASSERT_EQ(change.mark(full, started, problem), 0) << problem;
        // secadm may still list the sources during the step: the mask of
        // the directory's ACL (its group bits) was not rewritten.
        ASSERT_EQ(stat(scratch.path("run/sources").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0750u);
        ASSERT_EQ(store.read(now, problem), RecordStore::ReadStatus::Read) << problem;
        EXPECT_TRUE(now.changing && now.changing->kind == PendingChange::Kind::Full);
        EXPECT_FALSE(now.identity());
        EXPECT_EQ(now.delivery.delivered.time, started.time);
        EXPECT_EQ(stat(firstSource.c_str(), &st), 0);
        ASSERT_EQ(change.restore(problem), 0) << problem;
    }
    EXPECT_EQ(fileText(scratch.path("run/record")), before);

    // Never answered (the writer was killed): the mark stays.
    {
        RecordChange change(store);
        ASSERT_EQ(change.mark(full, started, problem), 0) << problem;
    }
    ASSERT_EQ(store.read(now, problem), RecordStore::ReadStatus::Read) << problem;
    EXPECT_TRUE(now.changing);
    EXPECT_FALSE(now.identity());

    // A switch after that is recorded on a policy unknown since the mark.
    {
        RecordChange change(store);
        ASSERT_EQ(change.mark(dynamic, RecordStep{1700000008, "modifyDynamicVariable", 0, ""}, problem), 0);
        ASSERT_EQ(change.complete(switching, bytesOf, problem), 0) << problem;
    }
    ASSERT_EQ(store.read(now, problem), RecordStore::ReadStatus::Read) << problem;
    EXPECT_FALSE(now.changing);
    EXPECT_FALSE(now.identity());
    EXPECT_EQ(now.delivery.kind, RecordedPolicy::Kind::Unknown);
    EXPECT_EQ(now.delivery.delivered.time, started.time);
    EXPECT_EQ(now.dynamics.size(), 1u);

    // The next full delivery is known again; the sources before are gone.
    {
        RecordChange change(store);
        ASSERT_EQ(change.mark(full, started, problem), 0) << problem;
        ASSERT_EQ(change.complete(delivering(second, 'b'), bytesOf, problem), 0) << problem;
    }
    ASSERT_EQ(store.read(now, problem), RecordStore::ReadStatus::Read) << problem;
    EXPECT_TRUE(now.identity());
    EXPECT_NE(stat(firstSource.c_str(), &st), 0);
}

// Root's other writer (the init command beside the daemon) held the lock
// past the patience and wrote to the module all the same: the holder's
// outcome may be older than the module, so it must not replace the mark.
TEST(RecordChange, TheLockHoldersOutcomeNeverReplacesTheMarkOfAWriterThatGaveUpWaiting)
{
    ScratchDir scratch;
    RecordStore store(scratch.path("run"), false);
    const std::string content = "string name = a\n";
    const auto full = [&](PolicyRecord &r, bool) {
        r = PolicyRecord();
        r.delivery.kind = RecordedPolicy::Kind::Full;
        r.delivery.delivered = RecordStep{1700000000, "sendPolicy", 0, "root"};
        r.delivery.sources = {RecordSource{"a.p", Sha256::of(content), content.size()}};
        r.delivery.groups = {group("a.p", "a", "", 'a')};
    };
    const auto bytesOf = [&](const Sha256Digest &) { return &content; };
    PendingChange delivering;
    delivering.kind = PendingChange::Kind::Full;
    PendingChange switching;
    switching.kind = PendingChange::Kind::Dynamic;
    std::string problem;
    ASSERT_EQ(store.update(full, bytesOf, problem), 0) << problem;

    RecordChange holder(store);
    ASSERT_EQ(holder.mark(delivering, RecordStep{1700000005, "sendPolicy", 0, "root"}, problem), 0) << problem;
    {
        RecordChange late(store);
        EXPECT_EQ(late.mark(switching, RecordStep{1700000006, "tavo-main-policy-init", 0, "root"}, problem),
                  ETIMEDOUT);
        EXPECT_NE(late.complete(full, bytesOf, problem), 0);
    }
    EXPECT_NE(holder.complete(full, bytesOf, problem), 0);
    PolicyRecord now;
    ASSERT_EQ(store.read(now, problem), RecordStore::ReadStatus::Read) << problem;
    EXPECT_FALSE(now.identity());
    ASSERT_TRUE(now.changing);
    EXPECT_EQ(now.changing->kind, PendingChange::Kind::Dynamic);
}

TEST(RecordStore, NoLockButItsOwnHoldsAWriter)
{
    ScratchDir scratch;
    RecordStore store(scratch.path("run"), false);
    const auto fresh = [](PolicyRecord &r, bool) { r = PolicyRecord(); };
    std::string problem;
    ASSERT_EQ(store.update(fresh, {}, problem), 0) << problem;
    struct stat st;
    ASSERT_EQ(stat(scratch.path("run/.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // Whoever could open the directory, the record, or a lock file left
    // with another mode holds them all.
    ASSERT_EQ(chmod(scratch.path("run/.lock").c_str(), 0644), 0);
    std::vector<UniqueFd> held;
    for (const char *name : {"run", "run/record", "run/.lock"}) {
        held.emplace_back(open(scratch.path(name).c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(held.back().valid()) << name;
        ASSERT_EQ(flock(held.back().get(), LOCK_EX | LOCK_NB), 0) << name;
    }
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(store.update(fresh, {}, problem), 0) << problem;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    ASSERT_EQ(stat(scratch.path("run/.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

} // namespace
