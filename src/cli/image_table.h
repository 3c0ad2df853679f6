// The image list as the terminal shows it: an aligned text table with the
// window's column headings, padded by the columns a text takes on screen.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/image_list.h"

namespace tessary::cli {

// The columns a text takes on a terminal: UTF-8 decoded, East Asian wide
// characters two, combining marks none; a byte that is not UTF-8 one.
size_t DisplayWidth(const std::string& text);

// The display width of the longest start of `text` that fits in `columns`,
// never cutting a character; its length in bytes goes to `bytes`.
size_t FitDisplayWidth(const std::string& text, size_t columns, size_t* bytes);

// The list as an aligned text table with the window's column headings,
// padded by display width.
std::string FormatImageList(const std::vector<ImageListRow>& rows, const std::string& separator);

}  // namespace tessary::cli
