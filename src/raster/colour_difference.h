// Colour differences as people see them: sRGB to CIELAB (D65) and the
// CIEDE2000 difference, plus the statistics and the colour scale the
// compare command and the viewer's error overlay show.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessary {

struct Lab {
    double L = 0, a = 0, b = 0;
};

// An 8-bit sRGB colour in CIELAB under D65 (white 95.047, 100, 108.883).
Lab SrgbToLab(uint8_t red, uint8_t green, uint8_t blue);

// The CIEDE2000 difference with kL = kC = kH = 1.
double Ciede2000(const Lab& first, const Lab& second);

// Collects per-pixel differences and gives their mean, 99th percentile and
// largest value. Values are kept in hundredths in a histogram, so memory
// does not grow with the picture and the percentile is exact to 0.01.
class ErrorStatistics {
public:
    void Add(double difference);
    int64_t Count() const { return count_; }
    double Mean() const { return count_ ? sum_ / double(count_) : 0.0; }
    // The smallest value (to 0.01) that at least `fraction` of the pixels
    // do not exceed.
    double Percentile(double fraction) const;
    double Largest() const { return largest_; }

private:
    static constexpr int kSlots = 20001;  // 0.00 to 200.00
    std::vector<int64_t> slots_ = std::vector<int64_t>(kSlots, 0);
    int64_t count_ = 0;
    double sum_ = 0.0;
    double largest_ = 0.0;
};

// The heatmap's colour for a difference: dark blue at 0, through blue,
// cyan, green and yellow to red at 10, then to white at 20 and above.
std::array<uint8_t, 3> HeatColour(double difference);  // red, green, blue
inline constexpr double kHeatScaleTop = 20.0;
// The values the scale's legend labels ("20+" for the top).
inline constexpr std::array<int, 6> kHeatScaleMarks = {0, 1, 2, 5, 10, 20};

// A sRGB to CIELAB table for the 256 levels of one channel is cheap; the
// whole conversion is not: a cache of the last colours converted.
class LabCache {
public:
    const Lab& Get(uint8_t red, uint8_t green, uint8_t blue);

private:
    static constexpr int kBits = 16;
    struct Slot {
        uint32_t colour = 0xFFFFFFFFu;
        Lab lab;
    };
    std::vector<Slot> slots_ = std::vector<Slot>(std::size_t(1) << kBits);
};

}  // namespace tessary
