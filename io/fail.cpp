#include "io/fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {
// The slice pipeline runs reading and writing beside the products: the first
// thread to fail prints its message and ends the process; any other that fails
// meanwhile waits here for the end instead of printing a second message.
std::mutex failing;
}  // namespace

void fail(const char* message) {
    failing.lock();
    fputs(message, stderr);
    exit(-1);
}

void failf(const char* format, ...) {
    failing.lock();
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    exit(-1);
}
