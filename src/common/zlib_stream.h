// One complete zlib stream per buffer, as scratch rows and RPX2 tiles are
// stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace tessary {

// Inflates one complete stream into `out`, which holds `capacity` bytes.
// Returns the number of bytes produced. A corrupt stream, or one whose
// result would not fit into `capacity`, raises EDecompressionError; nothing
// is ever written past `capacity`.
size_t InflateStream(const uint8_t* data, size_t size, uint8_t* out, size_t capacity);

// Deflating and inflating of the rows of the run's own scratch files (the
// indexed scratch rasters and the RGB row spool), with libdeflate: its
// streams are ordinary zlib streams, made faster than zlib makes them.
// Nothing outside a run ever reads these files, so their rows use a lower
// level than the tiles of an RPX2 file. One object per thread.
inline constexpr int kScratchRowLevel = 1;

class FastDeflater {
public:
    // Level 0 writes stored blocks: the bytes as they are, still one zlib
    // stream that any inflater reads.
    explicit FastDeflater(int level = kScratchRowLevel);
    ~FastDeflater();
    FastDeflater(const FastDeflater&) = delete;
    FastDeflater& operator=(const FastDeflater&) = delete;
    // Replaces `out` with one finished zlib stream of the buffer. Raises
    // ECompressionError.
    void Deflate(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

private:
    struct libdeflate_compressor* compressor_;
};

class FastInflater {
public:
    FastInflater();
    ~FastInflater();
    FastInflater(const FastInflater&) = delete;
    FastInflater& operator=(const FastInflater&) = delete;
    // As InflateStream: bytes produced; EDecompressionError for a corrupt
    // stream or one that would not fit into `capacity`.
    size_t Inflate(const uint8_t* data, size_t size, uint8_t* out, size_t capacity);

private:
    struct libdeflate_decompressor* decompressor_;
};

}  // namespace tessary
