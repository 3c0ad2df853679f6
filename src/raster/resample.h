// Separable resampling with windowed reconstruction filters. For every target
// column and every target row a contributor list names the source pixels (or
// rows) that contribute and their weights; the horizontal pass turns one
// source row into one 24-bit row of the target width, the vertical pass
// combines such rows into target rows.
//
// The arithmetic is single precision with fixed rounding points so that the
// results are the same bytes on every machine: each expression is evaluated
// in double and rounded to float where a value is stored. Weights are not
// normalised; sums are clamped to 0..255 and rounded half to even.
#pragma once

#include <cfloat>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/picture.h"

namespace tessary {

struct RunContext;

enum FilterIndex : int {
    kBoxFilter = 0,
    kTriangleFilter = 1,
    kHermiteFilter = 2,
    kBellFilter = 3,
    kBSplineFilter = 4,
    kLanczos3Filter = 5,
    kMitchellFilter = 6,
};

struct ResampleFilter {
    std::string_view name;
    float support;
    float (*function)(float x);
};

inline constexpr int kFilterCount = 7;
// The filter table, indices 0 ("Box") to 6 ("Mitchell"). Raises
// std::out_of_range for any other index.
const ResampleFilter& FilterByIndex(int index);

float BoxFilter(float x);
float TriangleFilter(float x);
float HermiteFilter(float x);
float BellFilter(float x);
float BSplineFilter(float x);
float Lanczos3Filter(float x);
float MitchellFilter(float x);

struct Contributor {
    int32_t pixel;  // source index, always inside 0..S-1
    float weight;   // never 0
};

// The scale of a direction of S source and D target pixels:
// float((D - 1) / (S - 1)), or float(D / S) when either size is 1.
float ContributorScale(int sourceSize, int targetSize);

// One contributor list per target index, stored back to back.
class ContributorTable {
public:
    ContributorTable() = default;
    // Builds the lists for S source and D target pixels (both at least 1)
    // with the filter of the given index. Pumps `context` (when given) once
    // per target index. Shrinking (scale <= 1) scales the filter out to the
    // source spacing; enlarging samples it at the source spacing.
    ContributorTable(int sourceSize, int targetSize, int filterIndex, const RunContext* context = nullptr);

    int TargetSize() const { return int(start_.size()) - 1; }
    std::span<const Contributor> List(int target) const {
        return {items_.data() + start_[size_t(target)], items_.data() + start_[size_t(target) + 1]};
    }
    // The room the list of one target index is given: trunc(2 x width + 1).
    int Capacity() const { return capacity_; }
    float Scale() const { return scale_; }
    float Width() const { return width_; }

private:
    int capacity_ = 0;
    float scale_ = 0;
    float width_ = 0;
    std::vector<Contributor> items_;
    std::vector<uint32_t> start_{0};
};

// A single-precision sum as a byte: above 255 gives 255, below 0 gives 0,
// otherwise the nearest integer with halves to even. Inline and without a
// call into the maths library: it runs for every byte of every zoom level.
// Adding and taking away 2^23 rounds a float of 0 to 2^23 to the nearest
// integer, halves to even, exactly as nearbyint does in the default rounding
// mode (floats of 2^23 to 2^24 are the integers).
// (Floats must be evaluated as floats for that: true of SSE and of ARM.)
static_assert(FLT_EVAL_METHOD == 0, "SumToByte needs float arithmetic in float precision");
inline uint8_t SumToByte(float sum) {
    if (sum > 255.0f) return 255;
    if (sum < 0.0f) return 0;
    constexpr float kIntegers = 8388608.0f;  // 2^23
    return uint8_t((sum + kIntegers) - kIntegers);
}

// One step of a resampling sum, rounded to float as stored.
inline float AddWeighted(float sum, float weight, uint8_t value) {
    return float(double(sum) + double(weight) * double(value));
}

// The horizontal pass: one source row (3 bytes per pixel blue, green, red;
// any other depth palette indices) into `target`, columns.TargetSize() x 3
// bytes blue, green, red.
void ResampleRow(int bytesPerPixel, const uint8_t* source, uint8_t* target, const Palette& palette,
                 const ContributorTable& columns);

// The vertical pass for one target row: `rows[k]` is the resampled source
// row named by contributor k of `list` (width x 3 bytes each).
void CombineRows(std::span<const Contributor> list, const uint8_t* const* rows, int width, uint8_t* target);

}  // namespace tessary
