#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/mrc_header.h"

// An image in memory with its file facts. Samples are one contiguous block of
// floats, X fastest; data[z][y] is row y of section z, data[0][0] the block.
struct Image {
    std::string name;
    int swapped = 0;
    MrcHeader* header = nullptr;         // owned
    unsigned char* ext_header = nullptr; // owned
    int64_t data_offset = 0;
    float*** data = nullptr;             // owned volume index
    int nx = 0, ny = 0, nz = 0;
    float min = 0, max = 0;
    double mean = 0;
    double stddev = 0, variance = 0;
};

// Volume index of nx*ny*nz elements of element_size bytes; nullptr (with a
// message) when it cannot be allocated. Free with free_volume.
void*** alloc_volume(int nx, int ny, int nz, int element_size);
void free_volume(void*** volume);

// A new image with every field zero or none.
Image* image_new();
// Gives the image an uncleared volume of nx*ny*nz floats; ends the process when out of memory.
void image_alloc(Image* image, int nx, int ny, int nz);
// A new nx x ny image (one section) with every sample 0.
Image* image_new_zeroed(int nx, int ny);
// Releases the image's header, extended header and volume, and the image itself
// (which must come from image_new or image_new_zeroed). Null does nothing.
void image_free(Image* image);

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
