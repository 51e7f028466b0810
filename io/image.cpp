#include "io/image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "io/host_array.h"
#include "io/fail.h"

namespace {

// Volume index of nx*ny*nz elements of element_size bytes; nullptr (with a
// message) when it cannot be allocated.
void*** alloc_index(int nx, int ny, int nz, int element_size) {
    if (nx < 0 || ny < 0 || nz < 0 || element_size <= 0) {
        fputs("\nProblems in allocating memory.\n", stderr);
        return nullptr;
    }
    const size_t rows = (size_t)ny * (size_t)nz;
    const size_t row_bytes = (size_t)element_size * (size_t)nx;
    // At least one element each, so empty sizes still give valid pointers.
    // Owned here until all three are had; the VolumeIndex releases them after.
    HostArray<void**> sections(static_cast<void***>(malloc(std::max<size_t>(nz, 1) * sizeof(void**))));
    HostArray<void*> row_table(static_cast<void**>(malloc(std::max<size_t>(rows, 1) * sizeof(void*))));
    HostArray<unsigned char> block(static_cast<unsigned char*>(malloc(std::max<size_t>(rows * row_bytes, 1))));
    if (!sections || !row_table || !block) {
        fputs("\nProblems in allocating memory.\n", stderr);
        return nullptr;
    }
    sections[0] = row_table.get();
    for (int z = 1; z < nz; ++z) sections[z] = sections[z - 1] + ny;
    for (size_t r = 0; r < std::max<size_t>(rows, 1); ++r) row_table[r] = block.get() + r * row_bytes;
    row_table.release();
    block.release();
    return sections.release();
}

}  // namespace

VolumeIndex alloc_volume(int nx, int ny, int nz) {
    return VolumeIndex(reinterpret_cast<float***>(alloc_index(nx, ny, nz, (int)sizeof(float))));
}

VolumeIndex::~VolumeIndex() {
    if (!index_) return;
    free(index_[0][0]);
    free(index_[0]);
    free(index_);
}

std::unique_ptr<Image> image_new() {
    std::unique_ptr<Image> image(new (std::nothrow) Image);
    if (!image) fail("\nProblems in allocating memory.\n");
    return image;
}

void image_alloc(Image* image, int nx, int ny, int nz) {
    VolumeIndex volume = alloc_volume(nx, ny, nz);
    if (!volume) fail("\nProblems in allocating memory for an 3D image.\n");
    image->data = std::move(volume);
    image->nx = nx;
    image->ny = ny;
    image->nz = nz;
}

std::unique_ptr<Image> image_new_zeroed(int nx, int ny) {
    std::unique_ptr<Image> image = image_new();
    image_alloc(image.get(), nx, ny, 1);
    std::fill_n(image->data[0][0], (size_t)nx * (size_t)ny, 0.0f);
    return image;
}

void swap_bytes(void* p, int n) {
    auto* bytes = static_cast<unsigned char*>(p);
    std::reverse(bytes, bytes + std::max(n, 0));
}

FILE* image_open_stack(const char* file_name, Image* image) {
    FILE* file = fopen(file_name, "r");
    if (!file) failf("\n Unable to open input file %s\n\n", file_name);
    image->name = file_name;
    MrcHeaderRead read = mrc_read_header(file);
    image->nx = read.header->nx;
    image->ny = read.header->ny;
    image->nz = read.header->nz;
    image->header = std::move(read.header);
    image->swapped = read.swapped;
    image->ext_header = std::move(read.ext_header);
    image->data_offset = read.data_offset;
    return file;
}

namespace {

// Converts the first nx samples of the given mode (as read into the start of
// row) to floats in place, from the last sample down so that no narrow value is
// overwritten before it is converted.
void widen_row(float* row, int nx, int mode, bool swapped) {
    auto* raw = reinterpret_cast<unsigned char*>(row);
    if (mode == 2) {
        if (swapped)
            for (int x = 0; x < nx; ++x) swap_bytes(raw + 4 * (size_t)x, 4);
    } else if (mode == 1) {
        for (int x = nx - 1; x >= 0; --x) {
            int16_t v;
            std::memcpy(&v, raw + 2 * (size_t)x, 2);
            if (swapped) swap_bytes(&v, 2);
            row[x] = (float)v;
        }
    } else {
        for (int x = nx - 1; x >= 0; --x) row[x] = (float)raw[x];
    }
}

}  // namespace

SinogramsRead image_read_sinograms(FILE* file, const Image* stack, int y0, int count,
                                   const std::vector<int>& sections, float* out) {
    const MrcHeader& h = *stack->header;
    const int nx = stack->nx, tilts = (int)sections.size();
    const int64_t row_bytes = mrc_bytes_per_sample(h.mode) * (int64_t)nx;
    std::vector<unsigned char> rows((size_t)(row_bytes * std::max(count, 0)));
    SinogramsRead r{count, -1};
    for (int t = 0; t < tilts; ++t) {
        const int section = sections[(size_t)t];
        const int64_t at = 1024 + (int64_t)h.nsymbt + (int64_t)y0 * row_bytes + (int64_t)section * h.ny * row_bytes;
        size_t got = 0;
        if (fseeko(file, at, SEEK_SET) == 0) got = fread(rows.data(), 1, rows.size(), file);
        const int whole = (int)(got / (size_t)row_bytes);
        for (int i = 0; i < whole; ++i) {
            float* row = out + ((size_t)i * tilts + t) * nx;
            std::memcpy(row, rows.data() + (size_t)i * row_bytes, (size_t)row_bytes);
            widen_row(row, nx, h.mode, stack->swapped != 0);
        }
        // The first row missing in slice order: the fewest whole rows, the
        // earliest section among those.
        if (whole < r.whole) r = {whole, section};
    }
    return r;
}

void image_read_failed(const Image* stack, int y, int section) {
    failf("Error reading input file %s: row %d of section %d.\n\n", stack->name.c_str(), y, section);
}

void image_header_from(Image* image) {
    mrc_fill_header(&image->header, image->nx, image->ny, image->nz, image->min, image->max, image->mean);
}

void image_write_header(FILE* file, Image* image, int mode) {
    if (!mrc_write_header(file, image->header.get(), image->ext_header.get(), mode)) fail("Error writing output file.\n\n");
}
