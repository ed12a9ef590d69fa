#include "code_lines.h"

#include <utility>
#include <vector>

namespace {

// The text of each line with strings and comments blanked out, so that
// what is left is the file's statements.
std::vector<std::string> codeLines(const std::string &content)
{
    std::vector<std::string> lines;
    std::string line;
    char quote = 0;
    bool comment = false;
    for (const char c : content) {
        if (c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
            quote = 0;
            comment = false;
            continue;
        }
        if (comment) {
            line += ' ';
        } else if (quote) {
            line += ' ';
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
            line += ' ';
        } else if (c == '#') {
            comment = true;
            line += ' ';
        } else {
            line += c;
        }
    }
    lines.push_back(std::move(line));
    return lines;
}

} // namespace

int lineMatching(const std::string &content, const std::regex &pattern, bool last)
{
    const std::vector<std::string> lines = codeLines(content);
    int found = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (std::regex_search(lines[i], pattern)) {
            found = static_cast<int>(i + 1);
            if (!last)
                break;
        }
    }
    return found;
}
