#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "io/mrc_header.h"

// A fresh temporary directory removed with its contents when the object dies.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);
// The names of the entries of a folder.
std::set<std::string> names_in(const std::string& folder);
void write_file(const std::string& path, const std::string& bytes);

// A header as a test writes it into a stack: NX, NY, NZ, MODE set, the rest zero.
MrcHeader test_header(int nx, int ny, int nz, int mode);

// Writes an MRC stack of the samples in the mode's type, optionally byte-swapped and with an extended header.
void write_test_stack(const std::string& path, int nx, int ny, int nz, int mode, const std::vector<float>& samples,
                      bool other_byte_order = false, int nsymbt = 0);

// Writes angles one per line with "%.9g".
void write_tilt_file(const std::string& path, const std::vector<float>& angles_deg);

// A tilt series in a temporary folder: t.tlt over -60 .. 60 degrees, s.mrc of values 0 .. 250, o.mrc to write.
struct TiltSeries {
    TempDir dir;
    int nx, ny, nz;
    std::string tlt = dir.file("t.tlt"), stack = dir.file("s.mrc"), out = dir.file("o.mrc");
    TiltSeries(int nx, int ny, int nz, int mode = 2, bool other_order = false, int nsymbt = 0);
    std::vector<std::string> files() const { return {tlt, stack, out}; }
};

// nz angles evenly over -60 .. 60 degrees.
std::vector<float> even_angles(int nz);
