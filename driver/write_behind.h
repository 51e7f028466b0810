#pragma once
// Volumes written front to back are handed to the disk as they go and leave
// the page cache once written back. Without it a volume of gigabytes fills
// the page cache, and every page of it is fresh memory the kernel clears (on
// a virtual machine, also memory the host must first provide), which can cost
// as much as the reconstruction's own work. Advisory only: where the file
// system does not take the hints the output is written as before.
#include <cstdint>
#include <cstdio>

struct WriteBehind {
    int64_t started = 0;   // bytes handed to the disk
    int64_t previous = 0;  // `started` as the previous call left it
    int64_t dropped = 0;   // bytes asked twice to leave the page cache
};

// After an append to `file`: starts the write-back of what was appended since
// the last call, and asks the page cache to drop what earlier calls handed
// over (twice, so a page still under write-back at the first call goes at the
// second). Never waits for the disk. A write error the kernel reports here
// fails with "Error writing output file.\n\n".
void write_behind(WriteBehind* w, FILE* file);
