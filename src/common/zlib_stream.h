// One complete zlib stream per buffer, as scratch rows and RPX2 tiles are
// stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessary {

// Deflates the buffer into one finished zlib stream at the given level
// (9 unless a caller has a reason). Raises ECompressionError on failure.
// `out` is reused: its previous contents are replaced.
void DeflateStream(const uint8_t* data, size_t size, std::vector<uint8_t>& out, int level = 9);
std::vector<uint8_t> DeflateStream(const uint8_t* data, size_t size, int level = 9);

// Inflates one complete stream into `out`, which holds `capacity` bytes.
// Returns the number of bytes produced. A corrupt stream, or one whose
// result would not fit into `capacity`, raises EDecompressionError; nothing
// is ever written past `capacity`.
size_t InflateStream(const uint8_t* data, size_t size, uint8_t* out, size_t capacity);

}  // namespace tessary
