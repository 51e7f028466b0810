// Whole MODE 2 files read into float images, for tests and tools.

#include "io/image.h"

#include <memory>

namespace {

// Opens a MODE 2 file and reads its header into image; returns the open file or
// nullptr with the error code in *code.
FILE* open_float_file(const char* file_name, Image* image, int* code) {
    FILE* file = fopen(file_name, "r");
    MrcHeaderRead read{};
    if (!file || !mrc_try_read_header(file, &read).empty()) {
        if (file) fclose(file);
        *code = -1;
        return nullptr;
    }
    if (read.header->mode != 2) {
        fclose(file);
        *code = -2;
        return nullptr;
    }
    image->name = file_name;
    image->header = std::move(read.header);
    image->ext_header = std::move(read.ext_header);
    image->swapped = read.swapped;
    image->data_offset = read.data_offset;
    return file;
}

// Reads count floats at the file's position, in host order.
bool read_floats(FILE* file, float* dst, size_t count, bool swapped) {
    if (fread(dst, sizeof(float), count, file) != count) return false;
    if (swapped)
        for (size_t i = 0; i < count; ++i) swap_bytes(dst + i, 4);
    return true;
}

// Gives image an nx x ny x nz volume; false when out of memory.
bool give_volume(Image* image, int nx, int ny, int nz) {
    VolumeIndex volume = alloc_volume(nx, ny, nz);
    if (!volume) return false;
    image->data = std::move(volume);
    image->nx = nx;
    image->ny = ny;
    image->nz = nz;
    return true;
}

size_t sample_count(const Image* image) { return (size_t)image->nx * (size_t)image->ny * (size_t)image->nz; }

}  // namespace

int image_read_volume(const char* file_name, Image* image) {
    int code = 0;
    FILE* file = open_float_file(file_name, image, &code);
    if (!file) return code;
    const MrcHeader& h = *image->header;
    if (!give_volume(image, h.nx, h.ny, h.nz)) {
        fclose(file);
        return -3;
    }
    const bool ok = read_floats(file, image->data[0][0], sample_count(image), image->swapped != 0);
    fclose(file);
    return ok ? 0 : -4;
}
