#include "common/zlib_stream.h"

#include <libdeflate.h>
#include <zlib.h>

#include "common/errors.h"

namespace tessary {

void DeflateStream(const uint8_t* data, size_t size, std::vector<uint8_t>& out, int level) {
    z_stream zs{};
    if (deflateInit(&zs, level) != Z_OK) throw ECompressionError();
    out.resize(deflateBound(&zs, uLong(size)));
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = uInt(size);
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    int rc = deflate(&zs, Z_FINISH);
    size_t produced = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw ECompressionError();
    out.resize(produced);
}

std::vector<uint8_t> DeflateStream(const uint8_t* data, size_t size, int level) {
    std::vector<uint8_t> out;
    DeflateStream(data, size, out, level);
    return out;
}

size_t InflateStream(const uint8_t* data, size_t size, uint8_t* out, size_t capacity) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) throw EDecompressionError();
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = uInt(size);
    zs.next_out = out;
    zs.avail_out = uInt(capacity);
    int rc = inflate(&zs, Z_FINISH);
    size_t produced = zs.total_out;
    inflateEnd(&zs);
    // Z_BUF_ERROR with no output room left means the result is larger than
    // the buffer; with input left over it means a truncated stream. Both are
    // corrupt data here.
    if (rc != Z_STREAM_END) throw EDecompressionError();
    return produced;
}

FastDeflater::FastDeflater(int level) : compressor_(libdeflate_alloc_compressor(level)) {
    if (!compressor_) throw ECompressionError();
}

FastDeflater::~FastDeflater() {
    libdeflate_free_compressor(compressor_);
}

void FastDeflater::Deflate(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    out.resize(libdeflate_zlib_compress_bound(compressor_, size));
    size_t produced = libdeflate_zlib_compress(compressor_, data, size, out.data(), out.size());
    if (produced == 0) throw ECompressionError();
    out.resize(produced);
}

FastInflater::FastInflater() : decompressor_(libdeflate_alloc_decompressor()) {
    if (!decompressor_) throw EDecompressionError();
}

FastInflater::~FastInflater() {
    libdeflate_free_decompressor(decompressor_);
}

size_t FastInflater::Inflate(const uint8_t* data, size_t size, uint8_t* out, size_t capacity) {
    size_t produced = 0;
    if (libdeflate_zlib_decompress(decompressor_, data, size, out, capacity, &produced) != LIBDEFLATE_SUCCESS)
        throw EDecompressionError();
    return produced;
}

}  // namespace tessary
