// The slice pipeline: order of reads, products and writes, and its failures (also built alone under TSan).
#include <gtest/gtest.h>

#include <string>

#include "driver/slice_pipeline.h"
#include "io/fail.h"

namespace {

// 10 slices in batches of 4; a step failing at a slice stops the run after the slices before it, its error
// thrown once with the worker joined, and the pipeline runs again.
TEST(SlicePipeline, OrderAndFailures) {
    const struct {
        std::string step;
        int failing_slice;  // -1: none
        const char* log;
        int status;
        std::string message;
    } cases[] = {
        {"read", 5, "r0-3 ", 255, "read failed at 5\n"},
        {"reconstruct", 4, "r0-3 r4-7 ", 1, "reconstruct failed\n"},  // the writes of batch 0 race with the failure
        {"write", 9, "r0-3 r4-7 w0 w10 w20 w30 r8-9 w40 w50 w60 w70 w80 ", 255, "write failed\n"},
        {"none", -1, "r0-3 r4-7 w0 w10 w20 w30 r8-9 w40 w50 w60 w70 w80 w90 ", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        std::string log;
        SliceSteps s;
        s.read = [&](int first, int count, float* sinos) {
            for (int i = 0; i < count; ++i) {
                if (c.step == "read" && first + i == c.failing_slice) failf("read failed at %d\n", first + i);
                sinos[i] = (float)(first + i);
            }
            log.append("r").append(std::to_string(first)).append("-").append(std::to_string(first + count - 1)).append(" ");
        };
        s.reconstruct = [&](int count, float* sinos, float* slices) {
            for (int i = 0; i < count; ++i) {
                if (c.step == "reconstruct" && (int)sinos[i] == c.failing_slice) fail_status(1, "reconstruct failed\n");
                slices[i] = 10 * sinos[i];
            }
        };
        s.write = [&](int count, const float* slices) {
            for (int i = 0; i < count; ++i) {
                if (c.step == "write" && (int)slices[i] == 10 * c.failing_slice) fail("write failed\n");
                log.append("w").append(std::to_string((int)slices[i])).append(" ");
            }
        };
        int status = 0;
        std::string message;
        try {
            run_slice_pipeline(10, 4, 1, 1, s);
        } catch (const RunError& e) {
            status = e.status;
            message = e.what();
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(message, c.message);
        if (c.step == "reconstruct") EXPECT_TRUE(log.starts_with(c.log) && log.find("w40") == std::string::npos) << log;
        else EXPECT_EQ(log, c.log);
    }
}

}  // namespace
