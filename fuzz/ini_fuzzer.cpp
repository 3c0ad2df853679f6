// "tessary.ini": the settings reader of the desktop program (its INI layer
// needs no Qt and is compiled into the target). Reads the keys the program
// reads, then writes a key three ways (replacing a line, adding a key to a
// section, adding a section) and reads each back: a written value must read
// back as written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/ini_file.h"
#include "fuzz_support.h"

namespace {

void Check(const std::string& path, const std::string& section, const std::string& key) {
    const std::string value = "C:\\Maps\\value 1";
    if (!tessary::app::WriteIniString(path, section, key, value)) return;
    if (tessary::app::ReadIniString(path, section, key, "-") != value) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tessary::fuzz::TempInput input(data, size, ".ini");
    const std::string& path = input.Path();
    for (const char* key : {"Source Folder", "Destination Folder", "Temp Folder", "Map File Path", "Resize"})
        tessary::app::ReadIniString(path, "System", key, "fallback");
    tessary::app::ReadIniString(path, "SYSTEM", "Map File Path", "");
    tessary::app::ReadIniString(path, "", "", "");
    Check(path, "System", "Destination Folder");
    Check(path, "System", "A New Key");
    Check(path, "A New Section", "Key");
    return 0;
}
