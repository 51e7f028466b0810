#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "io/mrc_header.h"

// The volume index of an image, which owns it: one contiguous block of
// floats, X fastest; index[z][y] is row y of section z, index[0][0] the block.
class VolumeIndex {
public:
    VolumeIndex() = default;
    explicit VolumeIndex(float*** index) : index_(index) {}
    VolumeIndex(VolumeIndex&& other) noexcept : index_(std::exchange(other.index_, nullptr)) {}
    VolumeIndex& operator=(VolumeIndex&& other) noexcept {
        std::swap(index_, other.index_);
        return *this;
    }
    ~VolumeIndex();
    float** operator[](size_t z) const { return index_[z]; }
    explicit operator bool() const { return index_ != nullptr; }

private:
    float*** index_ = nullptr;
};

// An image in memory with its file facts; it owns its header, extended header and samples.
struct Image {
    std::string name;
    int swapped = 0;
    std::unique_ptr<MrcHeader> header;
    std::unique_ptr<unsigned char[]> ext_header;
    int64_t data_offset = 0;
    VolumeIndex data;
    int nx = 0, ny = 0, nz = 0;
    float min = 0, max = 0;
    double mean = 0;
    double stddev = 0, variance = 0;
};

// Volume of nx*ny*nz floats, uncleared; empty (with a message) when it cannot be allocated.
VolumeIndex alloc_volume(int nx, int ny, int nz);

// A new image with every field zero or none.
std::unique_ptr<Image> image_new();
// Gives the image an uncleared volume of nx*ny*nz floats; ends the process when out of memory.
void image_alloc(Image* image, int nx, int ny, int nz);
// A new nx x ny image (one section) with every sample 0.
std::unique_ptr<Image> image_new_zeroed(int nx, int ny);

// Opens an MRC stack for reading, reads and validates its header; the file stays open.
FILE* image_open_stack(const char* file_name, Image* image);
// The sinograms of rows y0 .. y0 + count - 1, row t from section sections[t],
// into out: count sinograms of sections.size() rows of NX floats, one after
// another. Each section's rows are read in one piece. Returns how many leading
// sinograms were read whole and, where fewer than count, the section of the
// first row missing (the caller reports it with image_read_failed).
struct SinogramsRead {
    int whole, section;
};
SinogramsRead image_read_sinograms(FILE* file, const Image* stack, int y0, int count,
                                   const std::vector<int>& sections, float* out);
// Ends the process: row y of the section could not be read whole.
[[noreturn]] void image_read_failed(const Image* stack, int y, int section);
// Fills the image's header record (created when absent) from its sizes and statistics.
void image_header_from(Image* image);
// Writes the image's header at byte 0 with the given MODE; ends the process on failure.
void image_write_header(FILE* file, Image* image, int mode = 2);
void swap_bytes(void* p, int n);

// Operations for tests and tools.
// Reads a whole MODE 2 file: 0 on success, -1 header unreadable, -2 MODE not 2,
// -3 no memory, -4 samples unreadable.
int image_read_volume(const char* file_name, Image* image);
