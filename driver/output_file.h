#pragma once
#include <cstdio>
#include <string>
#include <utility>

// The output volume is written to a temporary file in the output's folder,
// named ".<name>.skarbel-XXXXXX", and renamed over the output only once it is
// complete, so an existing output is either left as it was or replaced whole.
// The owner removes the temporary file when it goes out of scope before the
// commit (an error unwinding the run, a stop signal among them); a run killed
// outright may leave it behind. An output that exists but is not a regular
// file (a device; pipes are refused before, refuse_output_pipe) is written directly.
struct OutputFile {
    FILE* file = nullptr;
    std::string path;       // where the volume ends up (a symbolic link resolved)
    std::string temp_path;  // empty when writing directly, or once committed

    OutputFile() = default;
    OutputFile(OutputFile&& other) noexcept { *this = std::move(other); }
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // closes the file and removes the temporary file, if any
};

// Opens the temporary file (or the output itself); a folder that is missing or
// not writable, or an existing output that is not writable, fails with
// "Unable to open output file.\n\n".
OutputFile output_file_open(const char* output_name);

// The folder the output's temporary file goes in ("." for a bare name; a
// symbolic link's target's folder); empty when an existing output is not a
// regular file and is written directly.
std::string output_file_folder(const char* output_name);

// Closes the file and moves it over the output; a failed write, close or rename
// fails with "Error writing output file.\n\n" (the temporary file is then removed by the owner).
void output_file_commit(OutputFile* output);
