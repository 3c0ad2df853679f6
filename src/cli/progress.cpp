#include "cli/progress.h"

#include <algorithm>

#include "cli/image_table.h"

namespace tessary::cli {

std::string ClearStatusBlock(size_t shownLines) {
    if (shownLines == 0) return std::string();
    if (shownLines == 1) return "\r\033[K";
    // Back to the first line's start, then everything to the end of the screen.
    return "\r\033[" + std::to_string(shownLines - 1) + "A\033[J";
}

std::string DrawStatusBlock(size_t shownLines, const std::vector<std::string>& lines, int columns,
                            size_t maxLines, size_t* drawn) {
    const size_t room = size_t(std::max(columns - 1, 10));
    std::vector<std::string> cut;
    for (const std::string& line : lines) {
        if (cut.size() >= std::max<size_t>(maxLines, 1)) break;
        size_t bytes = 0;
        FitDisplayWidth(line, room, &bytes);
        cut.push_back(line.substr(0, bytes));
    }
    while (!cut.empty() && cut.back().empty()) cut.pop_back();
    // One line in place of one: the single-line status as it always was.
    std::string text = shownLines <= 1 ? std::string("\r\033[K") : ClearStatusBlock(shownLines);
    for (size_t i = 0; i < cut.size(); ++i) text += (i ? "\n" : "") + cut[i];
    *drawn = cut.size();
    return text;
}

}  // namespace tessary::cli
