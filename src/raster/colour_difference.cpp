#include "raster/colour_difference.h"

#include <algorithm>
#include <cmath>

namespace tessary {

namespace {

constexpr double kPi = 3.14159265358979323846;

double Radians(double degrees) {
    return degrees * kPi / 180.0;
}
double Degrees(double radians) {
    return radians * 180.0 / kPi;
}

double Linear(uint8_t value) {
    const double v = value / 255.0;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double LabF(double t) {
    constexpr double delta = 6.0 / 29.0;
    return t > delta * delta * delta ? std::cbrt(t) : t / (3.0 * delta * delta) + 4.0 / 29.0;
}

// The hue angle of (a, b) in degrees, 0 to 360; 0 for the neutral axis.
double Hue(double b, double a) {
    if (a == 0.0 && b == 0.0) return 0.0;
    double h = Degrees(std::atan2(b, a));
    return h < 0.0 ? h + 360.0 : h;
}

}  // namespace

Lab SrgbToLab(uint8_t red, uint8_t green, uint8_t blue) {
    const double r = Linear(red), g = Linear(green), b = Linear(blue);
    const double x = 0.4124564 * r + 0.3575761 * g + 0.1804375 * b;
    const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
    const double z = 0.0193339 * r + 0.1191920 * g + 0.9503041 * b;
    const double fx = LabF(x / 0.95047), fy = LabF(y / 1.0), fz = LabF(z / 1.08883);
    return Lab{116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

double Ciede2000(const Lab& first, const Lab& second) {
    const double c1 = std::hypot(first.a, first.b);
    const double c2 = std::hypot(second.a, second.b);
    const double cMean = (c1 + c2) / 2.0;
    const double c7 = std::pow(cMean, 7.0);
    const double g = 0.5 * (1.0 - std::sqrt(c7 / (c7 + std::pow(25.0, 7.0))));
    const double a1 = (1.0 + g) * first.a;
    const double a2 = (1.0 + g) * second.a;
    const double c1p = std::hypot(a1, first.b);
    const double c2p = std::hypot(a2, second.b);
    const double h1p = Hue(first.b, a1);
    const double h2p = Hue(second.b, a2);

    const double dL = second.L - first.L;
    const double dC = c2p - c1p;
    double dh = 0.0;
    if (c1p * c2p != 0.0) {
        dh = h2p - h1p;
        if (dh > 180.0) dh -= 360.0;
        if (dh < -180.0) dh += 360.0;
    }
    const double dH = 2.0 * std::sqrt(c1p * c2p) * std::sin(Radians(dh / 2.0));

    const double lMean = (first.L + second.L) / 2.0;
    const double cpMean = (c1p + c2p) / 2.0;
    double hMean = h1p + h2p;
    if (c1p * c2p != 0.0) {
        if (std::fabs(h1p - h2p) <= 180.0) {
            hMean /= 2.0;
        } else if (h1p + h2p < 360.0) {
            hMean = (hMean + 360.0) / 2.0;
        } else {
            hMean = (hMean - 360.0) / 2.0;
        }
    }
    const double t = 1.0 - 0.17 * std::cos(Radians(hMean - 30.0)) + 0.24 * std::cos(Radians(2.0 * hMean)) +
                     0.32 * std::cos(Radians(3.0 * hMean + 6.0)) - 0.20 * std::cos(Radians(4.0 * hMean - 63.0));
    const double dTheta = 30.0 * std::exp(-((hMean - 275.0) / 25.0) * ((hMean - 275.0) / 25.0));
    const double cp7 = std::pow(cpMean, 7.0);
    const double rC = 2.0 * std::sqrt(cp7 / (cp7 + std::pow(25.0, 7.0)));
    const double l50 = (lMean - 50.0) * (lMean - 50.0);
    const double sL = 1.0 + 0.015 * l50 / std::sqrt(20.0 + l50);
    const double sC = 1.0 + 0.045 * cpMean;
    const double sH = 1.0 + 0.015 * cpMean * t;
    const double rT = -std::sin(Radians(2.0 * dTheta)) * rC;
    const double l = dL / sL, c = dC / sC, h = dH / sH;
    return std::sqrt(l * l + c * c + h * h + rT * c * h);
}

void ErrorStatistics::Add(double difference) {
    const double hundredths = std::nearbyint(difference * 100.0);
    const int slot = int(std::clamp(hundredths, 0.0, double(kSlots - 1)));
    ++slots_[size_t(slot)];
    ++count_;
    sum_ += difference;
    largest_ = std::max(largest_, difference);
}

double ErrorStatistics::Percentile(double fraction) const {
    if (count_ == 0) return 0.0;
    const double wanted = std::ceil(fraction * double(count_));
    int64_t seen = 0;
    for (int slot = 0; slot < kSlots; ++slot) {
        seen += slots_[size_t(slot)];
        if (double(seen) >= wanted) return slot / 100.0;
    }
    return (kSlots - 1) / 100.0;
}

std::array<uint8_t, 3> HeatColour(double difference) {
    // Stops of the scale: difference, red, green, blue.
    static constexpr double kStops[][4] = {
        {0.0, 10, 10, 60},    {1.0, 30, 60, 200}, {2.5, 0, 170, 220}, {4.0, 40, 190, 60},
        {6.0, 230, 220, 40}, {10.0, 220, 30, 20}, {20.0, 255, 255, 255},
    };
    constexpr int kCount = int(sizeof(kStops) / sizeof(kStops[0]));
    const double d = std::clamp(difference, 0.0, kHeatScaleTop);
    for (int i = 1; i < kCount; ++i) {
        if (d <= kStops[i][0]) {
            const double t = (d - kStops[i - 1][0]) / (kStops[i][0] - kStops[i - 1][0]);
            std::array<uint8_t, 3> out{};
            for (int c = 0; c < 3; ++c)
                out[size_t(c)] =
                    uint8_t(std::lround(kStops[i - 1][c + 1] + t * (kStops[i][c + 1] - kStops[i - 1][c + 1])));
            return out;
        }
    }
    return {255, 255, 255};
}

const Lab& LabCache::Get(uint8_t red, uint8_t green, uint8_t blue) {
    const uint32_t colour = (uint32_t(red) << 16) | (uint32_t(green) << 8) | blue;
    Slot& slot = slots_[(colour * 2654435761u) >> (32 - kBits)];
    if (slot.colour != colour) {
        slot.colour = colour;
        slot.lab = SrgbToLab(red, green, blue);
    }
    return slot.lab;
}

}  // namespace tessary
