// Helpers shared by the unit tests: log capture, compiling a text the way
// the pipeline does, and the library's call journal.
#ifndef TAVO_TEST_SUPPORT_H
#define TAVO_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <utility>
#include <vector>

#include <tavopolicysync/log.h>
#include <policy_image.h>
#include <standin.h>

#include "front_end.h"
#include "parse_state.h"
#include "policy_loader.h"
#include "policy_manager.h"

struct LogLine {
    int level;
    std::string message;
};

// Captures every log line (all levels) for the life of the object.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    const std::vector<LogLine> &lines() const { return lines_; }
    std::vector<std::string> messages() const;
    // Messages of one level.
    std::vector<std::string> messages(int level) const;
    bool contains(const std::string &message) const;
    void clear() { lines_.clear(); }

private:
    static void sink(void *context, const char *file, int line, int level, const char *message);
    std::vector<LogLine> lines_;
};

struct Token {
    int code;
    uint64_t number; // NUMBER, ACTION, TYPE
    std::string text; // heap text of the token, if any
    int line; // the scanner's line after the token was scanned
    bool operator==(const Token &o) const
    {
        return code == o.code && number == o.number && text == o.text && line == o.line;
    }
};
void PrintTo(const Token &t, std::ostream *os);

// Scans `text` to the end (or the first lexical error); the final 0 is not
// included.
std::vector<Token> scanAll(const std::string &text);
std::vector<Token> scanAll(Scanner &scanner);

// The tests' front end: the library's output over one parse state, which
// the tests look at between compiles.
FrontEnd &testFrontEnd();

// Compiles `text` as the pipeline does, as the file testFileName; the parse
// state keeps what the parse produced.
inline const char testFileName[] = "test.p";
int parseText(const std::string &text);

// The library's journal, emptied and switched on for the life of the
// object; the library's policy is cleared first.
class Journal {
public:
    Journal();
    ~Journal();
    const std::vector<PolicySyncCall> &calls() const;
    // Only the calls of the named operations, in order.
    std::vector<PolicySyncCall> calls(const std::vector<std::string> &ops) const;
};

// Reads a file of the shared corpus (relative to tests/corpus).
std::string corpusFile(const std::string &relative);
// Names of the files of a corpus folder, sorted.
std::vector<std::string> corpusFiles(const std::string &folder);
// Names in a directory, sorted, without "." and ".." (and without other
// names that begin with "." unless `hidden`).
std::vector<std::string> entriesOf(const std::string &directory, bool hidden = true);

const std::vector<PolicyNode> &nodes();

// A whole file's bytes (empty when it cannot be read).
std::string readFile(const std::string &path);
// Replaces a file's bytes; fails the test when they cannot be written.
void writeFile(const std::string &path, const std::string &content);

// A scratch folder under $TMPDIR, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string &root() const { return root_; }
    std::string path(const std::string &relative) const { return root_ + "/" + relative; }

    void write(const std::string &relative, const std::string &content) const;
    void mkdir(const std::string &relative) const { ASSERT_EQ(::mkdir(path(relative).c_str(), 0755), 0); }
    void mkfifo(const std::string &relative) const { ASSERT_EQ(::mkfifo(path(relative).c_str(), 0644), 0); }
    void symlink(const std::string &target, const std::string &relative) const
    {
        ASSERT_EQ(::symlink(target.c_str(), path(relative).c_str()), 0);
    }

private:
    std::string root_;
};

struct PolicyDirectoryRun;
// A run over scratch/<folder>, compiled the way the daemon does.
PolicyDirectoryRun runOver(const ScratchDir &scratch, const std::string &folder, bool stopAtFirstFailure = true);

// Names handed to addPolicy, in order, with their node counts.
using Added = std::vector<std::vector<std::string>>;
Added added(const Journal &journal);

// A namespace declaration to start a text with.
inline const std::string header = "string name = t\n";
// Two nodes (one rule, two permissions).
inline const std::string goodPolicy =
    "string name = web\nallow 1000 \"/usr/bin/app\" \"/var/www/*\" file { read, write }\n";

// The trailing lines of a file that failed to compile, as a walk logs them.
std::vector<std::string> compileFailure(std::vector<std::string> first, const std::string &name = "a.p");

struct Outcome {
    int code;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    Added added;
};

// In a forked child: caps the address space at what the process uses now
// plus `headroom`, so that a large allocation really fails. Ends the child
// with 10 or 11 when the cap cannot be set.
void capAddressSpaceOrExit(size_t headroom);

// Waits for a forked child and expects it to have exited with 0 (its other
// statuses say which check failed).
void expectChildExitsCleanly(pid_t child);

// The file a.p, then a good b.p, walked as the checker walks (every file).
Outcome checkBeforeGoodFile(const std::string &content, size_t sizeLimit = maxPolicyFileSize);

// What the library holds, as the kernel sees it: compiles it (outside the
// journal) and decodes the image. A failing compile or decode fails the
// test and gives an empty image.
tavo_image::DecodedImage compiledImage();
// The nodes added per file, in addPolicy order, read back from the image.
std::vector<std::pair<std::string, std::vector<PolicyNode>>> addedPolicy();

#endif
