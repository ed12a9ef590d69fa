#include "support.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>

#include "lexer.h"
#include "parser.h"
#include "policy_loader.h"
#include "rule_expansion.h"
#include "tavo_parser.hpp"

LogCapture::LogCapture()
{
    enableDebugLog();
    setLogSink(&LogCapture::sink, this);
}

LogCapture::~LogCapture()
{
    setLogSink(nullptr, nullptr);
}

void LogCapture::sink(void *context, const char *, int, int level, const char *message)
{
    static_cast<LogCapture *>(context)->lines_.push_back(LogLine{level, message});
}

std::vector<std::string> LogCapture::messages() const
{
    std::vector<std::string> out;
    for (const LogLine &l : lines_)
        out.push_back(l.message);
    return out;
}

std::vector<std::string> LogCapture::messages(int level) const
{
    std::vector<std::string> out;
    for (const LogLine &l : lines_) {
        if (l.level == level)
            out.push_back(l.message);
    }
    return out;
}

bool LogCapture::contains(const std::string &message) const
{
    return std::any_of(lines_.begin(), lines_.end(), [&](const LogLine &l) { return l.message == message; });
}

void PrintTo(const Token &t, std::ostream *os)
{
    *os << "{code " << t.code << ", number " << t.number << ", text \"" << t.text << "\", line " << t.line << "}";
}

std::vector<Token> scanAll(Scanner &scanner)
{
    std::vector<Token> tokens;
    for (;;) {
        TokenValue value;
        value.number = 0;
        const int code = scanner.next(&value);
        if (code == 0)
            break;
        Token t{code, 0, std::string(), scanner.line()};
        if (tokenCarriesText(code)) {
            t.text.assign(value.text.data, value.text.length);
        }
        switch (code) {
        case NUMBER:
        case ACTION:
        case TYPE:
            t.number = value.number;
            break;
        default:
            break;
        }
        tokens.push_back(t);
    }
    return tokens;
}

std::vector<Token> scanAll(const std::string &text)
{
    Scanner scanner(text);
    return scanAll(scanner);
}

FrontEnd &testFrontEnd()
{
    static LibraryOutput library;
    static FrontEnd frontEnd(library);
    static const bool expanding = (library.expandIn(frontEnd.state()), true);
    (void)expanding;
    return frontEnd;
}

int parseText(const std::string &text)
{
    return compileText(testFrontEnd(), testFileName, text);
}

Journal::Journal()
{
    policyManager().clearAllPolicy();
    setPolicySyncJournal(policyManager(), false);
    setPolicySyncJournal(policyManager(), true);
}

Journal::~Journal()
{
    setPolicySyncJournal(policyManager(), false);
}

const std::vector<PolicySyncCall> &Journal::calls() const
{
    return policySyncJournal(policyManager());
}

std::vector<PolicySyncCall> Journal::calls(const std::vector<std::string> &ops) const
{
    std::vector<PolicySyncCall> out;
    for (const PolicySyncCall &c : calls()) {
        if (std::find(ops.begin(), ops.end(), c.op) != ops.end())
            out.push_back(c);
    }
    return out;
}

std::string corpusFile(const std::string &relative)
{
    std::ifstream in(std::string(TAVO_CORPUS_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> entriesOf(const std::string &directory, bool hidden)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(directory.c_str())) {
        while (const dirent *e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && (hidden || name[0] != '.'))
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> corpusFiles(const std::string &folder)
{
    return entriesOf(std::string(TAVO_CORPUS_DIR) + "/" + folder, false);
}

const std::vector<PolicyNode> &nodes()
{
    return expandFileNodes(testFrontEnd().state(), testFrontEnd().state().fileRules, true).nodes;
}

ScratchDir::ScratchDir()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pipeline.XXXXXX";
    if (!mkdtemp(&pattern[0]))
        ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
}

ScratchDir::~ScratchDir()
{
    nftw(root_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
    out.close();
    EXPECT_TRUE(out.good()) << path;
}

void ScratchDir::write(const std::string &relative, const std::string &content) const
{
    writeFile(path(relative), content);
}

Added added(const Journal &journal)
{
    Added out;
    for (const PolicySyncCall &c : journal.calls({"addPolicy"}))
        out.push_back(c.args);
    return out;
}

std::vector<std::string> compileFailure(std::vector<std::string> first, const std::string &name)
{
    first.push_back("####ERROR: 文件" + name + "中存在编译错误");
    first.push_back("###ERROR: 策略文件" + name + "解析失败");
    first.push_back("##ERROR: 处理策略文件 " + name + " 失败，错误码 3");
    return first;
}

PolicyDirectoryRun runOver(const ScratchDir &scratch, const std::string &folder, bool stopAtFirstFailure)
{
    PolicyDirectoryRun run;
    run.directory = scratch.path(folder);
    run.prefix = canonicalDirectoryPrefix(run.directory);
    run.stopAtFirstFailure = stopAtFirstFailure;
    return run;
}

Outcome checkBeforeGoodFile(const std::string &content, size_t sizeLimit)
{
    ScratchDir scratch;
    scratch.mkdir("policy");
    scratch.write("policy/a.p", content);
    scratch.write("policy/b.p", goodPolicy);
    LogCapture log;
    Journal journal;
    PolicyDirectoryRun run = runOver(scratch, "policy", false);
    run.fileSizeLimit = sizeLimit;
    const int code = compilePolicyDirectory(testFrontEnd(), run);
    return Outcome{code, log.messages(TAVO_LOG_ERROR), log.messages(TAVO_LOG_WARNING), added(journal)};
}

tavo_image::DecodedImage compiledImage()
{
    PolicySyncImpl &impl = policySyncImpl(policyManager());
    const bool journalOn = impl.journalOn;
    impl.journalOn = false;
    const int compiled = policyManager().compileData();
    impl.journalOn = journalOn;
    tavo_image::DecodedImage image;
    EXPECT_EQ(compiled, 0);
    if (compiled != 0)
        return image;
    const std::vector<uint8_t> &bytes = lastCompiled(policyManager()).image;
    std::string error;
    EXPECT_EQ(tavo_image::decodeImage(bytes.data(), bytes.size(), image, error), 0) << error;
    return image;
}

std::vector<std::pair<std::string, std::vector<PolicyNode>>> addedPolicy()
{
    tavo_image::DecodedImage image = compiledImage();
    std::vector<std::pair<std::string, std::vector<PolicyNode>>> added;
    for (const std::string &file : image.files)
        added.emplace_back(file, std::vector<PolicyNode>());
    for (size_t i = 0; i < image.nodes.size(); ++i)
        added.at(image.nodeFiles[i]).second.push_back(std::move(image.nodes[i]));
    return added;
}

void capAddressSpaceOrExit(size_t headroom)
{
    FILE *status = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (!status || fscanf(status, "%lu", &pages) != 1)
        _exit(10);
    fclose(status);
    struct rlimit cap;
    getrlimit(RLIMIT_AS, &cap);
    cap.rlim_cur = pages * sysconf(_SC_PAGESIZE) + headroom;
    if (setrlimit(RLIMIT_AS, &cap) != 0)
        _exit(11);
}

void expectChildExitsCleanly(pid_t child)
{
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
