#include "io/fail.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

std::string formatted(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, format, args);
    std::vector<char> text(n > 0 ? (size_t)n + 1 : 1, '\0');
    if (n > 0) vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    return std::string(text.data(), n > 0 ? (size_t)n : 0);
}

}  // namespace

void fail(const char* message) { throw RunError(message, 255); }

void failf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = formatted(format, args);
    va_end(args);
    throw RunError(message, 255);
}

void fail_status(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = formatted(format, args);
    va_end(args);
    throw RunError(message, status);
}

int report_run_error(const RunError& e) {
    fputs(e.what(), e.status == 0 ? stdout : stderr);
    fflush(stdout);
    fflush(stderr);
    return e.status;
}

int main_reporting_errors(int (*main_body)(int, char**), int argc, char** argv) {
    try {
        return main_body(argc, argv);
    } catch (const RunError& e) {
        return report_run_error(e);
    }
}
