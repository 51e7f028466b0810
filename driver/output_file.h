#pragma once
#include <cstdio>
#include <string>

// The output volume is written to a temporary file in the output's folder,
// named ".<name>.skarbel-XXXXXX", and renamed over the output only once it is
// complete, so an existing output is either left as it was or replaced whole.
// Every exit before that removes the temporary file; a run killed by a signal
// may leave it behind. An output that exists but is not a regular file (a
// device or a pipe) is written directly.
struct OutputFile {
    FILE* file = nullptr;
    std::string path;       // where the volume ends up (a symbolic link resolved)
    std::string temp_path;  // empty when writing directly
};

// Opens the temporary file (or the output itself); a folder that is missing or
// not writable, or an existing output that is not writable, ends the run with
// "Unable to open output file.\n\n".
OutputFile output_file_open(const char* output_name);

// The folder the output's temporary file goes in ("." for a bare name; a
// symbolic link's target's folder); empty when an existing output is not a
// regular file and is written directly.
std::string output_file_folder(const char* output_name);

// Closes the file and moves it over the output; a failed write, close or rename
// ends the run with "Error writing output file.\n\n".
void output_file_commit(OutputFile* output);
