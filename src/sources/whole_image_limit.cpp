#include "sources/whole_image_limit.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "common/platform.h"

namespace tessary {

namespace {

constexpr uint64_t kNoOverride = ~uint64_t(0);
std::atomic<uint64_t> g_override{kNoOverride};

std::optional<uint64_t> FromEnvironment() {
    const char* text = std::getenv("TESSARY_WHOLE_IMAGE_LIMIT");
    if (!text || !*text) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-') return std::nullopt;
    return uint64_t(value);
}

}  // namespace

uint64_t WholeImageLimit() {
    uint64_t set = g_override.load();
    if (set != kNoOverride) return set;
    if (auto fromEnvironment = FromEnvironment()) return *fromEnvironment;
    uint64_t physical = platform::PhysicalMemoryBytes();
    return physical ? physical / 4 : (uint64_t(1) << 30);
}

void SetWholeImageLimit(std::optional<uint64_t> bytes) {
    g_override.store(bytes ? (*bytes == kNoOverride ? kNoOverride - 1 : *bytes) : kNoOverride);
}

bool FitsWholeImageLimit(int64_t width, int64_t height, int bitsPerPixel, int copies) {
    if (width <= 0 || height <= 0 || bitsPerPixel <= 0 || copies <= 0) return false;
    uint64_t stride = (uint64_t(width) * uint64_t(bitsPerPixel) + 31) / 32 * 4;
    uint64_t limit = WholeImageLimit() / uint64_t(copies);
    return stride <= limit / uint64_t(height);
}

}  // namespace tessary
