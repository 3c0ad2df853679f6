// The zoom scale list of one image: 101 single-precision slots in percent of
// the full-resolution width. Slot 0 holds 100.0 (the full-resolution level),
// a free slot holds -1.0, and the last two used slots are the thumbnail and
// overview scales. The RPX2 writer stores the used slots in slot order; the
// zoom level build reads them to size the levels.
#pragma once

#include <array>
#include <vector>

namespace tessary {

inline constexpr int kScaleSlots = 101;
inline constexpr float kFreeScaleSlot = -1.0f;

using ScaleList = std::array<float, kScaleSlots>;

// A list with slot 0 at 100.0 and every other slot free.
inline ScaleList FreshScaleList() {
    ScaleList list;
    list.fill(kFreeScaleSlot);
    list[0] = 100.0f;
    return list;
}

inline bool IsUsedScaleSlot(float value) {
    return value != kFreeScaleSlot;
}

// The used slots' values, in slot order: the scales of the levels as they
// follow one another in an RPX2 file.
inline std::vector<float> UsedScales(const ScaleList& list) {
    std::vector<float> used;
    for (float value : list)
        if (IsUsedScaleSlot(value)) used.push_back(value);
    return used;
}

}  // namespace tessary
