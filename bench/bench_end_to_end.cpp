// End-to-end wall time of the skarbel program on a 512 x 512 x 61 stack at
// thickness 512 (512 slices of 512 x 512), one slice at a time (--batch=1) and
// in the batches the program chooses, at every WBP level and for SIRT (with 3
// iterations, to keep a run short). Arguments: method (0 .. 3 the WBP levels, 4
// SIRT) and batch (1, or 0 for the program's choice). The stack holds random
// samples; the run's host device is the machine's cores.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tools/stack_writer.h"

namespace {

constexpr int kWidth = 512, kSlices = 512, kTilts = 61;

struct Files {
    std::string dir, stack, tilts, out;
};

const Files& files() {
    static const Files f = [] {
        char tmpl[] = "/tmp/skarbel_e2e_XXXXXX";
        Files f;
        f.dir = mkdtemp(tmpl);
        f.stack = f.dir + "/stack.mrc";
        f.tilts = f.dir + "/stack.tlt";
        f.out = f.dir + "/out.mrc";
        std::vector<float> samples((size_t)kWidth * kSlices * kTilts);
        std::mt19937 gen(1);
        std::uniform_real_distribution<float> dist(0.0f, 1.0f);
        for (float& v : samples) v = dist(gen);
        write_stack(f.stack, kWidth, kSlices, kTilts, samples, StackFormat{});
        // Tilt-symmetric angles, so that level 3 runs as itself.
        FILE* t = fopen(f.tilts.c_str(), "w");
        for (int i = 0; i < kTilts; ++i) fprintf(t, "%g\n", i == 0 ? -60.0 : -59.0 + 2.0 * (i - 1));
        fclose(t);
        return f;
    }();
    return f;
}

// Runs the program with its outputs sent to /dev/null; true on exit status 0.
bool run(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_EndToEnd(benchmark::State& state) {
    const int method = (int)state.range(0), batch = (int)state.range(1);
    const Files& f = files();
    std::vector<std::string> args = {SKARBEL_BIN};
    args.push_back(method == 4 ? "-S" : "-s" + std::to_string(method));
    if (method == 4) args.push_back("-i3");
    if (batch > 0) args.push_back("--batch=" + std::to_string(batch));
    args.insert(args.end(), {f.tilts, f.stack, f.out});
    for (auto _ : state)
        if (!run(args)) state.SkipWithError("skarbel failed");
}

void Args(benchmark::internal::Benchmark* b) {
    for (int method = 0; method <= 4; ++method)
        for (int batch : {1, 0}) b->Args({method, batch});
}

BENCHMARK(BM_EndToEnd)->Apply(Args)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const Files& f = files();
    for (const std::string& p : {f.stack, f.tilts, f.out}) std::remove(p.c_str());
    rmdir(f.dir.c_str());
    return 0;
}
