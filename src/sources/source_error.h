// How a reader refuses a file or fails on part of it. Every reader uses this
// one contract: an open that cannot go on throws SourceError with the kind
// the driver maps to its log line and a detail a person can act on
// ("IDAT: CRC error", "strip 7 of 38: inflate failed"); a row that cannot be
// decoded throws SourceError of kind SourceDamaged from ReadRow.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessary {

enum class SourceOpenError {
    SourceFileNotFound,
    SourceNotLoadable,  // a whole-image format that could not be loaded
    SourceUnusable,     // not a file this reader (or any) can use
    SourceDamaged,      // readable, but rows of it cannot be decoded
};

// Why there is no handle, or why an image failed part way.
struct SourceFailure {
    SourceOpenError kind = SourceOpenError::SourceUnusable;
    std::string detail;  // library's or our own text; may be empty

    bool operator==(SourceOpenError other) const { return kind == other; }
};

// Thrown by readers. what() is the detail.
class SourceError : public std::runtime_error {
public:
    SourceError(SourceOpenError kind, const std::string& detail)
        : std::runtime_error(detail), failure_{kind, detail} {}
    const SourceFailure& failure() const { return failure_; }
    SourceOpenError kind() const { return failure_.kind; }

private:
    SourceFailure failure_;
};

[[noreturn]] inline void ThrowDamaged(const std::string& detail) {
    throw SourceError(SourceOpenError::SourceDamaged, detail);
}

// The rows of an open image that could not be decoded. By default the first
// damaged row fails the image; with keepGoing the row is counted and the
// conversion goes on with whatever the reader left in the row (the command
// line's --keep-damaged). Rows are counted once however often they are read.
struct SourceDamage {
    bool keepGoing = false;
    int64_t rows = 0;
    std::string firstDetail;

    void Record(int row, const std::string& detail) {
        if (row < 0) return;
        if (size_t(row) >= seen_.size()) seen_.resize(size_t(row) + 1, false);
        if (seen_[size_t(row)]) return;
        seen_[size_t(row)] = true;
        if (rows++ == 0) firstDetail = detail;
    }
    // A whole-image loader reports its damaged rows as a count.
    void RecordCount(int64_t count, const std::string& detail) {
        if (count <= 0) return;
        if (rows == 0) firstDetail = detail;
        rows += count;
    }

private:
    std::vector<bool> seen_;
};

}  // namespace tessary
