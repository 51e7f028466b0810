#include "mpi/shared_output.h"

#include "io/fail.h"

SharedOutput shared_output_open(const std::string& path, int first_slice, int section_floats) {
    SharedOutput out;
    out.first_slice = first_slice;
    out.section_floats = section_floats;
    if (MPI_File_open(MPI_COMM_WORLD, path.c_str(), MPI_MODE_WRONLY, MPI_INFO_NULL, &out.file) != MPI_SUCCESS)
        fail("Unable to open output file.\n\n");
    return out;
}

void shared_output_write(SharedOutput* out, int y, const float* values) {
    const MPI_Offset at = 1024 + (MPI_Offset)(y - out->first_slice) * out->section_floats * (MPI_Offset)sizeof(float);
    MPI_Status status;
    int written = 0;
    if (MPI_File_write_at(out->file, at, values, out->section_floats, MPI_FLOAT, &status) != MPI_SUCCESS ||
        MPI_Get_count(&status, MPI_FLOAT, &written) != MPI_SUCCESS || written != out->section_floats)
        fail("Error writing output file.\n\n");
}

void shared_output_close(SharedOutput* out) {
    if (MPI_File_close(&out->file) != MPI_SUCCESS) fail("Error writing output file.\n\n");
}
