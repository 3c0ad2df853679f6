// Little-endian reading and writing of fixed-size integers at byte addresses.
#pragma once

#include <cstdint>
#include <cstring>

namespace tessary {

inline uint16_t ReadU16LE(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t ReadU32LE(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline int16_t ReadI16LE(const uint8_t* p) { return int16_t(ReadU16LE(p)); }
inline int32_t ReadI32LE(const uint8_t* p) { return int32_t(ReadU32LE(p)); }
inline float ReadF32LE(const uint8_t* p) {
    uint32_t bits = ReadU32LE(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

inline uint32_t ReadU32BE(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void WriteU16LE(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void WriteU32LE(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void WriteI32LE(uint8_t* p, int32_t v) { WriteU32LE(p, uint32_t(v)); }
inline void WriteF32LE(uint8_t* p, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    WriteU32LE(p, bits);
}

}  // namespace tessary
