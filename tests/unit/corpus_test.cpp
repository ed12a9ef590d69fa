// The shared corpus: every good file compiles; every bad file fails, and
// its first error line is the one its first line announces as
// "# error: <message>".
#include "support.h"

#include "policy_loader.h"

namespace {

TEST(Corpus, GoodFilesCompile)
{
    const std::vector<std::string> files = corpusFiles("good");
    ASSERT_FALSE(files.empty());
    for (const std::string &name : files) {
        SCOPED_TRACE(name);
        LogCapture log;
        EXPECT_EQ(parseText(corpusFile("good/" + name)), 0);
        EXPECT_TRUE(log.messages(TAVO_LOG_ERROR).empty());
    }
}

TEST(Corpus, BadFilesFailWithTheirAnnouncedError)
{
    const std::vector<std::string> files = corpusFiles("bad");
    ASSERT_FALSE(files.empty());
    const std::string marker = "# error: ";
    for (const std::string &name : files) {
        SCOPED_TRACE(name);
        const std::string text = corpusFile("bad/" + name);
        ASSERT_EQ(text.compare(0, marker.size(), marker), 0) << "first line must announce the error";
        const std::string expected = text.substr(marker.size(), text.find('\n') - marker.size());

        LogCapture log;
        EXPECT_EQ(compilePolicyContent(testFrontEnd(), name, text), FileCompileError);
        const std::vector<std::string> errors = log.messages(TAVO_LOG_ERROR);
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.front(), expected);
    }
}

} // namespace
