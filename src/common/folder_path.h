// A folder as the program carries it from where the user named it (the
// command line, a folder edit of the window, the settings file) to the
// engine: trimmed of spaces and closed with a separator once, at the door,
// so that nothing further in trims or closes it again.
#pragma once

#include <string>
#include <string_view>

namespace tessary {

class FolderPath {
public:
    // No folder: Empty(), Text() "".
    FolderPath() = default;
    // A folder from user text: leading and trailing spaces removed, then
    // closed with the platform's separator unless it already ends in "/" or
    // "\" (see WithTrailingSeparator). Text that is empty or only spaces
    // gives no folder.
    explicit FolderPath(std::string_view text);

    bool Empty() const { return text_.empty(); }
    // The folder with its trailing separator ("" for no folder): the form
    // shown to the user and joined with names.
    const std::string& Text() const { return text_; }
    // A file or folder inside this one.
    std::string Join(std::string_view name) const { return text_ + std::string(name); }
    // The form the file system is asked about: without the trailing
    // separator, except for a folder that is nothing else ("/").
    std::string ForCheck() const;

    bool operator==(const FolderPath& other) const { return text_ == other.text_; }
    bool operator!=(const FolderPath& other) const { return text_ != other.text_; }

private:
    std::string text_;
};

// The folder a path lies in: its text up to the last separator (FolderPart).
FolderPath FolderOf(std::string_view path);

}  // namespace tessary
