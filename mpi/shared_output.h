#pragma once
// The output volume as one file written by every rank of the job: each rank
// writes its own sections at their byte offsets through MPI-IO.
#include <mpi.h>

#include <cstdint>
#include <string>

struct SharedOutput {
    MPI_File file = MPI_FILE_NULL;
    int first_slice = 0;       // stack slice of output section 0
    int section_floats = 0;    // NX x thickness
};

// Opens the file (made by rank 0, its header already written) on every rank:
// a collective call. Failure: "Unable to open output file.\n\n".
SharedOutput shared_output_open(const std::string& path, int first_slice, int section_floats);

// Writes the section of stack slice y after the 1024-byte header; a failed or
// short write ends the job with "Error writing output file.\n\n".
void shared_output_write(SharedOutput* out, int y, const float* values);

// Closes the file on every rank (collective); its data is then in the file.
void shared_output_close(SharedOutput* out);
