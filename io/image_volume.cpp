// Whole-file operations on float images, used by tests and tools.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "io/image.h"

namespace {

// Opens a MODE 2 file and reads its header into image; returns the open file or
// nullptr with the error code in *code.
FILE* open_float_file(const char* file_name, Image* image, int* code) {
    FILE* file = fopen(file_name, "r");
    MrcHeaderRead read{};
    if (!file || mrc_try_read_header(file, &read) != nullptr) {
        if (file) fclose(file);
        *code = -1;
        return nullptr;
    }
    if (read.header->mode != 2) {
        delete read.header;
        delete[] read.ext_header;
        fclose(file);
        *code = -2;
        return nullptr;
    }
    delete image->header;
    delete[] image->ext_header;
    image->name = file_name;
    image->header = read.header;
    image->ext_header = read.ext_header;
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
    void*** volume = alloc_volume(nx, ny, nz, (int)sizeof(float));
    if (!volume) return false;
    free_volume(reinterpret_cast<void***>(image->data));
    image->data = reinterpret_cast<float***>(volume);
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

int image_write_volume(const char* file_name, Image* image) {
    if (!image->header) image_header_from(image);
    FILE* file = fopen(file_name, "w");
    if (!file) return -1;
    const size_t count = sample_count(image);
    bool ok = mrc_write_header(file, image->header, image->ext_header);
    ok = ok && (count == 0 || fwrite(image->data[0][0], sizeof(float), count, file) == count);
    ok = (fclose(file) == 0) && ok;
    return ok ? 0 : -1;
}

void image_statistics(Image* image) {
    const size_t n = sample_count(image);
    if (n == 0) return;
    const float* x = image->data[0][0];
    float lo = x[0], hi = x[0];
    double sum = 0, sum_sq = 0;
    for (size_t i = 0; i < n; ++i) {
        lo = std::min(lo, x[i]);
        hi = std::max(hi, x[i]);
        sum += x[i];
        sum_sq += (double)x[i] * x[i];
    }
    image->min = lo;
    image->max = hi;
    image->mean = sum / (double)n;
    image->variance = (sum_sq - sum * sum / (double)n) / (double)n;
    image->stddev = std::sqrt(image->variance);
}

void image_normalise(Image* image) {
    image_statistics(image);
    const size_t n = sample_count(image);
    float* x = image->data[0][0];
    for (size_t i = 0; i < n; ++i) x[i] = (float)((x[i] - image->mean) / image->stddev);
    image_statistics(image);
}

void image_copy_header(Image* dst, const Image* src) {
    delete dst->header;
    delete[] dst->ext_header;
    dst->header = src->header ? new MrcHeader(*src->header) : nullptr;
    dst->ext_header = nullptr;
    if (src->ext_header && src->header && src->header->nsymbt > 0) {
        const size_t bytes = (size_t)src->header->nsymbt + 4;
        dst->ext_header = new unsigned char[bytes];
        std::memcpy(dst->ext_header, src->ext_header, bytes);
    }
    dst->data_offset = src->data_offset;
}

int image_read_sections(const char* file_name, Image* image, void (*visit)(int, Image*, void*), void* user) {
    int code = 0;
    FILE* file = open_float_file(file_name, image, &code);
    if (!file) return code;
    const MrcHeader& h = *image->header;
    const int sections = h.nz;
    if (!give_volume(image, h.nx, h.ny, 1)) {
        fclose(file);
        return -3;
    }
    float lo = std::numeric_limits<float>::infinity(), hi = -lo;
    double sum = 0;
    for (int z = 0; z < sections; ++z) {
        if (!read_floats(file, image->data[0][0], sample_count(image), image->swapped != 0)) {
            fclose(file);
            return -4;
        }
        image_statistics(image);
        lo = std::min(lo, image->min);
        hi = std::max(hi, image->max);
        sum += image->mean * (double)sample_count(image);
        if (visit) visit(z, image, user);
    }
    fclose(file);
    image->min = lo;
    image->max = hi;
    image->mean = sum / ((double)sample_count(image) * sections);
    return 0;
}
