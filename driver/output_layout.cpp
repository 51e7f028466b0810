#include "driver/output_layout.h"

#include <unistd.h>

#include <cerrno>

#include "io/fail.h"
#include "io/output_modes.h"

void output_place_slices(const OutputLayout& layout, int y, int count, const float* values,
                         std::vector<unsigned char>* scratch, const OutputPut& put) {
    const int bytes = output_sample_bytes(layout.mode);
    const int64_t row = layout.nx, slice = row * layout.thickness, j0 = y - layout.first_slice;
    if (!layout.rotx) {
        const int64_t n = slice * count, at = 1024 + j0 * slice * bytes;
        if (layout.mode == 2) return put(at, values, (size_t)n * sizeof(float));
        scratch->resize((size_t)(n * bytes));
        output_pack(values, n, layout.mode, scratch->data());
        return put(at, scratch->data(), scratch->size());
    }
    scratch->resize((size_t)(count * row * bytes));
    for (int k = 0; k < layout.thickness; ++k) {
        const int64_t r = layout.thickness - 1 - k;
        for (int j = 0; j < count; ++j)
            output_pack(values + j * slice + r * row, row, layout.mode, scratch->data() + j * row * bytes);
        put(1024 + ((int64_t)k * layout.slices + j0) * row * bytes, scratch->data(), scratch->size());
    }
}

void output_write_at(int fd, int64_t offset, const void* bytes, size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
        const ssize_t n = pwrite(fd, p, size, (off_t)offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("Error writing output file.\n\n");
        p += n;
        offset += n;
        size -= (size_t)n;
    }
}

void output_append(FILE* file, const void* bytes, size_t size) {
    if (fwrite(bytes, 1, size, file) != size) fail("Error writing output file.\n\n");
}
