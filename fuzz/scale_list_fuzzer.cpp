// "UseScales.dat": the text of the scale file against an image size taken
// from the first 8 input bytes (so that the size windows are all reached).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/zoom_scales.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    uint32_t w = 0, h = 0;
    std::memcpy(&w, data, 4);
    std::memcpy(&h, data + 4, 4);
    int width = int(w % 200000) + 1;
    int height = int(h % 200000) + 1;
    std::optional<std::string> text(std::string(reinterpret_cast<const char*>(data + 8), size - 8));
    try {
        tessary::ScaleList scales = tessary::BuildScaleListFromText(width, height, std::max(1, width / 100),
                                                                    std::max(1, width / 40), text);
        int used = tessary::UsedScaleSlots(scales);
        for (int level = 1; level < used; ++level) tessary::ZoomLevelPercentage(scales, level);
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
