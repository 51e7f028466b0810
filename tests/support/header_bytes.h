#pragma once
// Reads and builds MRC header bytes, and decodes words and samples in either byte order without the writer's code.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

inline int32_t i32_at(const std::string& bytes, size_t offset) {
    int32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

inline float f32_at(const std::string& bytes, size_t offset) {
    float v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

struct Decoder {
    const std::string& bytes;
    bool little;
    uint32_t word(size_t offset) const {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v |= (uint32_t)(unsigned char)bytes.at(offset + k) << (little ? 8 * k : 24 - 8 * k);
        return v;
    }
    int32_t i32(size_t offset) const { return (int32_t)word(offset); }
    float f32(size_t offset) const { return std::bit_cast<float>(word(offset)); }
    // Sample of MODE 0 (unsigned byte), 1 (signed 16-bit) or 2 (float) at offset.
    float sample(int mode, size_t offset) const {
        if (mode == 0) return (float)(unsigned char)bytes.at(offset);
        if (mode == 2) return f32(offset);
        const uint16_t lo = (unsigned char)bytes.at(offset), hi = (unsigned char)bytes.at(offset + 1);
        return (float)(int16_t)(little ? (uint16_t)(lo | hi << 8) : (uint16_t)(hi | lo << 8));
    }
};

inline void put_i32(std::string& bytes, size_t offset, int32_t v) { std::memcpy(bytes.data() + offset, &v, 4); }
inline void put_f32(std::string& bytes, size_t offset, float v) { std::memcpy(bytes.data() + offset, &v, 4); }

// The header every output starts from: sizes, MODE 2, M = N, axes 1/2/3, ISPG 1, NVERSION, MAP, machine stamp.
inline std::string expected_header(int nx, int ny, int nz, float dmin, float dmax, float dmean) {
    std::string h(1024, '\0');
    for (const auto& [offset, v] : {std::pair{0, nx}, {4, ny}, {8, nz}, {12, 2}, {28, nx}, {32, ny}, {36, nz}, {64, 1},
                                    {68, 2}, {72, 3}, {88, 1}, {108, 20140}})
        put_i32(h, offset, v);
    put_f32(h, 76, dmin);
    put_f32(h, 80, dmax);
    put_f32(h, 84, dmean);
    std::memcpy(h.data() + 208, "MAP ", 4);
    h[212] = h[213] = std::endian::native == std::endian::little ? 0x44 : 0x11;
    return h;
}
