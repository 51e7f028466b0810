#pragma once
// Where the samples of the reconstructed slices lie in the output file: one XZ
// section per slice, or with --rotx one XY section per row of the slices
// (section k holding row thickness - 1 - k of every slice, the volume turned by
// -90 degrees about X), each sample stored in the output's MODE.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

struct OutputLayout {
    int nx = 0, thickness = 0;        // of one slice
    int first_slice = 0, slices = 0;  // stack row of the first slice; slices in the volume
    int mode = 2;
    bool rotx = false;
};

// Receives size bytes of the file's data that belong at byte offset.
using OutputPut = std::function<void(int64_t offset, const void* bytes, size_t size)>;

// Hands slices y .. y + count - 1 (values as written: output_value results) to
// put as contiguous pieces of the file: one piece in the default layout, one per
// section with --rotx (the rows of the count slices side by side). scratch
// keeps the packed samples between calls.
void output_place_slices(const OutputLayout& layout, int y, int count, const float* values,
                         std::vector<unsigned char>* scratch, const OutputPut& put);

// Writes size bytes at offset of a file descriptor (positioned, the file
// offset untouched) or appends them to a stream; a failed or short write ends
// the process with "Error writing output file.\n\n".
void output_write_at(int fd, int64_t offset, const void* bytes, size_t size);
void output_append(FILE* file, const void* bytes, size_t size);
