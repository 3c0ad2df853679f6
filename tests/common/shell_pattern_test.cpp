// The shell-pattern matcher behind fnmatch on Windows, checked against the C
// library's fnmatch where there is one: the --include/--exclude filters must
// select the same files on both systems.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/posix_win.h"

#ifndef _WIN32
#include <fnmatch.h>
#endif

namespace tessary::platform {
namespace {

struct PatternCase {
    const char* pattern;
    const char* name;
    int flags;
    bool matches;
};

// flags: 0x01 path name, 0x02 no escapes, 0x04 period, 0x10 case folded.
const std::vector<PatternCase> kCases = {
    {"*.tif", "chart.tif", 0, true},
    {"*.tif", "chart.TIF", 0, false},
    {"*.tif", "chart.TIF", 0x10, true},
    {"*.TIF", "chart.tif", 0x10, true},
    {"chart?.png", "chart1.png", 0, true},
    {"chart?.png", "chart.png", 0, false},
    {"chart[0-9].png", "chart7.png", 0, true},
    {"chart[!0-9].png", "chart7.png", 0, false},
    {"chart[^0-9].png", "chartx.png", 0, true},
    {"chart[a-c].png", "chartB.png", 0x10, true},
    {"[]]x", "]x", 0, true},
    {"[a-]x", "-x", 0, true},
    {"[abc", "[abc", 0, true},
    {"a\\*b", "a*b", 0, true},
    {"a\\*b", "axb", 0, false},
    {"a\\*b", "a\\xb", 0x02, true},
    {"*", "", 0, true},
    {"?", "", 0, false},
    {"**.map", "a.b.map", 0, true},
    {"*/*.tif", "maps/chart.tif", 0x01, true},
    {"*.tif", "maps/chart.tif", 0x01, false},
    {"*.tif", "maps/chart.tif", 0, true},
    {"maps/?hart.tif", "maps/chart.tif", 0x01, true},
    {"maps?chart.tif", "maps/chart.tif", 0x01, false},
    {"maps[/]chart.tif", "maps/chart.tif", 0x01, false},
    {"*", ".hidden", 0x04, false},
    {".*", ".hidden", 0x04, true},
    {"*", ".hidden", 0, true},
    {"a*b*c", "aXbYbZc", 0, true},
    {"a*b*c", "aXbYbZ", 0, false},
    {"Λίμνη*.png", "Λίμνη_湖泊.png", 0, true},
};

TEST(ShellPattern, MatchesAsFnmatchDoes) {
    for (const PatternCase& c : kCases) {
        SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name + " flags " + std::to_string(c.flags));
        EXPECT_EQ(ShellPatternMatches(c.pattern, c.name, c.flags), c.matches);
#ifndef _WIN32
        // The table itself is what the C library says.
        EXPECT_EQ(fnmatch(c.pattern, c.name, c.flags) == 0, c.matches);
#endif
    }
}

}  // namespace
}  // namespace tessary::platform
