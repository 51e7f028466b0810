#pragma once
#include <string>
#include <vector>

#include "io/mrc_header.h"

// Writes MRC files for tests and tools: MODE 0, 1 or 2, either byte order, an
// optional extended header, and optionally the tags standard readers expect.

enum class MrcTags {
    none,         // header zero apart from NX, NY, NZ, MODE, NSYMBT
    image_stack,  // standard tags, ISPG 0 and MZ 1: a stack of 2-D images
    volume,       // standard tags, ISPG 1 and MZ = NZ: one 3-D volume
};

struct StackFormat {
    int mode = 2;                               // 0 uint8, 1 int16, 2 float32
    bool other_byte_order = false;              // write as the other-endian machine would
    int nsymbt = 0;                             // bytes of extended header
    const unsigned char* ext_header = nullptr;  // nsymbt bytes, or null for zero bytes
    MrcTags tags = MrcTags::none;
};

// Sample as stored in the given MODE: rounded to nearest and clamped to the
// range of the integer modes, unchanged for MODE 2.
float mrc_stored_value(int mode, float sample);

// The header as written for these samples (host byte order). With tags:
// MX/MY/MZ, MAPC/MAPR/MAPS 1/2/3, DMIN, DMAX, DMEAN and RMS of the stored
// values, ISPG, NVERSION 20140, MAP "MAP " and the machine stamp of the byte
// order written.
MrcHeader stack_header(int nx, int ny, int nz, const std::vector<float>& samples, const StackFormat& format);

// The whole file: header, extended header and the samples, X fastest. The
// samples are normally nx*ny*nz values; any other count is written as given,
// so that tests can make files that are too short or too long.
std::string encode_stack(int nx, int ny, int nz, const std::vector<float>& samples, const StackFormat& format);

// Writes encode_stack to path; false when the file cannot be written.
bool write_stack(const std::string& path, int nx, int ny, int nz, const std::vector<float>& samples,
                 const StackFormat& format);
