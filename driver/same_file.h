#pragma once
#include <cstdio>

// Ends the run when output_name names the same file (device and inode) as the
// open input stack or the tilt-angle file, before the output is opened for
// writing: opening it would truncate the user's data.
void refuse_output_over_inputs(const char* output_name, FILE* stack, const char* tilt_file);

// Ends the run when output_name is the same file as the standard output or
// standard error (the null device aside): the progress lines would land in the
// volume.
void refuse_output_on_std_streams(const char* output_name);

// Ends the run when output_name is a pipe or a socket: the header, completed
// last, goes at the start of the file, which a pipe cannot take back.
void refuse_output_pipe(const char* output_name);

// The three refusals above, in that order: what a run and --estimate check of
// the output before anything is written.
void refuse_unsafe_output(const char* output_name, FILE* stack, const char* tilt_file);
