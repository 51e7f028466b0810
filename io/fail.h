#pragma once
// Every error of the program is thrown as a RunError holding the exact text
// the program prints for it and its exit status; the program's main (or any
// other caller of the library, such as the Python module) catches it, prints
// the text and ends with the status. Owners of resources (the output's
// temporary file, the slice pipeline's thread) release them while unwinding.
#include <stdexcept>
#include <string>

struct RunError : std::runtime_error {
    // 255 for the program's errors, 1 for the device-selection errors; 0 for a
    // run that has finished early (--help, --version), whose text goes to
    // standard output instead.
    int status;
    RunError(const std::string& message, int status) : std::runtime_error(message), status(status) {}
};

// Throws RunError(message, 255): the message is printed exactly as given.
[[noreturn]] void fail(const char* message);
// printf-style variant of fail.
[[noreturn]] void failf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// printf-style, with the given exit status.
[[noreturn]] void fail_status(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// What a main does with a caught error: prints its text (standard error, or
// standard output for a finished run), flushes both streams and returns the
// exit status.
int report_run_error(const RunError& e);

// A program's main: the status main_body returns, or that of the error it threw, reported.
int main_reporting_errors(int (*main_body)(int, char**), int argc, char** argv);
