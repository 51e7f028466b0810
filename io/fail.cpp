#include "io/fail.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void fail(const char* message) {
    fputs(message, stderr);
    exit(-1);
}

void failf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    exit(-1);
}
