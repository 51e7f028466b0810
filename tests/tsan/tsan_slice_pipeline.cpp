// Runs the slice pipeline in a child process per case, with a step failing at
// one slice or none, and checks the exit status: 0, or 255 from the failing
// step; 66 is ThreadSanitizer reporting a race.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/slice_pipeline.h"
#include "io/fail.h"

// The pipeline's page-locked buffers, as plain memory.
float* gpu_host_floats(size_t n) { return static_cast<float*>(std::calloc(n > 0 ? n : 1, sizeof(float))); }
void gpu_host_free(float* p) { std::free(p); }
// The worker's binding to the selected device: nothing to bind here.
void gpu_bind_thread() {}

namespace {

// 40 slices in batches of 3; slice y's sinogram is {y}, its slice {10 y}.
void run_case(const std::string& step, int failing) {
    SliceSteps s;
    float written = 0;
    s.read = [&](int first, int count, float* sinos) {
        for (int i = 0; i < count; ++i) {
            if (step == "read" && first + i == failing) fail("read failed\n");
            sinos[i] = (float)(first + i);
        }
    };
    s.reconstruct = [&](int count, float* sinos, float* slices) {
        for (int i = 0; i < count; ++i) {
            if (step == "reconstruct" && (int)sinos[i] == failing) fail("reconstruct failed\n");
            slices[i] = 10 * sinos[i];
        }
    };
    s.write = [&](int count, const float* slices) {
        for (int i = 0; i < count; ++i) {
            if (step == "write" && (int)slices[i] == 10 * failing) fail("write failed\n");
            if (slices[i] != written) fail("slices out of order\n");
            written += 10;
        }
    };
    run_slice_pipeline(40, 3, 1, 1, s);
    std::exit(written == 400 ? 0 : 1);
}

}  // namespace

int main() {
    const struct {
        const char* step;
        int failing, status;
    } cases[] = {{"none", -1, 0}, {"read", 20, 255}, {"reconstruct", 20, 255}, {"write", 20, 255}, {"write", 39, 255}};
    int bad = 0;
    for (const auto& c : cases) {
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) run_case(c.step, c.failing);
        int status = -1;
        waitpid(pid, &status, 0);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (code != c.status) {
            fprintf(stderr, "%s at %d: exit status %d, expected %d\n", c.step, c.failing, code, c.status);
            bad = 1;
        }
    }
    return bad;
}
