#include "driver/write_behind.h"

#include <fcntl.h>

#include <cerrno>

#include "io/fail.h"

void write_behind(WriteBehind* w, FILE* file) {
    if (fflush(file) != 0) fail("Error writing output file.\n\n");
    const int fd = fileno(file);
    const int64_t end = ftello(file);
    // The kernel keeps pages still dirty or under write-back, so this never waits.
    if (w->started > w->dropped) posix_fadvise(fd, w->dropped, w->started - w->dropped, POSIX_FADV_DONTNEED);
    w->dropped = w->previous;
    w->previous = w->started;
    if (end <= w->started) return;
    if (sync_file_range(fd, w->started, end - w->started, SYNC_FILE_RANGE_WRITE) != 0 &&
        (errno == EIO || errno == ENOSPC))
        fail("Error writing output file.\n\n");
    w->started = end;
}
