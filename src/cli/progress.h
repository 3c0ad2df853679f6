// The status block of tessary-cli on a terminal: one line, or one line per
// image at work when several run at once. Drawn in place at the bottom of
// stderr; every redraw first removes what the previous one drew, so that a
// shorter line or a block of fewer lines leaves no fragment behind.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tessary::cli {

// The text that removes a block of `shownLines` lines drawn by
// DrawStatusBlock (the cursor at the end of its last line) and leaves the
// cursor at the start of the block's first line. Empty for none.
std::string ClearStatusBlock(size_t shownLines);

// The text that replaces a block of `shownLines` lines with `lines`, each
// cut to `columns` - 1 display columns (never inside a character) so that
// none wraps, at most `maxLines` of them (the rest are left out). Gives the
// number of lines drawn in `drawn` (trailing empty lines are not drawn).
std::string DrawStatusBlock(size_t shownLines, const std::vector<std::string>& lines, int columns,
                            size_t maxLines, size_t* drawn);

}  // namespace tessary::cli
