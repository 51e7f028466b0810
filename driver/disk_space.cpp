#include "driver/disk_space.h"

#include <sys/statvfs.h>

#include "driver/output_file.h"
#include "io/fail.h"

DiskSpace output_disk_space(const char* output_name) {
    DiskSpace space;
    space.folder = output_file_folder(output_name);
    struct statvfs fs;
    if (space.folder.empty() || statvfs(space.folder.c_str(), &fs) != 0) return space;
    space.known = true;
    space.free_bytes = (double)fs.f_bavail * (double)fs.f_frsize;
    return space;
}

void check_disk_space(int64_t needed_bytes, const DiskSpace& space) {
    if (!space.known || (double)needed_bytes <= space.free_bytes) return;
    failf("Not enough disk space for the output: %.2f Mb needed, %.2f Mb free in %s.\n\n",
          (double)needed_bytes / 1048576.0, space.free_bytes / 1048576.0, space.folder.c_str());
}
