// tessary-cli compare: how far each level of an RPX2 file is from its
// source, in CIEDE2000, and where level 0's error lies (a heatmap PNG).
#include <png.h>
#ifdef _WIN32
#include "common/posix_win.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "common/file.h"
#include "common/picture.h"
#include "common/text.h"
#include "engine/level_error.h"
#include "raster/colour_difference.h"
#include "rpx/rpx2_tiles.h"
#include "rpx/rpx_reader.h"
#include "sources/source_image.h"
#include "sources/source_notes.h"

namespace tessary::cli {

namespace {

// A picture held as blue, green, red rows without padding.
struct BgrImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    const uint8_t* Row(int y) const { return pixels.data() + size_t(y) * size_t(width) * 3; }
};

BgrImage ReadSource(Timagerecord4& source) {
    BgrImage image{source.Width, source.Height, {}};
    image.pixels.resize(size_t(source.Width) * size_t(source.Height) * 3);
    std::vector<uint8_t> scratch;
    for (int y = 0; y < source.Height; ++y)
        ReadSourceRowBgr(source, y, image.pixels.data() + size_t(y) * size_t(source.Width) * 3, scratch);
    return image;
}

// Digits and "+" in a 3 x 5 font for the legend: five rows of three bits,
// the leftmost pixel the highest bit.
const std::array<std::array<uint8_t, 5>, 11> kGlyphs = {{
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7},
    {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}, {0, 2, 7, 2, 0},
}};

void DrawText(std::vector<uint8_t>& rgb, int width, int height, int left, int top, const std::string& text,
              int scale) {
    int x0 = left;
    for (char ch : text) {
        const int glyph = ch == '+' ? 10 : ch - '0';
        if (glyph < 0 || glyph > 10) continue;
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 3; ++c) {
                if (!((kGlyphs[size_t(glyph)][size_t(r)] >> (2 - c)) & 1)) continue;
                for (int dy = 0; dy < scale; ++dy)
                    for (int dx = 0; dx < scale; ++dx) {
                        const int x = x0 + c * scale + dx, y = top + r * scale + dy;
                        if (x < 0 || x >= width || y < 0 || y >= height) continue;
                        uint8_t* p = rgb.data() + (size_t(y) * size_t(width) + size_t(x)) * 3;
                        p[0] = p[1] = p[2] = 0;
                    }
            }
        x0 += 4 * scale;
    }
}

// The heatmap: the picture's differences on the colour scale, and below it
// the scale itself from 0 to 20 with its marks labelled.
std::vector<uint8_t> HeatmapPixels(const std::vector<float>& heat, int width, int height, int& totalHeight) {
    const int scale = std::clamp(width / 300, 1, 4);
    const int band = 16 * scale;
    totalHeight = height + band;
    std::vector<uint8_t> rgb(size_t(width) * size_t(totalHeight) * 3, 255);
    for (size_t i = 0; i < heat.size(); ++i) {
        const auto c = HeatColour(heat[i]);
        std::copy(c.begin(), c.end(), rgb.begin() + std::ptrdiff_t(3 * i));
    }
    const int barTop = height + 2 * scale;
    const int barHeight = 6 * scale;
    const int barLeft = 4 * scale, barRight = std::max(barLeft + 1, width - 12 * scale);
    for (int x = barLeft; x < barRight; ++x) {
        const double d = kHeatScaleTop * double(x - barLeft) / double(barRight - 1 - barLeft > 0 ? barRight - 1 - barLeft : 1);
        const auto c = HeatColour(d);
        for (int y = barTop; y < barTop + barHeight; ++y)
            std::copy(c.begin(), c.end(), rgb.begin() + std::ptrdiff_t((size_t(y) * size_t(width) + size_t(x)) * 3));
    }
    for (int mark : kHeatScaleMarks) {
        const int x = barLeft + int(double(mark) / kHeatScaleTop * double(barRight - 1 - barLeft));
        const std::string label = mark == 20 ? "20+" : std::to_string(mark);
        DrawText(rgb, width, totalHeight, x - (mark >= 10 ? 2 * scale : 0), barTop + barHeight + scale, label,
                 scale);
    }
    return rgb;
}

bool WriteRgbPng(const std::string& path, const std::vector<uint8_t>& rgb, int width, int height,
                 std::string& error) {
    // Written whole under a new name beside the target, then renamed over it.
    const std::string partial = path + ".partial-" + std::to_string(::getpid());
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = std::string("cannot create the file: ") + std::strerror(errno);
        return false;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        ::close(fd);
        ::unlink(partial.c_str());
        error = std::string("cannot create the file: ") + std::strerror(errno);
        return false;
    }
    bool ok = false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (png && info && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < height; ++y)
            png_write_row(png, const_cast<png_bytep>(rgb.data() + size_t(y) * size_t(width) * 3));
        png_write_end(png, info);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    if (!ok) error = "the PNG could not be written";
    if (std::fflush(file) != 0 && ok) {
        error = std::string("cannot write the file: ") + std::strerror(errno);
        ok = false;
    }
    std::fclose(file);
    if (ok) {
        try {
            CommitFile(partial, path);
        } catch (const std::exception& e) {
            error = e.what();
            ok = false;
        }
    }
    if (!ok) ::unlink(partial.c_str());
    return ok;
}

}  // namespace

int RunCompareCommand(const CompareOptions& options) {
    if (!options.heatmap.empty() && LowerAscii(ExtensionOf(options.heatmap)) != ".png") {
        std::fprintf(stderr, "tessary-cli: compare: \"%s\" does not end in .png\n", options.heatmap.c_str());
        return 2;
    }
    SourceOpenResult opened;
    SourceNotes notes;
    // The reader's notes for the user (a missing decoding library) come
    // first, one a line, as they were made.
    auto showNotes = [&] {
        for (const std::string& text : notes.Take()) std::fprintf(stderr, "%s\n", text.c_str());
    };
    try {
        opened = OpenSourceImage(options.source);
        showNotes();
    } catch (const std::exception& e) {
        showNotes();
        std::fprintf(stderr, "tessary-cli: compare: \"%s\" cannot be read: %s\n", options.source.c_str(),
                     e.what());
        return 2;
    }
    if (!std::holds_alternative<SourceHandle>(opened) || !std::get<SourceHandle>(opened)) {
        std::fprintf(stderr, "tessary-cli: compare: \"%s\" is not an image tessary reads\n",
                     options.source.c_str());
        return 2;
    }
    SourceHandle source = std::move(std::get<SourceHandle>(opened));
    BgrImage original;
    Rpx2Summary summary;
    try {
        original = ReadSource(*source);
        CloseSourceImage(source);
        summary = ReadRpx2Summary(options.output);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessary-cli: compare: %s\n", e.what());
        return 2;
    }
    std::printf("%-5s  %-13s  %7s  %7s  %7s  %7s\n", "level", "size", "mean", "p99", "max", "colours");
    std::vector<float> heat;
    int heatWidth = 0, heatHeight = 0;
    for (size_t k = 0; k < summary.levels.size(); ++k) {
        const Rpx2LevelSummary& info = summary.levels[k];
        std::optional<Picture> level;
        try {
            level = RpxToPicture(options.output, 1, int(k));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tessary-cli: compare: level %zu of \"%s\": %s\n", k, options.output.c_str(),
                         e.what());
            return 2;
        }
        if (!level || level->Empty() || level->BitsPerPixel() != 8) {
            std::fprintf(stderr, "tessary-cli: compare: level %zu of \"%s\" could not be decoded\n", k,
                         options.output.c_str());
            return 2;
        }
        const bool wantHeat = k == 0 && !options.heatmap.empty();
        if (wantHeat) {
            heatWidth = level->Width();
            heatHeight = level->Height();
            heat.assign(size_t(heatWidth) * size_t(heatHeight), 0.0f);
        }
        const LevelError r = MeasureLevelError(
            original.width, original.height,
            [&](int y, uint8_t* bgr) { std::copy_n(original.Row(y), size_t(original.width) * 3, bgr); },
            {level->Width(), level->Height(), level->Colours(), [&](int y) { return level->Row(y); }},
            wantHeat ? ErrorRowSink([&](int y, const float* differences) {
                std::copy_n(differences, size_t(heatWidth), heat.begin() + std::ptrdiff_t(y) * heatWidth);
            })
                     : ErrorRowSink());
        const std::string size = std::to_string(info.width) + " x " + std::to_string(info.height);
        std::printf("%-5zu  %-13s  %7.2f  %7.2f  %7.2f  %7d\n", k, size.c_str(), r.statistics.Mean(),
                    r.statistics.Percentile(0.99), r.statistics.Largest(), r.colours);
    }
    if (!options.heatmap.empty() && heatWidth > 0) {
        int total = 0;
        const std::vector<uint8_t> rgb = HeatmapPixels(heat, heatWidth, heatHeight, total);
        std::string error;
        if (!WriteRgbPng(options.heatmap, rgb, heatWidth, total, error)) {
            std::fprintf(stderr, "tessary-cli: compare: \"%s\": %s\n", options.heatmap.c_str(), error.c_str());
            return 2;
        }
        std::printf("heatmap of level 0 written to %s\n", options.heatmap.c_str());
    }
    return 0;
}

}  // namespace tessary::cli
