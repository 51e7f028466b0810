#pragma once
// The MPI side of a job: where this process stands, how it ends the whole job
// on an error, and what the ranks hand each other.
#include <string>
#include <vector>

#include "driver/slice_range.h"
#include "driver/volume_stats.h"

struct JobPlace {
    int rank = 0, ranks = 1;              // in the job
    int local_rank = 0, local_ranks = 1;  // on this node (shared-memory split)
};

JobPlace mpi_job_place();

// Ends the whole job with MPI_Abort and the given exit status (a rank's error
// or a finished --help run), after removing the output's temporary file once
// that is known (mpi_job_temp_file).
[[noreturn]] void mpi_end_job(int status);
void mpi_job_temp_file(const std::string& path);  // empty: nothing to remove

// Stop signals (SIGTERM, SIGINT, SIGHUP, SIGXCPU): mpi_block_stop_signals,
// before MPI_Init, blocks them in this thread and every thread started from
// it; mpi_watch_stop_signals then starts the thread that waits for them. The
// rank that receives one removes the temporary file, prints "Stopped by signal
// NAME: no output written." (unless another rank removed the file first) and
// ends the whole job with status 128 + the signal's number, unless the job has
// finished its output (mpi_job_finished).
void mpi_block_stop_signals();
void mpi_watch_stop_signals();
void mpi_job_finished();

// Rank 0's text on every rank; the others wait here until rank 0 sends it.
std::string mpi_share_text(const std::string& text);

// The statistics of every slice of range, each rank holding those of its slab
// (slab_of(range, ranks, rank)), merged at rank 0 in slice order; other ranks
// get empty statistics.
VolumeStats mpi_gather_stats(const std::vector<VolumeStats>& mine, const SliceRange& range, const JobPlace& place);
