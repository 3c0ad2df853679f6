// Settings files in the Windows INI form: "[Section]" lines and "key=value"
// lines, CR LF line ends. Section and key names compare without regard to
// ASCII case; keys may contain spaces. Every call opens the file afresh, so
// a write is on disk when the call returns and a file written on Windows
// reads the same here.
#pragma once

#include <string>

namespace tessary::app {

// The value of `key` in `section`, trimmed of spaces and tabs (a value in
// matching double quotes loses them); `fallback` when the file, the section
// or the key is missing.
std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& fallback);

// Sets `key` in `section`: an existing line of the key is replaced in place,
// a new key goes after the section's last entry, a new section goes at the
// end of the file. Every other line stays as it was. The file is created
// when missing. The new content replaces the file in one step through a
// temporary file beside it; where no temporary file can be made there (a
// folder that cannot be written, holding a file that can), the file is
// rewritten in place. A byte-order mark at the start of the file is skipped
// when reading and kept when writing. False when the file cannot be written.
bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value);

}  // namespace tessary::app
