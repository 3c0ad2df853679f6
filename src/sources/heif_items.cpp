#include "sources/heif_items.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace tessary {

namespace {

// The item location boxes are small (a few bytes per item); one larger
// than this is left to the library, which refuses it.
constexpr uint64_t kMaxLocationBoxBytes = 16u << 20;
// Boxes looked at before the walk gives up (a file of empty boxes).
constexpr int kMaxBoxes = 10000;

struct Box {
    char type[5] = {};
    uint64_t start = 0;    // of its contents, after the header
    uint64_t end = 0;      // of the box
};

class File {
public:
    explicit File(const std::string& path) : in_(path, std::ios::binary | std::ios::ate) {
        if (in_) size_ = uint64_t(in_.tellg());
    }
    bool Open() const { return bool(in_); }
    uint64_t Size() const { return size_; }
    bool Read(uint64_t offset, void* into, size_t size) {
        if (offset > size_ || size > size_ - offset) return false;
        in_.clear();
        in_.seekg(std::streamoff(offset));
        in_.read(static_cast<char*>(into), std::streamsize(size));
        return in_.gcount() == std::streamsize(size);
    }

    // The boxes from `from` up to `to`; stops at the first header that
    // cannot be read.
    std::vector<Box> Boxes(uint64_t from, uint64_t to, int& budget) {
        std::vector<Box> boxes;
        uint64_t at = from;
        while (at + 8 <= to && budget-- > 0) {
            uint8_t h[16];
            if (!Read(at, h, 8)) break;
            uint64_t size = uint64_t(h[0]) << 24 | uint64_t(h[1]) << 16 | uint64_t(h[2]) << 8 | h[3];
            uint64_t header = 8;
            if (size == 1) {
                if (!Read(at + 8, h + 8, 8)) break;
                size = 0;
                for (int i = 8; i < 16; ++i) size = size << 8 | h[i];
                header = 16;
            } else if (size == 0) {
                size = to - at;  // to the end of the file or the parent box
            }
            if (size < header || size > to - at) break;
            Box box;
            std::memcpy(box.type, h + 4, 4);
            box.start = at + header;
            box.end = at + size;
            boxes.push_back(box);
            at += size;
        }
        return boxes;
    }

private:
    std::ifstream in_;
    uint64_t size_ = 0;
};

// Big-endian fields of an item location box, read in order; reading past
// its end marks it cut short.
class Fields {
public:
    explicit Fields(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint64_t Read(int size) {
        if (size != 2 && size != 4 && size != 8) return 0;  // sizes the library does not read give 0
        if (at_ + size_t(size) > bytes_.size()) {
            cut_ = true;
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < size; ++i) value = value << 8 | bytes_[at_++];
        return value;
    }
    bool Cut() const { return cut_; }

private:
    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
    bool cut_ = false;
};

// The first item stored in the file (construction method 0) with an extent
// of no length, as the library parses the box; 0 when there is none. The
// item's number is given plus one, so that item 0 can be named.
uint64_t EmptyExtentItem(Fields& f) {
    const uint64_t versionAndFlags = f.Read(4);
    const int version = int(versionAndFlags >> 24);
    const uint64_t sizes = f.Read(2);
    const int offsetSize = int(sizes >> 12 & 0xF), lengthSize = int(sizes >> 8 & 0xF);
    const int baseOffsetSize = int(sizes >> 4 & 0xF), indexSize = version > 1 ? int(sizes & 0xF) : 0;
    const uint64_t items = f.Read(version < 2 ? 2 : 4);
    for (uint64_t i = 0; i < items && !f.Cut(); ++i) {
        const uint64_t id = f.Read(version < 2 ? 2 : 4);
        const uint64_t method = version >= 1 ? (f.Read(2) & 0xF) : 0;
        f.Read(2);  // data reference index
        f.Read(baseOffsetSize);
        const uint64_t extents = f.Read(2);
        for (uint64_t e = 0; e < extents && !f.Cut(); ++e) {
            if (indexSize > 0) f.Read(indexSize);
            f.Read(offsetSize);
            const uint64_t length = f.Read(lengthSize);
            if (method == 0 && length == 0 && !f.Cut()) return id + 1;
        }
    }
    return 0;
}

}  // namespace

std::string HeifItemRefusal(const std::string& path) {
    File file(path);
    if (!file.Open()) return {};
    int budget = kMaxBoxes;
    for (const Box& top : file.Boxes(0, file.Size(), budget)) {
        if (std::strcmp(top.type, "meta") != 0) continue;
        // A full box: version and flags before its children.
        for (const Box& box : file.Boxes(top.start + 4, top.end, budget)) {
            if (std::strcmp(box.type, "iloc") != 0 || box.end - box.start > kMaxLocationBoxBytes) continue;
            std::vector<uint8_t> bytes(size_t(box.end - box.start));
            if (!file.Read(box.start, bytes.data(), bytes.size())) continue;
            Fields fields(std::move(bytes));
            if (const uint64_t item = EmptyExtentItem(fields))
                return "the HEIF file's item " + std::to_string(item - 1) +
                       " has a stored extent of no length, which the HEIF library cannot read: it is damaged";
        }
    }
    return {};
}

}  // namespace tessary
