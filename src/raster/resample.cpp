#include "raster/resample.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "common/run_context.h"

namespace tessary {

// Every filter takes and gives a float; the expressions are evaluated in
// double and rounded to float where a value is kept (a square, the
// polynomial, the result).

float BoxFilter(float x) {
    return (x > -0.5f && x <= 0.5f) ? 1.0f : 0.0f;
}

float TriangleFilter(float x) {
    double t = std::fabs(double(x));
    return t < 1.0 ? float(1.0 - t) : 0.0f;
}

float HermiteFilter(float x) {
    double t = std::fabs(double(x));
    if (t >= 1.0) return 0.0f;
    float tt = float(t * t);
    return float((2.0 * t - 3.0) * double(tt) + 1.0);
}

float BellFilter(float x) {
    double t = std::fabs(double(x));
    if (t < 0.5) return float(0.75 - double(float(t * t)));
    if (t < 1.5) {
        float u = float(t - 1.5);
        return float(0.5 * double(float(double(u) * double(u))));
    }
    return 0.0f;
}

float BSplineFilter(float x) {
    double t = std::fabs(double(x));
    if (t < 1.0) {
        float tt = float(t * t);
        return float(0.5 * double(tt) * t - double(tt) + 2.0 / 3.0);
    }
    if (t < 2.0) {
        float u = float(2.0 - t);
        return float(double(u) * double(u) * double(u) / 6.0);
    }
    return 0.0f;
}

namespace {
double Sinc(double u) {
    if (u == 0.0) return 1.0;
    double a = u * std::numbers::pi;
    return std::sin(a) / a;
}
}  // namespace

float Lanczos3Filter(float x) {
    double t = std::fabs(double(x));
    if (t < 3.0) return float(Sinc(t) * Sinc(t / 3.0));
    return 0.0f;
}

float MitchellFilter(float x) {
    double t = std::fabs(double(x));
    double tt = double(float(t * t));
    if (t < 1.0) {
        float p = float(7.0 * t * tt - 12.0 * tt + 16.0 / 3.0);
        return float(double(p) / 6.0);
    }
    if (t < 2.0) {
        float p = float(-(7.0 / 3.0) * t * tt + 12.0 * tt - 20.0 * t + 32.0 / 3.0);
        return float(double(p) / 6.0);
    }
    return 0.0f;
}

namespace {
const ResampleFilter kFilters[kFilterCount] = {
    {"Box", 0.5f, BoxFilter},           {"Triangle", 1.0f, TriangleFilter},
    {"Hermite", 1.0f, HermiteFilter},   {"Bell", 1.5f, BellFilter},
    {"B-Spline", 2.0f, BSplineFilter},  {"Lanczos3", 3.0f, Lanczos3Filter},
    {"Mitchell", 2.0f, MitchellFilter},
};

// Reflects a tap into 0..size-1: the first pixel is not repeated at the
// start, the last is repeated once at the end; a tap still outside after
// one reflection (targets of two pixels, sources of one) is reflected
// again until it is inside.
int32_t MirrorTap(int64_t j, int64_t size) {
    while (j < 0 || j >= size) {
        if (j < 0) {
            j = -j;
        } else {
            j = 2 * size - j - 1;
        }
    }
    return int32_t(j);
}
}  // namespace

const ResampleFilter& FilterByIndex(int index) {
    if (index < 0 || index >= kFilterCount) throw std::out_of_range("no filter of that index");
    return kFilters[index];
}

float ContributorScale(int sourceSize, int targetSize) {
    // (D - 1) / (S - 1) maps the first and last pixels onto each other; with
    // a size of 1 there is no span to map, and D / S is the ratio of sizes.
    if (sourceSize <= 1 || targetSize <= 1) return float(double(targetSize) / double(sourceSize));
    return float(double(targetSize - 1) / double(sourceSize - 1));
}

ContributorTable::ContributorTable(int sourceSize, int targetSize, int filterIndex, const RunContext* context) {
    if (sourceSize < 1 || targetSize < 1) throw std::invalid_argument("resampling needs at least one pixel");
    const ResampleFilter& filter = FilterByIndex(filterIndex);
    scale_ = ContributorScale(sourceSize, targetSize);
    float fscale;
    if (scale_ <= 1.0f) {
        width_ = float(double(filter.support) / double(scale_));
        fscale = float(1.0 / double(scale_));
    } else {
        width_ = filter.support;
        fscale = 1.0f;
    }
    capacity_ = int(2.0 * double(width_) + 1.0);
    start_.reserve(size_t(targetSize) + 1);
    items_.reserve(size_t(targetSize) * size_t(capacity_));
    for (int i = 0; i < targetSize; ++i) {
        if (context) context->Pump();
        float center = float(double(i) / double(scale_));
        int64_t left = int64_t(std::floor(double(center) - double(width_)));
        int64_t right = int64_t(std::ceil(double(center) + double(width_)));
        for (int64_t j = left; j <= right; ++j) {
            float x = float((double(center) - double(j)) / double(fscale));
            float weight = float(double(filter.function(x)) / double(fscale));
            if (weight == 0.0f) continue;
            items_.push_back({MirrorTap(j, sourceSize), weight});
        }
        start_.push_back(uint32_t(items_.size()));
    }
}

namespace {

// Blue, green, red and an unused lane, each a double holding a float.
typedef double Lanes __attribute__((vector_size(32)));
typedef float FloatLanes __attribute__((vector_size(16)));

// AddWeighted on the three channels at once: each lane is evaluated in
// double and rounded to float as the scalar form does, so the sums are the
// same bits. (Vectors go by reference: 32-byte vectors by value would change
// the calling convention between the AVX2 clone and the baseline.)
[[gnu::always_inline]] inline void AddWeightedLanes(Lanes& sum, double weight, const Lanes& value) {
    const Lanes exact = sum + weight * value;
    sum = __builtin_convertvector(__builtin_convertvector(exact, FloatLanes), Lanes);
}

// The blue, green, red of source pixel `pixel` as lanes.
[[gnu::always_inline]] inline void LoadPixel(const uint8_t* source, const Lanes* palette, int32_t pixel,
                                             Lanes& value) {
    if (palette) {
        value = palette[source[pixel]];
    } else {
        const uint8_t* p = source + 3 * size_t(pixel);
        value = Lanes{double(p[0]), double(p[1]), double(p[2]), 0.0};
    }
}

[[gnu::always_inline]] inline void StorePixel(const Lanes& sum, uint8_t* target) {
    target[0] = SumToByte(float(sum[0]));
    target[1] = SumToByte(float(sum[1]));
    target[2] = SumToByte(float(sum[2]));
}

// Adds contributors `from` onwards of one pixel to `sum` and stores it.
[[gnu::always_inline]] inline void FinishPixel(std::span<const Contributor> list, size_t from, Lanes& sum,
                                               const uint8_t* source, const Lanes* palette, uint8_t* target) {
    Lanes value = {0.0, 0.0, 0.0, 0.0};
    for (size_t k = from; k < list.size(); ++k) {
        LoadPixel(source, palette, list[k].pixel, value);
        AddWeightedLanes(sum, double(list[k].weight), value);
    }
    StorePixel(sum, target);
}

// The horizontal pass, four target pixels at a time: each pixel's sum is a
// chain of rounded additions that cannot be reordered, so four independent
// chains keep the processor busy where one would wait on each rounding. Every
// pixel still adds its own contributors in list order.
[[gnu::always_inline]] inline void ResampleSpan(const uint8_t* source, const Lanes* palette, uint8_t* target,
                                                const ContributorTable& columns) {
    const int width = columns.TargetSize();
    int x = 0;
    Lanes v0 = {0.0, 0.0, 0.0, 0.0}, v1 = v0, v2 = v0, v3 = v0;
    for (; x + 4 <= width; x += 4) {
        const std::span<const Contributor> l0 = columns.List(x), l1 = columns.List(x + 1),
                                           l2 = columns.List(x + 2), l3 = columns.List(x + 3);
        const size_t n = std::min(std::min(l0.size(), l1.size()), std::min(l2.size(), l3.size()));
        Lanes s0 = {0.0, 0.0, 0.0, 0.0}, s1 = s0, s2 = s0, s3 = s0;
        for (size_t k = 0; k < n; ++k) {
            LoadPixel(source, palette, l0[k].pixel, v0);
            LoadPixel(source, palette, l1[k].pixel, v1);
            LoadPixel(source, palette, l2[k].pixel, v2);
            LoadPixel(source, palette, l3[k].pixel, v3);
            AddWeightedLanes(s0, double(l0[k].weight), v0);
            AddWeightedLanes(s1, double(l1[k].weight), v1);
            AddWeightedLanes(s2, double(l2[k].weight), v2);
            AddWeightedLanes(s3, double(l3[k].weight), v3);
        }
        FinishPixel(l0, n, s0, source, palette, target + 3 * size_t(x));
        FinishPixel(l1, n, s1, source, palette, target + 3 * size_t(x) + 3);
        FinishPixel(l2, n, s2, source, palette, target + 3 * size_t(x) + 6);
        FinishPixel(l3, n, s3, source, palette, target + 3 * size_t(x) + 9);
    }
    for (; x < width; ++x) {
        Lanes sum = {0.0, 0.0, 0.0, 0.0};
        FinishPixel(columns.List(x), 0, sum, source, palette, target + 3 * size_t(x));
    }
}

}  // namespace

// Built for the baseline processor and, where the compiler can, once more
// for AVX2, which holds the four lanes in one register; the loader picks the
// one the processor runs. The arithmetic, and so every byte, is the same.
// Not under ThreadSanitizer: the loader runs the clones' resolver before the
// sanitizer's runtime is set up, and its instrumented code crashes there.
// Windows executables have no indirect functions: the baseline build there.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
__attribute__((target_clones("avx2", "default")))
#endif
void ResampleRow(int bytesPerPixel, const uint8_t* source, uint8_t* target, const Palette& palette,
                 const ContributorTable& columns) {
    if (bytesPerPixel == 3) {
        ResampleSpan(source, nullptr, target, columns);
        return;
    }
    Lanes values[256];
    for (int i = 0; i < 256; ++i)
        values[i] = Lanes{double(palette[size_t(i)].blue), double(palette[size_t(i)].green),
                          double(palette[size_t(i)].red), 0.0};
    ResampleSpan(source, values, target, columns);
}

void CombineRows(std::span<const Contributor> list, const uint8_t* const* rows, int width, uint8_t* target) {
    // Contributor by contributor over the whole row: each byte's sum still
    // adds its terms in list order, so the result is that of the per-pixel
    // loop.
    const size_t n = size_t(width) * 3;
    std::vector<float> sums(n, 0.0f);
    for (size_t k = 0; k < list.size(); ++k) {
        const float w = list[k].weight;
        const uint8_t* row = rows[k];
        for (size_t i = 0; i < n; ++i) sums[i] = AddWeighted(sums[i], w, row[i]);
    }
    for (size_t i = 0; i < n; ++i) target[i] = SumToByte(sums[i]);
}

}  // namespace tessary
