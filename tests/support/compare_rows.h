// The per-level figures tessary-cli compare prints, read back: the command
// line's tests and the viewer's error overlay tests both hold them against
// what they measure.
#pragma once

#include <regex>
#include <string>
#include <vector>

namespace tessary::test {

struct CompareRow {
    int level, width, height;
    double mean, p99, largest;
    int colours;
};

inline std::vector<CompareRow> CompareRows(const std::string& out) {
    std::vector<CompareRow> rows;
    const std::regex line(R"((\d+)\s+(\d+) x (\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+(\d+))");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
        const std::smatch& m = *it;
        rows.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stod(m[4]), std::stod(m[5]),
                        std::stod(m[6]), std::stoi(m[7])});
    }
    return rows;
}

}  // namespace tessary::test
