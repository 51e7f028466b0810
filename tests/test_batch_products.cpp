// Batched products against the single-slice products, bit for bit: every WBP
// level and SIRT, batches of 1, 2, 3 and 16 slices, odd and even sizes,
// tilt-symmetric and asymmetric angles, on every backend. On the host, the
// host forms (matrix builds in tiles, products vectorised over the lanes) also
// against the literal per-item kernels, with every vector set.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/slice_pipeline.h"
#include "gpu/wg.h"
#include "host_simd/host_rows.h"
#include "io/fail.h"
#include "sirt/sirt.h"
#include "support/backends.h"
#include "support/capture.h"
#include "support/files.h"
#include "wbp/wbp_batch.h"
#include "weighting/weighting.h"
#include "wbp_levels.h"
#include "wbp_reference.h"

namespace {

constexpr int kSirt = 4;  // method index after the WBP levels 0 .. 3

struct Case {
    std::vector<float> degrees;
    int sinoX, thickness;
};

const std::vector<Case> kCases = {
    {{70, -60, -40, -20, 20, 40, 60}, 33, 20},  // tilt-symmetric, odd count
    {{90, -60, -30, 0, 30, 60}, 40, 25},        // tilt-symmetric, even count, odd thickness
    {{12, -50, -10, 10, 50}, 31, 31},           // asymmetric: level 3 runs level 2
    {{-60, -40, -20, 0, 20, 40, 60}, 130, 64},  // several row blocks
};
const int kLanes[] = {1, 2, 3, 16};

void set_up(int method, const std::vector<a>& tilts, const Case& c) {
    const int n = (int)tilts.size();
    testing::internal::CaptureStderr();  // the level-3 fallback warns
    if (method == kSirt) sirt_setup(tilts.data(), c.sinoX, n, c.sinoX, c.thickness, n);
    else wbp_setup_level(method, tilts, c.sinoX, c.sinoX, c.thickness);
    testing::internal::GetCapturedStderr();
}

void release(int method) { method == kSirt ? sirt_free() : wbp_free(); }

void expect_same_bits(const std::vector<float>& want, const std::vector<float>& got) {
    ASSERT_EQ(want.size(), got.size());
    size_t differing = 0, first = 0;
    for (size_t i = 0; i < want.size(); ++i)
        if (std::memcmp(&want[i], &got[i], sizeof(float)) != 0 && differing++ == 0) first = i;
    EXPECT_EQ(differing, 0u) << "first at " << first << ": " << want[first] << " vs " << got[first];
}

// The rows of a batch are weighted on all threads, each exactly as alone.
TEST(BatchWeighting, RowsOnAllThreadsEqualRowsOneByOne) {
    for (int nx : {1, 37, 512}) {
        weighting_setup(nx, 1);
        const std::vector<float> rows = wbp_ref::random_values((size_t)nx * 61 * 3, nx);
        std::vector<float> alone = rows, together = rows;
        for (size_t r = 0; r < 61 * 3; ++r) weighting_filter_row(nx, &alone[r * nx]);
        weighting_filter_rows(nx, together.data(), 61 * 3);
        expect_same_bits(alone, together);
        weighting_teardown();
    }
}

// The pipeline over 10 slices in batches of 4: slice y's sinogram is {y}, its
// slice {10 y}; steps log what they see on standard output. A step that fails
// at a slice ends the process with its message after the slices before it.
struct PipelineCase {
    const char* step;
    int failing_slice;  // -1: none
    const char* out;
};

TEST(SlicePipeline, OrderAndFailures) {
    const std::vector<PipelineCase> cases = {
        {"none", -1, "r0-3 r4-7 w0 w10 w20 w30 r8-9 w40 w50 w60 w70 w80 w90 "},
        {"read", 5, "r0-3 "},
        {"reconstruct", 4, "r0-3 r4-7 "},  // the writes of batch 0 race with the failure
        {"write", 9, "r0-3 r4-7 w0 w10 w20 w30 r8-9 w40 w50 w60 w70 w80 "},
    };
    for (const PipelineCase& c : cases) {
        SCOPED_TRACE(c.step);
        const std::string step = c.step;
        const Captured r = capture_exit([&] {
            SliceSteps s;
            s.read = [&](int first, int count, float* sinos) {
                for (int i = 0; i < count; ++i)
                    if (step == "read" && first + i == c.failing_slice) fail("read failed\n");
                    else sinos[i] = (float)(first + i);
                printf("r%d-%d ", first, first + count - 1);
            };
            s.reconstruct = [&](int count, float* sinos, float* slices) {
                for (int i = 0; i < count; ++i)
                    if (step == "reconstruct" && (int)sinos[i] == c.failing_slice) fail("reconstruct failed\n");
                    else slices[i] = 10 * sinos[i];
            };
            s.write = [&](int count, const float* slices) {
                for (int i = 0; i < count; ++i)
                    if (step == "write" && (int)slices[i] == 10 * c.failing_slice) fail("write failed\n");
                    else printf("w%d ", (int)slices[i]);
            };
            run_slice_pipeline(10, 4, 1, 1, s);
        });
        if (step == "reconstruct") EXPECT_TRUE(r.out.starts_with(c.out)) << r.out;
        else EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.failing_slice < 0 ? 0 : 255);
        EXPECT_EQ(r.err, c.failing_slice < 0 ? "" : step + " failed\n");
    }
}

// Whole runs: every batch size gives the bytes of one slice at a time, with a
// last partial batch and with fewer slices than a batch.
TEST(BatchRuns, OutputBytesOfEveryBatchSize) {
    TempDir dir;
    const int nx = 21, ny = 7, nz = 6;
    write_test_stack(dir.file("s.mrc"), nx, ny, nz, 2, wbp_ref::random_values((size_t)nx * ny * nz, 3));
    write_tilt_file(dir.file("s.tlt"), {90, -50, -20, 0, 20, 50});
    for (const char* method : {"-s0", "-s1", "-s2", "-s3", "-S"}) {
        auto run = [&](const std::string& batch) {
            const Captured r = run_skarbel({method, "-z9", "-i4", batch, dir.file("s.tlt"), dir.file("s.mrc"),
                                            dir.file("o.mrc")});
            EXPECT_EQ(r.status, 0) << r.err;
            return r.out + read_file(dir.file("o.mrc"));
        };
        const std::string one = run("--batch=1");
        for (const char* b : {"--batch=2", "--batch=3", "--batch=16", "-z9"}) EXPECT_EQ(run(b), one) << method << b;
    }
}

class BatchProducts : public testing::TestWithParam<GpuBackend> {};

TEST_P(BatchProducts, EverySliceEqualsItsSingleSliceProduct) {
    USE_BACKEND_OR_SKIP(GetParam());
    uint32_t seed = 1;
    for (int method = 0; method <= kSirt; ++method) {
        for (const Case& c : kCases) {
            const std::vector<a> tilts = tilt_records(c.degrees);
            const int n = (int)tilts.size(), X = c.sinoX, T = c.thickness;
            const size_t sino = (size_t)X * n, npix = (size_t)X * T;
            set_up(method, tilts, c);
            for (int lanes : kLanes) {
                SCOPED_TRACE(testing::Message() << "method " << method << ", " << X << " x " << n << " -> "
                                                << T << ", " << lanes << " lanes");
                const std::vector<float> sinos = wbp_ref::random_values(sino * lanes, ++seed);
                std::vector<float> single(npix * lanes), batch(npix * lanes, 7.0f);
                for (int l = 0; l < lanes; ++l) {
                    if (method == kSirt)
                        sirt_reconstruct_slice(&single[l * npix], &sinos[l * sino], X, n, X, T, 3);
                    else wbp_product_level(method, &single[l * npix], &sinos[l * sino], X, n, X, T);
                }
                if (method == kSirt) sirt_reconstruct_batch(batch.data(), sinos.data(), lanes, X, n, X, T, 3);
                else wbp_product_batch(method, batch.data(), sinos.data(), lanes, X, n, X, T);
                expect_same_bits(single, batch);
            }
            release(method);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, BatchProducts, testing::ValuesIn(test_backends()), backend_param_name);

// Set-up and batches of every size in kLanes, in the literal per-item forms of
// all kernels or in the host forms.
std::vector<float> host_batches(int method, const Case& c, bool literal) {
    host_literal_forms = literal;
    const std::vector<a> tilts = tilt_records(c.degrees);
    const int n = (int)tilts.size(), X = c.sinoX, T = c.thickness;
    set_up(method, tilts, c);
    std::vector<float> all;
    uint32_t seed = 9;
    for (int lanes : kLanes) {
        const std::vector<float> sinos = wbp_ref::random_values((size_t)X * n * lanes, ++seed);
        std::vector<float> out((size_t)X * T * lanes);
        if (method == kSirt) sirt_reconstruct_batch(out.data(), sinos.data(), lanes, X, n, X, T, 2);
        else wbp_product_batch(method, out.data(), sinos.data(), lanes, X, n, X, T);
        all.insert(all.end(), out.begin(), out.end());
    }
    release(method);
    host_literal_forms = false;
    return all;
}

TEST(BatchHostForms, VectorFormsEqualLiteralKernels) {
    gpu_use_backend(GPU_BACKEND_HOST);
    for (host_rows::Vectors v : host_rows::kAllVectors) {
        if (!host_rows::use_vectors(v)) continue;
        for (int method = 0; method <= kSirt; ++method)
            for (const Case& c : kCases) {
                SCOPED_TRACE(testing::Message() << host_rows::vectors_name(v) << ", method " << method << ", "
                                                << c.sinoX << " x " << c.degrees.size() << " -> " << c.thickness);
                expect_same_bits(host_batches(method, c, true), host_batches(method, c, false));
            }
    }
    host_rows::use_widest_vectors();
}

}  // namespace
