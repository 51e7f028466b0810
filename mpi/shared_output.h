#pragma once
// The output volume as one file written by every rank of the job: each rank
// writes its own slices at their byte offsets through MPI-IO.
#include <mpi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/output_layout.h"

struct SharedOutput {
    MPI_File file = MPI_FILE_NULL;
    OutputLayout layout;
    std::vector<unsigned char> scratch;  // packed samples of the pieces written
};

// Opens the file (made by rank 0, its header already written) on every rank:
// a collective call. Failure: "Unable to open output file.\n\n".
SharedOutput shared_output_open(const std::string& path, const OutputLayout& layout);

// Writes slices y .. y + count - 1 (values as written) at their places after the
// 1024-byte header; a failed or short write ends the job with "Error writing
// output file.\n\n".
void shared_output_write(SharedOutput* out, int y, int count, const float* values);

// Closes the file on every rank (collective); its data is then in the file.
void shared_output_close(SharedOutput* out);
