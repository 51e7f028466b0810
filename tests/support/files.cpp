#include "support/files.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "tools/stack_writer.h"

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

std::set<std::string> names_in(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename());
    return names;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

MrcHeader test_header(int nx, int ny, int nz, int mode) {
    MrcHeader h;
    std::memset(&h, 0, sizeof h);
    std::tie(h.nx, h.ny, h.nz, h.mode) = std::tie(nx, ny, nz, mode);
    return h;
}

void write_test_stack(const std::string& path, int nx, int ny, int nz, int mode, const std::vector<float>& samples,
                      bool other_byte_order, int nsymbt) {
    // A recognisable extended header, so that skipping too little or too much shows in the samples.
    std::vector<unsigned char> ext((size_t)std::max(nsymbt, 0));
    for (size_t i = 0; i < ext.size(); ++i) ext[i] = (unsigned char)(i * 7 + 3);
    const StackFormat format{.mode = mode, .other_byte_order = other_byte_order, .nsymbt = nsymbt, .ext_header = ext.data()};
    write_file(path, encode_stack(nx, ny, nz, samples, format));
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

std::vector<float> even_angles(int n) {
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i) v[i] = -60.0f + 120.0f * (float)i / (float)std::max(n - 1, 1);
    return v;
}

TiltSeries::TiltSeries(int nx_, int ny_, int nz_, int mode, bool other_order, int nsymbt) : nx(nx_), ny(ny_), nz(nz_) {
    std::vector<float> v((size_t)nx * ny * nz);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (float)((i * 29 + 3) % 251);
    write_test_stack(stack, nx, ny, nz, mode, v, other_order, nsymbt);
    write_tilt_file(tlt, even_angles(nz));
}
