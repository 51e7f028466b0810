#include "tools/stack_writer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr bool host_little_endian = std::endian::native == std::endian::little;

// Header words 0..55 are numbers except MAP (52) and MACHST (53), which are
// bytes whatever the byte order.
constexpr int number_words = 56;
constexpr int map_word = 52, machst_word = 53;

int bytes_per_sample(int mode) { return mode == 0 ? 1 : mode == 1 ? 2 : 4; }

void set_machine_stamp(MrcHeader& h, bool little_endian) {
    const unsigned char stamp = little_endian ? 0x44 : 0x11;
    h.machst[0] = h.machst[1] = stamp;
    h.machst[2] = h.machst[3] = 0;
}

void set_statistics(MrcHeader& h, int mode, const std::vector<float>& samples) {
    const size_t count = samples.size();
    if (count == 0) return;
    double sum = 0;
    float lo = mrc_stored_value(mode, samples[0]), hi = lo;
    for (size_t i = 0; i < count; ++i) {
        const float v = mrc_stored_value(mode, samples[i]);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sum += v;
    }
    const double mean = sum / (double)count;
    double squares = 0;
    for (size_t i = 0; i < count; ++i) {
        const double d = mrc_stored_value(mode, samples[i]) - mean;
        squares += d * d;
    }
    h.dmin = lo;
    h.dmax = hi;
    h.dmean = (float)mean;
    h.rms = (float)std::sqrt(squares / (double)count);
}

void set_tags(MrcHeader& h, MrcTags tags, bool little_endian) {
    const bool stack = tags == MrcTags::image_stack;
    h.mx = h.nx;
    h.my = h.ny;
    h.mz = stack ? 1 : h.nz;
    h.mapc = 1;
    h.mapr = 2;
    h.maps = 3;
    h.ispg = stack ? 0 : 1;
    h.nversion = MRC_NVERSION;
    std::memcpy(h.map, "MAP ", 4);
    set_machine_stamp(h, little_endian);
}

void reverse_bytes(char* p, int n) { std::reverse(p, p + n); }

void encode_sample(int mode, float sample, bool swap, char* dst) {
    const float v = mrc_stored_value(mode, sample);
    if (mode == 0) {
        const uint8_t b = (uint8_t)v;
        std::memcpy(dst, &b, 1);
    } else if (mode == 1) {
        const int16_t s = (int16_t)v;
        std::memcpy(dst, &s, 2);
    } else {
        std::memcpy(dst, &v, 4);
    }
    if (swap) reverse_bytes(dst, bytes_per_sample(mode));
}

}  // namespace

float mrc_stored_value(int mode, float sample) {
    if (mode == 0) return (float)std::clamp(std::lround(sample), 0L, 255L);
    if (mode == 1) return (float)std::clamp(std::lround(sample), -32768L, 32767L);
    return sample;
}

MrcHeader stack_header(int nx, int ny, int nz, const std::vector<float>& samples, const StackFormat& format) {
    MrcHeader h;
    std::memset(&h, 0, sizeof h);
    h.nx = nx;
    h.ny = ny;
    h.nz = nz;
    h.mode = format.mode;
    h.nsymbt = format.nsymbt;
    if (format.tags != MrcTags::none) {
        set_tags(h, format.tags, host_little_endian != format.other_byte_order);
        set_statistics(h, format.mode, samples);
    }
    return h;
}

std::string encode_stack(int nx, int ny, int nz, const std::vector<float>& samples, const StackFormat& format) {
    const MrcHeader h = stack_header(nx, ny, nz, samples, format);
    std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
    if (format.other_byte_order) {
        for (int w = 0; w < number_words; ++w)
            if (w != map_word && w != machst_word) reverse_bytes(bytes.data() + 4 * w, 4);
    }

    const size_t ext = (size_t)std::max(format.nsymbt, 0);
    if (format.ext_header)
        bytes.append(reinterpret_cast<const char*>(format.ext_header), ext);
    else
        bytes.append(ext, '\0');

    const size_t count = samples.size();
    const int b = bytes_per_sample(format.mode);
    const size_t start = bytes.size();
    bytes.resize(start + count * (size_t)b);
    for (size_t i = 0; i < count; ++i) encode_sample(format.mode, samples[i], format.other_byte_order, bytes.data() + start + i * b);
    return bytes;
}

bool write_stack(const std::string& path, int nx, int ny, int nz, const std::vector<float>& samples,
                 const StackFormat& format) {
    const std::string bytes = encode_stack(nx, ny, nz, samples, format);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return (std::fclose(f) == 0) && written;
}
