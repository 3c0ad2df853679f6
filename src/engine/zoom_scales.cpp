#include "engine/zoom_scales.h"

#include <charconv>
#include <stdexcept>
#include <vector>

#include "common/file.h"

namespace tessary {

namespace {

struct ScaleWindow {
    double low;
    double high;
    bool highInclusive;
    float scale;
    int minimumSize;  // W and H must both be greater
};

// In the order they are tried.
constexpr ScaleWindow kWindows[] = {
    {74.5, 75.5, false, 75.0f, 66},  {49.5, 50.5, false, 50.0f, 100}, {32.5, 34.0, false, 33.333332f, 150},
    {24.5, 25.5, false, 25.0f, 200}, {19.5, 20.5, false, 20.0f, 250}, {9.5, 10.5, false, 10.0f, 500},
    {4.5, 5.5, false, 5.0f, 1000},   {2.0, 2.5, true, 2.5f, 2000},    {0.5, 1.5, false, 1.0f, 5000},
};

bool IsTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0';
}

// A plain decimal number: an optional sign, digits with at most one point,
// at least one digit. Nothing else (no exponent, no inner spaces).
std::optional<double> ParsePlainDecimal(std::string_view text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    int digits = 0, points = 0;
    for (size_t j = i; j < text.size(); ++j) {
        char c = text[j];
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.') {
            if (++points > 1) return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0) return std::nullopt;
    // from_chars takes no "+" and is independent of the locale.
    std::string_view number = text.substr(text[0] == '+' ? 1 : 0);
    double value = 0;
    auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec != std::errc() || result.ptr != number.data() + number.size()) return std::nullopt;
    return value;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            start = i + 1;
        }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

}  // namespace

std::string ScaleFilePath(const std::string& folder) {
    if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) return folder + "UseScales.dat";
    return folder + "/UseScales.dat";
}

std::optional<float> ScaleFromLine(std::string_view line, int width, int height) {
    if (!line.empty() && line[0] == ';') return std::nullopt;
    while (!line.empty() && IsTrimmed(line.front())) line.remove_prefix(1);
    while (!line.empty() && IsTrimmed(line.back())) line.remove_suffix(1);
    if (line.empty()) return std::nullopt;
    std::string text(line);
    for (char& c : text) {
        if (c == ',') c = '.';
    }
    std::optional<double> v = ParsePlainDecimal(text);
    if (!v) return std::nullopt;
    for (const ScaleWindow& w : kWindows) {
        bool inside = *v > w.low && (w.highInclusive ? *v <= w.high : *v < w.high);
        if (!inside) continue;
        if (width > w.minimumSize && height > w.minimumSize) return w.scale;
        return std::nullopt;  // the window that holds v needs a larger image
    }
    return std::nullopt;
}

ScaleList BuildScaleListFromText(int width, int height, int w130, int w300,
                                 const std::optional<std::string>& scaleFileText) {
    if (width <= 0) throw std::invalid_argument("scale list of a raster without width");
    ScaleList s;
    s.fill(kFreeScaleSlot);
    s[0] = 100.0f;
    int k = 0;
    // Slots 1..98 for reduced levels; the last two are for the previews.
    constexpr int kLastReducedSlot = 98;
    auto append = [&](float scale) {
        if (k < kLastReducedSlot) s[size_t(++k)] = scale;
    };
    if (scaleFileText) {
        for (std::string_view line : SplitLines(*scaleFileText)) {
            if (std::optional<float> scale = ScaleFromLine(line, width, height)) append(*scale);
        }
    } else {
        if (width > 200 && height > 200) append(25.0f);
        if (width > 500 && height > 500) append(10.0f);
        if (width > 1000 && height > 1000) append(5.0f);
        if (width > 2000 && height > 2000) append(2.5f);
        if (width > 5000 && height > 5000) append(1.0f);
    }
    s[size_t(++k)] = float(double(w130) / double(width) * 100.0);
    s[size_t(++k)] = float(double(w300) / double(width) * 100.0);
    return s;
}

ScaleList BuildScaleList(int width, int height, int w130, int w300, const std::string& scaleFile) {
    std::optional<std::string> text;
    if (!scaleFile.empty() && FileExists(scaleFile)) text = ReadWholeFile(scaleFile);
    return BuildScaleListFromText(width, height, w130, w300, text);
}

int UsedScaleSlots(const ScaleList& scales) {
    int n = 0;
    while (n < int(scales.size()) && scales[size_t(n)] != kFreeScaleSlot) ++n;
    return n;
}

double ZoomLevelPercentage(const ScaleList& scales, int level) {
    if (level < 1 || level >= int(scales.size())) throw std::out_of_range("no such zoom level");
    double first = double(scales[1]);
    double own = double(scales[size_t(level)]);
    if (level >= 2 && own < 19.9) return own / first * 100.0;
    return own;
}

}  // namespace tessary
