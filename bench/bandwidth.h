#pragma once
#include <cstddef>

// Copy bandwidth of the host's memory in bytes per second, counting the bytes
// read and the bytes written (the STREAM "copy" convention), all threads, over
// buffers far larger than the caches. The fastest of a few repetitions.
double host_copy_bandwidth(size_t bytes = size_t(1) << 29);
