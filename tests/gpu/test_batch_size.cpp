// The batch size for a run's host, GPU and sharing processes, and each MPI
// rank's share (slices, threads, GPU, device memory).
#include "support/common.h"

#include <cstdlib>

#include "driver/rank_share.h"
#include "driver/slice_range.h"
#include "gpu/batch_size.h"
#include "gpu/gpu_layer.h"

namespace {

constexpr long long MiB = 1LL << 20, GiB = 1LL << 30;

// 512^2 and 4096^2 slices from 61 tilts: 4.6 MiB (2.2 page-locked) and 261 MiB (130) per slice.
const BatchNeed small{512 * 61, 512 * 512, 5, 4};
const BatchNeed large{4096 * 61, 4096LL * 4096, 5, 4};

BatchRoom gpu_room(long long free, long long host, int device_processes = 1, int host_processes = 1) {
    return {true, free, host, 0, device_processes, host_processes};
}

BatchRoom host_room(long long cache, long long host, int processes = 1) {
    return {false, 0, host, cache, processes, processes};
}

}  // namespace

TEST(BatchSize, ChoiceAndFitOnEveryDeviceAndShare) {
    const struct {
        const char* what;
        BatchNeed need;
        BatchRoom room;
        int requested;  // 0: the automatic choice
        int batch;
    } cases[] = {
        // GPU: half the free memory / 261 MiB, a quarter of the host memory / 130 MiB, at most 64.
        {"H100, small slices", small, gpu_room(80 * GiB, 64 * GiB), 0, 64},
        {"H100, 4096^2 slices", large, gpu_room(80 * GiB, 64 * GiB), 0, 64},
        {"H100, 16 GiB host: pinned batches", large, gpu_room(80 * GiB, 16 * GiB), 0, 31},
        {"8 GiB free", large, gpu_room(8 * GiB, 64 * GiB), 0, 15},
        {"4 ranks on one GPU", large, gpu_room(80 * GiB, 128 * GiB, 4, 4), 0, 39},
        {"8 ranks on 8 GPUs", large, gpu_room(80 * GiB, 128 * GiB, 1, 8), 0, 31},
        {"free memory unknown", large, gpu_room(0, 64 * GiB), 0, 1},
        {"less than one slice free", large, gpu_room(400 * MiB, 64 * GiB), 0, 1},
        {"host memory unknown", large, gpu_room(80 * GiB, 0), 0, 64},
        // Host: 16, halved while 2 x batch sinograms exceed the cache or 4 x batch
        // buffers the host memory of this process.
        {"host, 32 MiB cache", small, host_room(32 * MiB, 64 * GiB), 0, 16},
        {"host, 2 MiB cache", small, host_room(2 * MiB, 64 * GiB), 0, 8},
        {"host, 4096^2 slices", large, host_room(32 * MiB, 64 * GiB), 0, 16},
        {"host, 16 GiB", large, host_room(32 * MiB, 16 * GiB), 0, 8},
        {"host, 4 ranks in 32 GiB", large, host_room(32 * MiB, 32 * GiB, 4), 0, 4},
        {"host, nothing known", large, host_room(0, 0), 0, 16},
        // Asked for: lowered to what half the memory of this process holds.
        {"host, asked 64", large, host_room(32 * MiB, 64 * GiB), 64, 64},
        {"host, asked 200", large, host_room(32 * MiB, 64 * GiB), 200, 125},
        {"host, asked 64, 4 ranks", large, host_room(32 * MiB, 64 * GiB, 4), 64, 31},
        {"GPU, asked 300", large, gpu_room(80 * GiB, 64 * GiB), 300, 157},
        {"GPU, asked 64, 4 ranks on one GPU", large, gpu_room(80 * GiB, 128 * GiB, 4, 4), 64, 39},
        {"GPU, asked 64, 2 ranks, 16 GiB host", large, gpu_room(80 * GiB, 16 * GiB, 1, 2), 64, 31},
        {"GPU, asked 5, nothing known", large, gpu_room(0, 0), 5, 5},
        {"GPU, asked 3, 200 MiB free", large, gpu_room(200 * MiB, 64 * GiB), 3, 1},
    };
    for (const auto& c : cases) {
        const int got = c.requested > 0 ? batch_size_fit_in(c.requested, c.need, c.room) : batch_size_for(c.need, c.room);
        EXPECT_EQ(got, c.batch) << c.what;
    }
}

TEST(BatchSize, ProcessesSharingTheDeviceOfARank) {
    const struct {
        int requested, local_rank, local_ranks, gpus;
        int device_processes, host_processes;
    } cases[] = {
        {-1, 0, 1, 1, 1, 1},  // a lone rank
        {-1, 2, 4, 4, 1, 4},  // a GPU per rank
        {-1, 0, 3, 2, 2, 3},  // GPU 0 takes ranks 0 and 2
        {-1, 2, 3, 2, 2, 3},
        {-1, 1, 3, 2, 1, 3},  // GPU 1 takes rank 1 alone
        {-1, 3, 8, 3, 3, 8},  // GPU 0: ranks 0, 3 and 6
        {-1, 5, 8, 3, 2, 8},  // GPU 2: ranks 2 and 5
        {1, 2, 4, 4, 4, 4},   // -g1 on every rank: one GPU for all
        {-1, 2, 4, 0, 4, 4},  // no GPU: the host is the device of all
    };
    for (const auto& c : cases) {
        const DeviceShare s = rank_device_share(c.requested, c.local_rank, c.local_ranks, c.gpus);
        EXPECT_EQ(std::pair(s.device_processes, s.host_processes), std::pair(c.device_processes, c.host_processes))
            << c.requested << " " << c.local_rank << "/" << c.local_ranks << " on " << c.gpus;
        // Every rank of the node on that device counts the same sharers.
        if (c.requested < 0 && c.gpus > 0) {
            int same = 0;
            for (int r = 0; r < c.local_ranks; ++r) same += rank_gpu(-1, r, c.gpus) == rank_gpu(-1, c.local_rank, c.gpus);
            EXPECT_EQ(same, c.device_processes);
        }
    }
}

// A device shared by three processes leaves each a third of its memory for the set-ups' check.
TEST(BatchSize, ASharedDeviceDividesTheMemoryCheck) {
    if (host_available_memory_mb() < 3000.0f) GTEST_SKIP() << "less than 3000 Mb available";
    for (const int sharers : {1, 3}) {
        const Captured c = capture_exit([&] {
            setenv("CUDA_VISIBLE_DEVICES", "", 1);
            host_memory_cap_mb = 3000.0f;
            const GpuDevice device = gpu_select_device(-1, false, DeviceShare{sharers, sharers});
            printf("%.2f %d %d|", (double)device.memory_mb, device.share.device_processes,
                   device.share.host_processes);
            fflush(stdout);
            gpu_check_memory(1000.5f, device.memory_mb, "wbp");
        });
        EXPECT_EQ(c.status, sharers == 1 ? 0 : 255);
        EXPECT_EQ(c.out, sharers == 1 ? "3000.00 1 1|" : "1000.00 3 3|");
        EXPECT_EQ(c.err, sharers == 1 ? "" : "GPU: 1000.00 Mb. Not enough memory for run wbp: 1000.50 Mb\n");
    }
}

// Slabs cover the range in rank order, the larger first, differing by one slice at most.
TEST(SliceRange, SlabsSplitTheRangeInOrder) {
    for (int count = 0; count <= 9; ++count)
        for (int parts = 1; parts <= 6; ++parts) {
            const SliceRange range{3, 3 + count - 1};
            int next = range.first;
            for (int p = 0; p < parts; ++p) {
                const SliceRange s = slab_of(range, parts, p);
                const int expected = count / parts + (p < count % parts ? 1 : 0);
                EXPECT_EQ(s.first, next) << count << " " << parts << " " << p;
                EXPECT_EQ(slice_count(s), expected) << count << " " << parts << " " << p;
                next = s.last + 1;
            }
            EXPECT_EQ(next, range.last + 1);
        }
    // Threads: the node's CPUs shared by its ranks, within what the process may use.
    EXPECT_EQ(rank_threads(16, 16, 4), 4);
    EXPECT_EQ(rank_threads(16, 1, 4), 1);
    EXPECT_EQ(rank_threads(2, 2, 5), 1);
    // GPUs: a requested one stays; otherwise the local rank's, modulo the GPUs.
    EXPECT_EQ(rank_gpu(1, 3, 4), 1);
    EXPECT_EQ(rank_gpu(-1, 5, 4), 1);
    EXPECT_EQ(rank_gpu(-1, 5, 0), -1);
}
