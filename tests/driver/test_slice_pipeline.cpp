// The slice pipeline: order of reads, products and writes, its failures, and
// whole runs of the program at every batch size.
#include "driver/slice_pipeline.h"
#include "io/fail.h"
#include "support/common.h"
#include "wbp/wbp_reference.h"

namespace {

// 10 slices in batches of 4: slice y's sinogram is {y}, its slice {10 y}; the
// steps log what they see on standard output. A step that fails at a slice
// stops the run with its one message after the slices before it.
TEST(SlicePipeline, OrderAndFailures) {
    const struct {
        std::string step;
        int failing_slice;  // -1: none
        const char* out;
    } cases[] = {
        {"none", -1, "r0-3 r4-7 w0 w10 w20 w30 r8-9 w40 w50 w60 w70 w80 w90 "},
        {"read", 5, "r0-3 "},
        {"reconstruct", 4, "r0-3 r4-7 "},  // the writes of batch 0 race with the failure
        {"write", 9, "r0-3 r4-7 w0 w10 w20 w30 r8-9 w40 w50 w60 w70 w80 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        const Captured r = capture_exit([&] {
            SliceSteps s;
            s.read = [&](int first, int count, float* sinos) {
                for (int i = 0; i < count; ++i) {
                    if (c.step == "read" && first + i == c.failing_slice) fail("read failed\n");
                    sinos[i] = (float)(first + i);
                }
                printf("r%d-%d ", first, first + count - 1);
            };
            s.reconstruct = [&](int count, float* sinos, float* slices) {
                for (int i = 0; i < count; ++i) {
                    if (c.step == "reconstruct" && (int)sinos[i] == c.failing_slice) fail("reconstruct failed\n");
                    slices[i] = 10 * sinos[i];
                }
            };
            s.write = [&](int count, const float* slices) {
                for (int i = 0; i < count; ++i) {
                    if (c.step == "write" && (int)slices[i] == 10 * c.failing_slice) fail("write failed\n");
                    printf("w%d ", (int)slices[i]);
                }
            };
            run_slice_pipeline(10, 4, 1, 1, s);
        });
        if (c.step == "reconstruct") EXPECT_TRUE(r.out.starts_with(c.out)) << r.out;
        else EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.failing_slice < 0 ? 0 : 255);
        EXPECT_EQ(r.err, c.failing_slice < 0 ? "" : c.step + " failed\n");
    }
}

// In this process: an error of either thread reaches the caller as the one
// RunError thrown, with the thread joined, and the pipeline runs again.
TEST(SlicePipeline, CarriesErrorsToTheCaller) {
    for (const std::string failing : {"read", "reconstruct", "write", "none"}) {
        SCOPED_TRACE(failing);
        SliceSteps s;
        std::vector<float> written;
        s.read = [&](int first, int count, float* sinos) {
            for (int i = 0; i < count; ++i) sinos[i] = (float)(first + i);
            if (failing == "read" && first >= 4) failf("read failed at %d\n", first);
        };
        s.reconstruct = [&](int count, float* sinos, float* slices) {
            for (int i = 0; i < count; ++i) slices[i] = 10 * sinos[i];
            if (failing == "reconstruct" && sinos[0] >= 4) fail_status(1, "reconstruct failed\n");
        };
        s.write = [&](int count, const float* slices) {
            if (failing == "write" && slices[0] >= 40) fail("write failed\n");
            written.insert(written.end(), slices, slices + count);
        };
        try {
            run_slice_pipeline(10, 4, 1, 1, s);
            EXPECT_EQ(failing, "none");
            EXPECT_EQ(written.size(), 10u);
        } catch (const RunError& e) {
            EXPECT_EQ(std::string(e.what()), failing == "read" ? "read failed at 4\n" : failing + " failed\n");
            EXPECT_EQ(e.status, failing == "reconstruct" ? 1 : 255);
            EXPECT_LE(written.size(), 4u);
        }
    }
}

// Every batch size gives the bytes and texts of one slice at a time, with a
// last partial batch and with fewer slices than a batch.
TEST(SlicePipeline, RunsOfEveryBatchSize) {
    TempDir dir;
    const int nx = 21, ny = 7, nz = 6;
    write_test_stack(dir.file("s.mrc"), nx, ny, nz, 2, wbp_ref::random_values((size_t)nx * ny * nz, 3));
    write_tilt_file(dir.file("s.tlt"), {90, -50, -20, 0, 20, 50});
    for (const char* method : {"-s0", "-s1", "-s2", "-s3", "-S"}) {
        auto run = [&](const std::string& batch) {
            const Captured r = run_skarbel({method, "-z9", "-i4", batch, dir.file("s.tlt"), dir.file("s.mrc"),
                                            dir.file("o.mrc")});
            EXPECT_EQ(r.status, 0) << r.err;
            return r.out + r.err + read_file(dir.file("o.mrc"));
        };
        const std::string one = run("--batch=1");
        for (const char* b : {"--batch=2", "--batch=3", "--batch=16", "-z9"}) EXPECT_EQ(run(b), one) << method << b;
    }
}

}  // namespace
