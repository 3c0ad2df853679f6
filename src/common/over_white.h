// Transparency on paper: every reader shows a colour sample with alpha as
// that colour composed over white, with this one rounding, so that the same
// pixels give the same bytes whatever file they come in.
#pragma once

#include <cstdint>

namespace tessary {

// A straight (not premultiplied) sample composed over white with its alpha,
// both 0..255, rounded to the nearest.
constexpr uint8_t OverWhite(unsigned value, unsigned alpha) {
    return uint8_t((value * alpha + 255u * (255u - alpha) + 127u) / 255u);
}

}  // namespace tessary
