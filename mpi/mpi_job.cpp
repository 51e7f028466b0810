#include "mpi/mpi_job.h"

#include <mpi.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "driver/stop_signals.h"
#include "io/fail.h"

namespace {

// The output's temporary file, removed when the job ends early, and whether the
// output is complete; the signal thread reads both.
std::mutex g_job_mutex;
std::string g_temp_file;
bool g_finished = false;

void wait_for_stop_signals() {
    const sigset_t set = stop_signal_set();
    for (;;) {
        int signo = 0;
        if (sigwait(&set, &signo) != 0) continue;
        // The job's other ranks get a signal too (from mpirun, or as the job
        // ends): the one that removes the temporary file says why.
        bool first = true;
        {
            const std::lock_guard<std::mutex> lock(g_job_mutex);
            if (g_finished) continue;
            if (!g_temp_file.empty()) first = unlink(g_temp_file.c_str()) == 0;
            g_temp_file.clear();
        }
        if (first) {
            fprintf(stderr, "Stopped by signal %s: no output written.\n\n", stop_signal_name(signo));
            fflush(stderr);
        }
        mpi_end_job(128 + signo);
    }
}

}  // namespace

JobPlace mpi_job_place() {
    JobPlace p;
    MPI_Comm_rank(MPI_COMM_WORLD, &p.rank);
    MPI_Comm_size(MPI_COMM_WORLD, &p.ranks);
    MPI_Comm node;
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, p.rank, MPI_INFO_NULL, &node);
    MPI_Comm_rank(node, &p.local_rank);
    MPI_Comm_size(node, &p.local_ranks);
    MPI_Comm_free(&node);
    return p;
}

void mpi_end_job(int status) {
    {
        const std::lock_guard<std::mutex> lock(g_job_mutex);
        if (!g_temp_file.empty()) unlink(g_temp_file.c_str());
        g_temp_file.clear();  // once, whichever thread ends the job
    }
    MPI_Abort(MPI_COMM_WORLD, status & 255);
    std::_Exit(status);  // MPI_Abort does not return
}

void mpi_job_temp_file(const std::string& path) {
    const std::lock_guard<std::mutex> lock(g_job_mutex);
    g_temp_file = path;
}

void mpi_job_finished() {
    const std::lock_guard<std::mutex> lock(g_job_mutex);
    g_finished = true;
    g_temp_file.clear();
}

void mpi_block_stop_signals() {
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void mpi_watch_stop_signals() { std::thread(wait_for_stop_signals).detach(); }

std::string mpi_share_text(const std::string& text) {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    int length = (int)text.size();
    MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::string shared = rank == 0 ? text : std::string((size_t)length, '\0');
    MPI_Bcast(shared.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
    return shared;
}

VolumeStats mpi_gather_stats(const std::vector<VolumeStats>& mine, const SliceRange& range, const JobPlace& place) {
    const int record = (int)sizeof(VolumeStats);
    std::vector<int> counts, offsets;
    std::vector<VolumeStats> all;
    if (place.rank == 0) {
        all.resize((size_t)slice_count(range));
        for (int r = 0, at = 0; r < place.ranks; ++r) {
            const int n = slice_count(slab_of(range, place.ranks, r));
            counts.push_back(n * record);
            offsets.push_back(at * record);
            at += n;
        }
    }
    MPI_Gatherv(mine.data(), (int)mine.size() * record, MPI_BYTE, all.data(), counts.data(), offsets.data(), MPI_BYTE,
                0, MPI_COMM_WORLD);
    VolumeStats stats;
    for (const VolumeStats& s : all) volume_stats_merge(&stats, s);
    return stats;
}
