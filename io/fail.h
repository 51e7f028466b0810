#pragma once
// Every error of the program ends the process at once with a fixed message on
// standard error; nothing is cleaned up.

// Writes message to standard error exactly as given and exits with status -1.
[[noreturn]] void fail(const char* message);
// printf-style variant of fail.
[[noreturn]] void failf(const char* format, ...) __attribute__((format(printf, 1, 2)));
