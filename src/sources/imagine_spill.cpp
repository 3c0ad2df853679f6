#include "sources/imagine_spill.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <set>
#include <vector>

namespace tessary {

namespace {

class Reader {
public:
    explicit Reader(const std::string& path) : in_(path, std::ios::binary) {}
    bool Open() const { return in_.is_open(); }
    bool Read(uint64_t offset, void* into, size_t size) {
        in_.clear();
        in_.seekg(std::streamoff(offset));
        in_.read(static_cast<char*>(into), std::streamsize(size));
        return in_.gcount() == std::streamsize(size);
    }
    bool U32(uint64_t offset, uint32_t& value) {
        uint8_t b[4];
        if (!Read(offset, b, 4)) return false;
        value = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        return true;
    }

private:
    std::ifstream in_;
};

// The entry tree is walked through at most this many entries; real files
// hold a few hundred.
constexpr size_t kMaxEntries = 100000;
// Spill file names are short file names.
constexpr uint32_t kMaxNameBytes = 4096;

}  // namespace

std::string ImagineSpillRefusal(const std::string& path) {
    Reader file(path);
    if (!file.Open()) return {};  // the open that follows gives the reason
    char tag[16];
    uint32_t header = 0, root = 0;
    // "EHFA_HEADER_TAG", then the file header: version, free list, root entry.
    if (!file.Read(0, tag, sizeof tag) || std::memcmp(tag, "EHFA_HEADER_TAG", 15) != 0 ||
        !file.U32(16, header) || !file.U32(uint64_t(header) + 8, root))
        return {};  // not an Imagine file: GDAL's driver refuses it as well
    // Depth first over child and next links; an entry seen twice ends the
    // walk (a loop in a damaged file).
    std::set<uint32_t> seen;
    std::vector<uint32_t> pending{root};
    while (!pending.empty()) {
        const uint32_t entry = pending.back();
        pending.pop_back();
        if (entry == 0 || !seen.insert(entry).second) continue;
        if (seen.size() > kMaxEntries) return "the Imagine file's entry tree is too large to check";
        // Entry: next, prev, parent, child, data, data size, name[64], type[32].
        uint32_t next = 0, child = 0, data = 0, dataSize = 0;
        char type[33] = {};
        if (!file.U32(entry, next) || !file.U32(uint64_t(entry) + 12, child) || !file.U32(uint64_t(entry) + 16, data) ||
            !file.U32(uint64_t(entry) + 20, dataSize) || !file.Read(uint64_t(entry) + 88, type, 32))
            continue;  // an entry cut short: GDAL cannot use it either
        pending.push_back(next);
        pending.push_back(child);
        if (std::strcmp(type, "ImgExternalRaster") != 0) continue;
        // Its first field, the spill file's name: count, pointer, characters.
        uint32_t count = 0;
        if (!file.U32(data, count) || count > kMaxNameBytes || count > dataSize)
            return "the Imagine file names a spill file that cannot be read";
        std::string name(count, '\0');
        if (count > 0 && !file.Read(uint64_t(data) + 8, name.data(), count))
            return "the Imagine file names a spill file that cannot be read";
        name.resize(std::strlen(name.c_str()));
        if (name.find_first_of("/\\:") != std::string::npos || name == "." || name == "..")
            return "the Imagine file's spill file \"" + name +
                   "\" lies outside the file's own folder: a spill file is read only beside the file";
    }
    return {};
}

}  // namespace tessary
