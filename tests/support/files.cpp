#include "support/files.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "skarbel-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

MrcHeader test_header(int nx, int ny, int nz, int mode) {
    MrcHeader h;
    std::memset(&h, 0, sizeof h);
    h.nx = nx;
    h.ny = ny;
    h.nz = nz;
    h.mode = mode;
    return h;
}

namespace {

void reverse(char* p, int n) { std::reverse(p, p + n); }

std::string encode_samples(int mode, const std::vector<float>& samples, bool swap) {
    const int b = mode == 0 ? 1 : mode == 1 ? 2 : 4;
    std::string bytes(samples.size() * (size_t)b, '\0');
    for (size_t i = 0; i < samples.size(); ++i) {
        char* dst = bytes.data() + i * b;
        if (mode == 0) {
            uint8_t v = (uint8_t)std::clamp(std::lround(samples[i]), 0L, 255L);
            std::memcpy(dst, &v, 1);
        } else if (mode == 1) {
            int16_t v = (int16_t)std::clamp(std::lround(samples[i]), -32768L, 32767L);
            std::memcpy(dst, &v, 2);
        } else {
            std::memcpy(dst, &samples[i], 4);
        }
        if (swap) reverse(dst, b);
    }
    return bytes;
}

}  // namespace

void write_test_stack(const std::string& path, int nx, int ny, int nz, int mode, const std::vector<float>& samples,
                      bool other_byte_order, int nsymbt) {
    MrcHeader h = test_header(nx, ny, nz, mode);
    h.nsymbt = nsymbt;
    std::string header(reinterpret_cast<const char*>(&h), sizeof h);
    if (other_byte_order)
        for (int w = 0; w < 56; ++w) reverse(header.data() + 4 * w, 4);
    std::string ext((size_t)std::max(nsymbt, 0), '\0');
    for (size_t i = 0; i < ext.size(); ++i) ext[i] = (char)(i * 7 + 3);
    write_file(path, header + ext + encode_samples(mode, samples, other_byte_order));
}

void write_tilt_file(const std::string& path, const std::vector<float>& angles_deg) {
    std::string text;
    char line[64];
    for (float v : angles_deg) {
        snprintf(line, sizeof line, "%.9g\n", v);
        text += line;
    }
    write_file(path, text);
}
