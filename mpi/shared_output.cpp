#include "mpi/shared_output.h"

#include <algorithm>

#include "io/fail.h"

namespace {

// size bytes at offset, in pieces that MPI's int counts can hold.
void write_at(MPI_File file, int64_t offset, const void* bytes, size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
        const int piece = (int)std::min<size_t>(size, (size_t)1 << 30);
        MPI_Status status;
        int written = 0;
        if (MPI_File_write_at(file, (MPI_Offset)offset, p, piece, MPI_BYTE, &status) != MPI_SUCCESS ||
            MPI_Get_count(&status, MPI_BYTE, &written) != MPI_SUCCESS || written != piece)
            fail("Error writing output file.\n\n");
        p += piece;
        offset += piece;
        size -= (size_t)piece;
    }
}

}  // namespace

SharedOutput shared_output_open(const std::string& path, const OutputLayout& layout) {
    SharedOutput out;
    out.layout = layout;
    if (MPI_File_open(MPI_COMM_WORLD, path.c_str(), MPI_MODE_WRONLY, MPI_INFO_NULL, &out.file) != MPI_SUCCESS)
        fail("Unable to open output file.\n\n");
    return out;
}

void shared_output_write(SharedOutput* out, int y, int count, const float* values) {
    output_place_slices(out->layout, y, count, values, &out->scratch,
                        [&](int64_t at, const void* bytes, size_t size) { write_at(out->file, at, bytes, size); });
}

void shared_output_close(SharedOutput* out) {
    if (MPI_File_close(&out->file) != MPI_SUCCESS) fail("Error writing output file.\n\n");
}
