// Helpers shared by the whole-image reader tests: the pixels of an open
// source as red, green, blue bytes, the expected-decode lists written once by
// tests/data/png/make_expected.py, and the optional image corpus.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sources/source_image.h"
#include "support/corpus.h"

namespace tessary::test {

// Every pixel of an open source, row by row, as red, green, blue, read
// through ReadSourceRow and the handle's palette.
inline std::vector<uint8_t> HandleRgb(Timagerecord4& handle) {
    std::vector<uint8_t> rgb;
    rgb.reserve(size_t(handle.Width) * size_t(handle.Height) * 3);
    std::vector<uint8_t> row(size_t(handle.Width) * size_t(handle.BytesPerPixel));
    for (int y = 0; y < handle.Height; ++y) {
        ReadSourceRow(handle, y, row.data());
        for (int x = 0; x < handle.Width; ++x) {
            if (handle.BytesPerPixel == 1) {
                const PaletteEntry& e = handle.Palette[row[size_t(x)]];
                rgb.insert(rgb.end(), {e.red, e.green, e.blue});
            } else {
                const uint8_t* p = row.data() + size_t(x) * 3;
                rgb.insert(rgb.end(), {p[2], p[1], p[0]});
            }
        }
    }
    return rgb;
}

inline std::string Crc32Hex(const std::vector<uint8_t>& bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, bytes.data(), uInt(bytes.size()));
    char text[9];
    std::snprintf(text, sizeof text, "%08lx", crc);
    return text;
}

struct ExpectedDecode {
    std::string file;  // relative to the format's folder
    int width = 0;
    int height = 0;
    std::string check;  // CRC-32 of the RGB bytes, or JPEG block means
};

inline std::vector<ExpectedDecode> ReadExpected(const std::string& listPath) {
    std::vector<ExpectedDecode> list;
    std::ifstream in(listPath);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ExpectedDecode e;
        if (fields >> e.file >> e.width >> e.height >> e.check) list.push_back(e);
    }
    return list;
}

inline std::string TestData(const std::string& relative) {
    return std::string(TESSARY_TEST_DATA) + "/" + relative;
}

inline std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.is_regular_file()) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Opens a source that must load; fails the test (and gives null) otherwise.
inline SourceHandle OpenLoaded(const std::string& path, std::string* whyNot) {
    try {
        SourceOpenResult result = OpenSourceImage(path);
        if (auto* handle = std::get_if<SourceHandle>(&result)) return std::move(*handle);
        *whyNot = "open gave outcome " + std::to_string(int(std::get<SourceFailure>(result).kind));
    } catch (const std::exception& e) {
        *whyNot = std::string("open raised: ") + e.what();
    }
    return nullptr;
}

// How a source that is opened and read through to its last row ends: not
// refused (every row read; damage recorded by a whole-image loader counts as
// refused), refused at open, or refused at a row that cannot be decoded.
struct ReadThrough {
    bool refused = false;
    bool atOpen = false;
    SourceOpenError kind = SourceOpenError::SourceUnusable;
    std::string detail;
};

inline ReadThrough OpenAndReadAll(const std::string& path) {
    ReadThrough r;
    SourceOpenResult result = OpenSourceImage(path);
    if (auto* failure = std::get_if<SourceFailure>(&result)) {
        r = {true, true, failure->kind, failure->detail};
        return r;
    }
    Timagerecord4& handle = *std::get<SourceHandle>(result);
    if (handle.Damage.rows > 0) return {true, true, SourceOpenError::SourceDamaged, handle.Damage.firstDetail};
    try {
        HandleRgb(handle);
    } catch (const SourceError& e) {
        r = {true, false, e.kind(), e.what()};
    }
    return r;
}

// Opens every file of the expected-decode list `list` (relative to
// tests/data) found under `folder` and compares its size and pixels with the
// expected decode; `bytesPerPixel`, when not 0, is the depth every file must
// load at, and `inspectorAgrees` asks for the inspector's size and depth to
// be the loader's. Gives how many files were compared.
inline int CompareWithExpected(const std::string& list, const std::string& folder, int bytesPerPixel,
                               bool inspectorAgrees) {
    int compared = 0;
    for (const ExpectedDecode& e : ReadExpected(TestData(list))) {
        const std::string path = folder + "/" + e.file;
        if (!std::filesystem::exists(path)) continue;
        SCOPED_TRACE(e.file);
        std::string whyNot;
        SourceHandle handle = OpenLoaded(path, &whyNot);
        EXPECT_TRUE(handle) << whyNot;
        if (!handle) continue;
        ++compared;
        if (bytesPerPixel != 0) {
            EXPECT_EQ(handle->BytesPerPixel, bytesPerPixel);
        }
        EXPECT_EQ(handle->Width, e.width);
        EXPECT_EQ(handle->Height, e.height);
        EXPECT_EQ(Crc32Hex(HandleRgb(*handle)), e.check);
        if (inspectorAgrees) {
            SourceImageInfo info = GetSourceImageInfo(path);
            EXPECT_EQ(info.width, handle->Width);
            EXPECT_EQ(info.height, handle->Height);
            EXPECT_EQ(info.bytesPerPixel, handle->BytesPerPixel);
        }
    }
    return compared;
}

}  // namespace tessary::test
