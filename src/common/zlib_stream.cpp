#include "common/zlib_stream.h"

#include <libdeflate.h>
#include <zlib.h>

#include <climits>

#include "common/errors.h"

namespace tessary {

namespace {

// One inflate state per thread, reset between streams: setting a state up
// for every scratch row would cost an allocation each. A reset state reads
// exactly as a fresh one does.
class Inflater {
public:
    ~Inflater() {
        if (ready_) inflateEnd(&zs_);
    }
    z_stream& Begin() {
        if (ready_ && inflateReset(&zs_) == Z_OK) return zs_;
        if (ready_) inflateEnd(&zs_);
        ready_ = false;
        zs_ = z_stream{};
        if (inflateInit(&zs_) != Z_OK) throw EDecompressionError();
        ready_ = true;
        return zs_;
    }

private:
    z_stream zs_{};
    bool ready_ = false;
};

}  // namespace

size_t InflateStream(const uint8_t* data, size_t size, uint8_t* out, size_t capacity) {
    if (size > UINT_MAX) throw EDecompressionError();
    if (capacity > UINT_MAX) capacity = UINT_MAX;  // never more room than the buffer has
    thread_local Inflater inflater;
    z_stream& zs = inflater.Begin();
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = uInt(size);
    zs.next_out = out;
    zs.avail_out = uInt(capacity);
    int rc = inflate(&zs, Z_FINISH);
    size_t produced = zs.total_out;
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
