#include "common/zlib_stream.h"

#include <zlib.h>

#include <climits>

#include "common/errors.h"

namespace tessary {

namespace {

// One deflate and one inflate state per thread, reset between streams.
// Setting a state up costs about 256 KiB of allocation at level 9; doing that
// for every scratch row made writing a tall raster take minutes. A reset
// state produces exactly the bytes a fresh one does.
class Deflater {
public:
    ~Deflater() {
        if (ready_) deflateEnd(&zs_);
    }
    z_stream& Begin(int level) {
        if (ready_ && level_ == level) {
            if (deflateReset(&zs_) == Z_OK) return zs_;
        }
        if (ready_) deflateEnd(&zs_);
        ready_ = false;
        zs_ = z_stream{};
        if (deflateInit(&zs_, level) != Z_OK) throw ECompressionError();
        ready_ = true;
        level_ = level;
        return zs_;
    }

private:
    z_stream zs_{};
    bool ready_ = false;
    int level_ = 0;
};

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

void DeflateStream(const uint8_t* data, size_t size, std::vector<uint8_t>& out, int level) {
    if (size > UINT_MAX) throw ECompressionError();
    thread_local Deflater deflater;
    z_stream& zs = deflater.Begin(level);
    out.resize(deflateBound(&zs, uLong(size)));
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = uInt(size);
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    int rc = deflate(&zs, Z_FINISH);
    size_t produced = zs.total_out;
    if (rc != Z_STREAM_END) throw ECompressionError();
    out.resize(produced);
}

std::vector<uint8_t> DeflateStream(const uint8_t* data, size_t size, int level) {
    std::vector<uint8_t> out;
    DeflateStream(data, size, out, level);
    return out;
}

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

}  // namespace tessary
