// PCX tiles of header charts, decoded by the chart tile library (built into
// the target from its source, so that the sanitizers see inside it).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "chart_tiles_api.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tessary::fuzz::TempInput input(data, size, ".A01");
    ChartBlockHandle block = Pcx2Dib(input.Path().c_str());
    if (block != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(ChartBlockLock(block));
        size_t n = ChartBlockSize(block);
        if (n != CHART_TILE_PIXEL_BYTES) __builtin_trap();
        // Touch every byte so that a block shorter than it claims is found.
        uint8_t sum = 0;
        for (size_t i = 0; i < n; ++i) sum ^= bytes[i];
        (void)sum;
        ChartBlockFree(block);
    }
    return 0;
}
