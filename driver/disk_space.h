#pragma once
// The output's folder must have room for the whole output before any
// reconstruction work starts: an hour of work lost to a full disk at the end is
// the failure this prevents.
#include <cstdint>
#include <string>

struct DiskSpace {
    bool known = false;   // false: the output is not a regular file, or its folder cannot be asked
    double free_bytes = 0;
    std::string folder;   // where the output's temporary file goes
};

// Free space, for an ordinary user, of the folder the output is written in. An
// existing output still takes its space until the new file is renamed over it,
// so it does not count as free.
DiskSpace output_disk_space(const char* output_name);

// Ends the run with "Not enough disk space for the output: <needed> Mb needed,
// <free> Mb free in <folder>.\n\n" when the space is known and smaller than needed.
void check_disk_space(int64_t needed_bytes, const DiskSpace& space);
