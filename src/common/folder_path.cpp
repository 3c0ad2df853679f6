#include "common/folder_path.h"

#include "common/text.h"

namespace tessary {

FolderPath::FolderPath(std::string_view text) {
    const std::string trimmed = TrimSpaces(text);
    if (!trimmed.empty()) text_ = WithTrailingSeparator(trimmed);
}

std::string FolderPath::ForCheck() const {
    if (text_.size() > 1) return text_.substr(0, text_.size() - 1);
    return text_;
}

FolderPath FolderOf(std::string_view path) { return FolderPath(FolderPart(path)); }

}  // namespace tessary
