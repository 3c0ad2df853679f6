// The zoom scales of one image: slot 0 = 100 %, the reduced levels (fixed
// defaults, or the levels a user picks in "UseScales.dat"), then the
// thumbnail and the overview scales. Free slots hold -1.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/scale_list.h"

namespace tessary {

// "UseScales.dat" in the given folder (the program's folder).
std::string ScaleFilePath(const std::string& folder);

// The scale a scale file line selects for a level-0 raster of W x H, or
// nothing: a comment (";" first), a blank line, a line that is not a plain
// decimal number ("," read as "."), a number in no window, or a window whose
// size condition fails.
std::optional<float> ScaleFromLine(std::string_view line, int width, int height);

// The list for a level-0 raster of W x H whose source previews are W130 and
// W300 pixels wide. `scaleFileText` is the content of the scale file, or
// nothing when there is none (then the defaults apply). Raises
// std::invalid_argument when W is not positive.
ScaleList BuildScaleListFromText(int width, int height, int w130, int w300,
                                 const std::optional<std::string>& scaleFileText);

// The same, reading the scale file at `scaleFile` when it exists.
ScaleList BuildScaleList(int width, int height, int w130, int w300, const std::string& scaleFile);

// The number of used slots (slot 0 included).
int UsedScaleSlots(const ScaleList& scales);

// The percentage at which level n (n >= 1) is built: s[1] for level 1;
// s[n] / s[1] x 100 for a level below 19.9 % (built from level 1); else s[n].
double ZoomLevelPercentage(const ScaleList& scales, int level);

}  // namespace tessary
