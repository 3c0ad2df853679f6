#include "sources/heif_items.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "common/file.h"

namespace tessary {

namespace {

// The boxes that describe the items are small (a few bytes per item and
// property); one larger than this is left to the library, which refuses it.
constexpr uint64_t kMaxDescriptionBytes = 16u << 20;
// Boxes looked at before the walk gives up (a file of empty boxes).
constexpr int kMaxBoxes = 100000;

struct Box {
    std::string type;
    uint64_t start = 0;  // of its contents, after the header
    uint64_t end = 0;    // of the box
};

// The file's bytes at given offsets; a file that cannot be opened or read
// (not a regular file, an I/O error) reads as nothing.
class File {
public:
    explicit File(const std::string& path) {
        try {
            file_ = CheckedFile::OpenRegular(path, true);
            size_ = file_.Size();
        } catch (const std::exception&) {
            file_ = CheckedFile();
        }
    }
    bool Open() const { return file_.IsOpen(); }
    uint64_t Size() const { return size_; }

    bool Read(uint64_t offset, void* into, size_t size) {
        if (!file_.IsOpen() || offset > size_ || size > size_ - offset) return false;
        try {
            file_.Seek(offset);
            return file_.ReadSome(into, size) == size;
        } catch (const std::exception&) {
            return false;
        }
    }
    std::optional<std::vector<uint8_t>> Contents(const Box& box) {
        if (box.end - box.start > kMaxDescriptionBytes) return std::nullopt;
        std::vector<uint8_t> bytes(size_t(box.end - box.start));
        if (!Read(box.start, bytes.data(), bytes.size())) return std::nullopt;
        return bytes;
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
            boxes.push_back({std::string(reinterpret_cast<const char*>(h + 4), 4), at + header, at + size});
            at += size;
        }
        return boxes;
    }

private:
    CheckedFile file_;
    uint64_t size_ = 0;
};

// Big-endian fields read in order; reading past the end marks them cut
// short and gives 0.
class Fields {
public:
    explicit Fields(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint64_t Read(int size) {
        if (size != 1 && size != 2 && size != 4 && size != 8) return 0;  // sizes the library does not read give 0
        if (at_ + size_t(size) > bytes_.size()) {
            cut_ = true;
            at_ = bytes_.size();
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < size; ++i) value = value << 8 | bytes_[at_++];
        return value;
    }
    std::vector<uint8_t> Bytes(size_t size) {
        if (at_ + size > bytes_.size()) {
            cut_ = true;
            at_ = bytes_.size();
            return {};
        }
        std::vector<uint8_t> out(bytes_.begin() + long(at_), bytes_.begin() + long(at_ + size));
        at_ += size;
        return out;
    }
    bool Cut() const { return cut_; }

private:
    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
    bool cut_ = false;
};

// An HEVC sequence parameter set's bits, emulation prevention bytes taken
// out; reading past the end gives zeros and marks it cut short.
class Bits {
public:
    explicit Bits(const std::vector<uint8_t>& nal) {
        int zeros = 0;
        for (size_t i = 2; i < nal.size(); ++i) {  // past the two-byte NAL header
            if (zeros >= 2 && nal[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = nal[i] == 0 ? zeros + 1 : 0;
            bytes_.push_back(nal[i]);
        }
    }
    uint32_t U(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            uint32_t bit = 0;
            if (at_ < bytes_.size() * 8) {
                bit = bytes_[at_ / 8] >> (7 - at_ % 8) & 1;
            } else {
                cut_ = true;
            }
            ++at_;
            value = value << 1 | bit;
        }
        return value;
    }
    // Exp-Golomb code; more than 31 leading zeros is a damaged stream.
    uint32_t Ue() {
        int zeros = 0;
        while (U(1) == 0 && !cut_)
            if (++zeros > 31) {
                cut_ = true;
                return 0;
            }
        return zeros == 0 ? 0 : uint32_t((uint64_t(1) << zeros) - 1 + U(zeros));
    }
    bool Cut() const { return cut_; }

private:
    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
    bool cut_ = false;
};

using Size = std::pair<uint64_t, uint64_t>;

// The picture size an HEVC sequence parameter set gives: the coded size
// less the conformance window, as the decoder delivers it.
std::optional<Size> SequenceSize(const std::vector<uint8_t>& nal) {
    Bits b(nal);
    b.U(4);  // video parameter set
    const uint32_t subLayers = b.U(3);
    b.U(1);
    // Profile, tier and level: 88 bits of general profile, 8 of level.
    b.U(32), b.U(32), b.U(24), b.U(8);
    std::vector<std::pair<bool, bool>> present(subLayers);
    for (auto& [profile, level] : present) profile = b.U(1) != 0, level = b.U(1) != 0;
    if (subLayers > 0)
        for (uint32_t i = subLayers; i < 8; ++i) b.U(2);
    for (const auto& [profile, level] : present) {
        if (profile) b.U(32), b.U(32), b.U(24);
        if (level) b.U(8);
    }
    b.Ue();  // sequence parameter set id
    const uint32_t chroma = b.Ue();
    if (chroma == 3) b.U(1);  // separate colour planes
    const uint64_t width = b.Ue(), height = b.Ue();
    uint64_t left = 0, right = 0, top = 0, bottom = 0;
    if (b.U(1)) left = b.Ue(), right = b.Ue(), top = b.Ue(), bottom = b.Ue();
    if (b.Cut() || chroma > 3) return std::nullopt;
    const uint64_t unitX = chroma == 1 || chroma == 2 ? 2 : 1, unitY = chroma == 1 ? 2 : 1;
    const uint64_t cropX = (left + right) * unitX, cropY = (top + bottom) * unitY;
    if (cropX >= width || cropY >= height) return std::nullopt;
    return Size{width - cropX, height - cropY};
}

// The size the sequence parameter set of an HEVC configuration (hvcC)
// gives, when it holds one.
std::optional<Size> ConfigurationSize(std::vector<uint8_t> bytes) {
    Fields f(std::move(bytes));
    f.Read(8), f.Read(8), f.Read(4), f.Read(2);  // the 22 bytes before the arrays
    const uint64_t arrays = f.Read(1);
    for (uint64_t a = 0; a < arrays && !f.Cut(); ++a) {
        const uint64_t type = f.Read(1) & 0x3F;
        const uint64_t units = f.Read(2);
        for (uint64_t u = 0; u < units && !f.Cut(); ++u) {
            std::vector<uint8_t> nal = f.Bytes(size_t(f.Read(2)));
            if (type == 33 && !f.Cut()) return SequenceSize(nal);
        }
    }
    return std::nullopt;
}

struct Item {
    std::string type;
    uint64_t method = 0;
    uint64_t base = 0;
    std::vector<std::pair<uint64_t, uint64_t>> extents;  // offset, length
    std::vector<uint64_t> properties;                    // from 1, in the property container
};

// What a file's meta box says of its items.
struct Items {
    uint64_t primary = 0;
    bool hasPrimary = false;
    std::map<uint64_t, Item> items;
    std::vector<Box> properties;
    Box data;  // idat
    bool hasData = false;
    std::string emptyExtent;  // why, when an item stored in the file has one
};

void ReadLocations(Fields f, Items& out) {
    const int version = int(f.Read(4) >> 24);
    const uint64_t sizes = f.Read(2);
    const int offsetSize = int(sizes >> 12 & 0xF), lengthSize = int(sizes >> 8 & 0xF);
    const int baseSize = int(sizes >> 4 & 0xF), indexSize = version > 1 ? int(sizes & 0xF) : 0;
    const uint64_t count = f.Read(version < 2 ? 2 : 4);
    for (uint64_t i = 0; i < count && !f.Cut(); ++i) {
        const uint64_t id = f.Read(version < 2 ? 2 : 4);
        Item& item = out.items[id];
        item.method = version >= 1 ? (f.Read(2) & 0xF) : 0;
        f.Read(2);  // data reference index
        item.base = baseSize == 4 || baseSize == 8 ? f.Read(baseSize) : 0;
        const uint64_t extents = f.Read(2);
        for (uint64_t e = 0; e < extents && !f.Cut(); ++e) {
            if (indexSize == 4 || indexSize == 8) f.Read(indexSize);
            const uint64_t offset = f.Read(offsetSize), length = f.Read(lengthSize);
            if (f.Cut()) break;
            item.extents.emplace_back(offset, length);
            if (item.method == 0 && length == 0 && out.emptyExtent.empty())
                out.emptyExtent = "the HEIF file's item " + std::to_string(id) +
                                  " has a stored extent of no length, which the HEIF library cannot read: it is "
                                  "damaged";
        }
    }
}

void ReadItemTypes(File& file, const Box& box, Items& out, int& budget) {
    uint8_t version = 0;
    if (!file.Read(box.start, &version, 1)) return;
    // Past the version, the flags and the count of entries.
    for (const Box& entry : file.Boxes(box.start + 4 + (version == 0 ? 2 : 4), box.end, budget)) {
        if (entry.type != "infe") continue;
        auto bytes = file.Contents(entry);
        if (!bytes) continue;
        Fields f(std::move(*bytes));
        const int version = int(f.Read(4) >> 24);
        if (version < 2) continue;  // no item type
        const uint64_t id = f.Read(version == 2 ? 2 : 4);
        f.Read(2);  // protection index
        const uint64_t type = f.Read(4);
        if (f.Cut()) continue;
        std::string name(4, ' ');
        for (int i = 0; i < 4; ++i) name[size_t(i)] = char(type >> (24 - 8 * i) & 0xFF);
        out.items[id].type = name;
    }
}

void ReadAssociations(Fields f, Items& out) {
    const uint64_t versionAndFlags = f.Read(4);
    const int version = int(versionAndFlags >> 24);
    const bool wide = (versionAndFlags & 1) != 0;
    const uint64_t count = f.Read(4);
    for (uint64_t i = 0; i < count && !f.Cut(); ++i) {
        const uint64_t id = f.Read(version < 1 ? 2 : 4);
        const uint64_t associations = f.Read(1);
        for (uint64_t a = 0; a < associations && !f.Cut(); ++a) {
            const uint64_t index = wide ? (f.Read(2) & 0x7FFF) : (f.Read(1) & 0x7F);
            if (!f.Cut() && index > 0) out.items[id].properties.push_back(index);
        }
    }
}

Items ReadItems(File& file, const Box& meta, int& budget) {
    Items out;
    for (const Box& box : file.Boxes(meta.start + 4, meta.end, budget)) {  // a full box
        if (box.type == "pitm") {
            auto bytes = file.Contents(box);
            if (!bytes) continue;
            Fields f(std::move(*bytes));
            const int version = int(f.Read(4) >> 24);
            out.primary = f.Read(version == 0 ? 2 : 4);
            out.hasPrimary = !f.Cut();
        } else if (box.type == "iinf") {
            ReadItemTypes(file, box, out, budget);
        } else if (box.type == "iloc") {
            if (auto bytes = file.Contents(box)) ReadLocations(Fields(std::move(*bytes)), out);
        } else if (box.type == "idat") {
            out.data = box;
            out.hasData = true;
        } else if (box.type == "iprp") {
            for (const Box& child : file.Boxes(box.start, box.end, budget)) {
                if (child.type == "ipco") {
                    out.properties = file.Boxes(child.start, child.end, budget);
                } else if (child.type == "ipma") {
                    if (auto bytes = file.Contents(child)) ReadAssociations(Fields(std::move(*bytes)), out);
                }
            }
        }
    }
    return out;
}

// The first bytes (up to 12) of an item's data, from the file or the idat box.
std::vector<uint8_t> ItemStart(File& file, const Items& items, const Item& item) {
    std::vector<uint8_t> out;
    for (const auto& [offset, length] : item.extents) {
        const size_t want = size_t(std::min<uint64_t>(length, 12 - out.size()));
        uint64_t at = 0;
        if (item.method == 0) {
            at = item.base + offset;
        } else if (item.method == 1 && items.hasData) {
            at = items.data.start + item.base + offset;
            if (at > items.data.end || want > items.data.end - at) return {};
        } else {
            return {};
        }
        std::vector<uint8_t> part(want);
        if (at < item.base || !file.Read(at, part.data(), want)) return {};
        out.insert(out.end(), part.begin(), part.end());
        if (out.size() >= 12) break;
    }
    return out;
}

// The size a grid item's data gives to the picture it makes.
std::optional<Size> GridSize(std::vector<uint8_t> bytes) {
    Fields f(std::move(bytes));
    f.Read(1);  // version
    const bool wide = (f.Read(1) & 1) != 0;
    f.Read(1), f.Read(1);  // rows and columns, less one
    const uint64_t width = f.Read(wide ? 4 : 2), height = f.Read(wide ? 4 : 2);
    if (f.Cut()) return std::nullopt;
    return Size{width, height};
}

std::string SizeText(const Size& size) { return std::to_string(size.first) + " x " + std::to_string(size.second); }

// Why an item that states a size (ispe) is refused: its coding gives
// another one (or none that can be read).
std::string SizeRefusal(File& file, const Items& items, uint64_t id, const Item& item) {
    std::optional<Size> stated, coded;
    std::optional<std::vector<uint8_t>> configuration;
    for (uint64_t index : item.properties) {
        if (index > items.properties.size()) continue;
        const Box& property = items.properties[size_t(index - 1)];
        auto bytes = file.Contents(property);
        if (!bytes) continue;
        if (property.type == "ispe" && !stated) {
            Fields f(std::move(*bytes));
            f.Read(4);
            const uint64_t width = f.Read(4), height = f.Read(4);
            if (!f.Cut()) stated = Size{width, height};
        } else if (property.type == "hvcC" && !configuration) {
            configuration = std::move(*bytes);
        }
    }
    if (!stated) return {};  // the library refuses a picture without a size
    const std::string name = "the HEIF file's " + std::string(item.type == "grid" ? "grid" : "HEVC picture") +
                             " (item " + std::to_string(id) + ")";
    if (item.type == "grid") {
        coded = GridSize(ItemStart(file, items, item));
        if (!coded) return name + " cannot be read: it is damaged";
    } else {
        if (!configuration) return {};  // the library refuses a picture without its configuration
        coded = ConfigurationSize(std::move(*configuration));
        if (!coded) return name + " has no sequence parameters that can be read: it is damaged";
    }
    if (*coded == *stated) return {};
    return name + " states " + SizeText(*stated) + " pixels, but its coding gives " + SizeText(*coded) +
           ": it is damaged";
}

}  // namespace

std::string HeifItemRefusal(const std::string& path) {
    File file(path);
    if (!file.Open()) return {};
    int budget = kMaxBoxes;
    for (const Box& top : file.Boxes(0, file.Size(), budget)) {
        if (top.type != "meta") continue;
        Items items = ReadItems(file, top, budget);
        if (!items.emptyExtent.empty()) return items.emptyExtent;
        if (items.hasPrimary) {
            auto primary = items.items.find(items.primary);
            if (primary != items.items.end() && !primary->second.type.empty() && primary->second.type != "hvc1" &&
                primary->second.type != "grid")
                return "the HEIF file's picture is coded as \"" + primary->second.type +
                       "\"; only HEVC pictures and grids of them are read";
        }
        for (const auto& [id, item] : items.items)
            if (item.type == "hvc1" || item.type == "grid")
                if (std::string why = SizeRefusal(file, items, id, item); !why.empty()) return why;
    }
    return {};
}

}  // namespace tessary
