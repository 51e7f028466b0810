#include "driver/same_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include "io/fail.h"

namespace {

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

void refuse_output_over_inputs(const char* output_name, FILE* stack, const char* tilt_file) {
    struct stat output;
    if (stat(output_name, &output) != 0) return;  // does not exist yet: nothing to lose
    struct stat input;
    if (fstat(fileno(stack), &input) == 0 && same_file(output, input))
        fail("Output file is the input tilt series; refusing to overwrite it.\n\n");
    struct stat tilts;
    if (stat(tilt_file, &tilts) == 0 && same_file(output, tilts))
        fail("Output file is the tilt-angle file; refusing to overwrite it.\n\n");
}

void refuse_output_on_std_streams(const char* output_name) {
    struct stat output;
    if (stat(output_name, &output) != 0) return;
    // A volume sent to the null device is discarded anyway; nothing can mix.
    struct stat null_device;
    if (stat("/dev/null", &null_device) == 0 && same_file(output, null_device)) return;
    struct stat stream;
    if (fstat(STDOUT_FILENO, &stream) == 0 && same_file(output, stream))
        fail("Output file is the standard output; refusing to write the volume there.\n\n");
    if (fstat(STDERR_FILENO, &stream) == 0 && same_file(output, stream))
        fail("Output file is the standard error; refusing to write the volume there.\n\n");
}

void refuse_output_pipe(const char* output_name) {
    struct stat output;
    if (stat(output_name, &output) == 0 && (S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode)))
        fail("Output file is a pipe; refusing it: the volume's header is completed last, at the start of the file, "
             "which a pipe cannot take back.\n\n");
}

void refuse_unsafe_output(const char* output_name, FILE* stack, const char* tilt_file) {
    refuse_output_over_inputs(output_name, stack, tilt_file);
    refuse_output_on_std_streams(output_name);
    refuse_output_pipe(output_name);
}
