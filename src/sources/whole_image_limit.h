// How large a picture the ECW and MrSID readers build whole. A picture above
// the limit is not attempted: the source goes straight to row access. The
// limit is decided before allocating, because a huge allocation may succeed
// on this platform and the process be killed later when the pages are used.
#pragma once

#include <cstdint>
#include <optional>

namespace tessary {

// The limit in bytes: the value set by SetWholeImageLimit, else the
// environment variable TESSARY_WHOLE_IMAGE_LIMIT (a byte count), else a
// quarter of the physical memory (1 GiB when that is unknown).
uint64_t WholeImageLimit();

// Overrides the limit for the process (tests, benchmarks); nullopt restores
// the default.
void SetWholeImageLimit(std::optional<uint64_t> bytes);

// Whether `copies` pictures of width x height at the bit depth stay within
// the limit (rows padded to 4 bytes).
bool FitsWholeImageLimit(int64_t width, int64_t height, int bitsPerPixel, int copies = 1);

}  // namespace tessary
