// skarbel-mpi: the ranks of one MPI job reconstruct one volume. Rank 0 checks
// the inputs and makes the output's temporary file with the provisional header
// before any other rank starts; every rank then reconstructs its slab of the
// slices and writes it at its place in that file; rank 0 writes the final
// header from the statistics of all slices and moves the file over the output.
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/rank_share.h"
#include "driver/run.h"
#include "driver/run_steps.h"
#include "driver/run_threads.h"
#include "gpu/gpu_layer.h"
#include "io/fail.h"
#include "mpi/mpi_job.h"
#include "mpi/shared_output.h"

namespace {

void share_host_threads(const JobPlace& place) {
    if (std::getenv("OMP_NUM_THREADS")) return;
    const int node_cpus = (int)sysconf(_SC_NPROCESSORS_ONLN);
    const int threads = rank_threads(node_cpus, allowed_host_threads(), place.local_ranks);
    omp_set_num_threads(threads);  // the slice pipeline's worker too, through the device
}

// The output of one rank: rank 0 makes the temporary file with the
// provisional header; every rank writes its slab into it through MPI-IO.
struct RankOutput {
    FileOutput file;   // rank 0's
    std::string temp;  // the temporary file's path, once rank 0 has shared it
    SharedOutput shared;
};

// Rank 0: the output's temporary file, made and given its provisional header.
void open_output_first(RankOutput* o, Run& run) {
    file_output_open(&o->file, run);
    mpi_job_temp_file(o->file.out.temp_path);  // a signal from here on removes it
    if (o->file.out.temp_path.empty())
        failf("Output %s is not a regular file: an MPI run cannot write it.\n\n", run.options.output_file.c_str());
    if (fflush(o->file.out.file) != 0) fail("Error writing output file.\n\n");
    o->temp = o->file.out.temp_path;
}

RunSink rank_sink(RankOutput* o, const JobPlace& place) {
    RunSink s = file_sink(&o->file);
    s.open = [o](Run& run) { open_output_first(o, run); };
    s.join = [o](Run& run) {
        mpi_job_temp_file(o->temp);
        o->shared = shared_output_open(o->temp, run_output_layout(run));
    };
    s.slabs = [place](const Run& run) { return std::vector<SliceRange>{slab_of(run.range, place.ranks, place.rank)}; };
    s.write = [o](int, int y, int count, const float* values) { shared_output_write(&o->shared, y, count, values); };
    s.close = [o] { shared_output_close(&o->shared); };
    // The job is finished once rank 0 has written the final header: a signal then no longer stops it.
    s.finish = [o](Run& run, const VolumeStats& stats) { file_output_finish(&o->file, run, stats, mpi_job_finished); };
    return s;
}

RunTeam rank_team(RankOutput* o, const JobPlace& place) {
    RunTeam t;
    t.lead = place.rank == 0;
    t.processes_on_host = place.local_ranks;
    t.share = mpi_share_text;
    // Rank 0's temporary file ("" after --estimate: the run ends there).
    t.follow = [o](bool going) {
        o->temp = mpi_share_text(going ? o->temp : "");
        return !o->temp.empty();
    };
    // Ranks sharing a GPU each count their share of its free memory.
    t.select_device = [place](const Run& run, bool announce) {
        const int gpus = gpu_cuda_device_count();
        const int gpu = run.options.gpu;
        return gpu_select_device(rank_gpu(gpu, place.local_rank, gpus), announce,
                                 rank_device_share(gpu, place.local_rank, place.local_ranks, gpus));
    };
    t.barrier = [] { MPI_Barrier(MPI_COMM_WORLD); };
    // Gathered only after every rank has closed the file, so rank 0 moves it into place complete.
    t.gather = [place](const std::vector<VolumeStats>& mine, const SliceRange& range) {
        const VolumeStats stats = mpi_gather_stats(mine, range, place);
        if (place.rank != 0) mpi_job_finished();  // its slices are in the file: rank 0 completes it
        return stats;
    };
    return t;
}

// One rank's part of the job; errors are thrown (RunError).
void run_rank(int argc, char** argv, const JobPlace& place) {
    share_host_threads(place);
    // The other ranks read the command line once rank 0 has accepted it, so that a bad one is reported once.
    RunOptions given;
    if (place.rank == 0) given = parse_options(argc, argv);
    mpi_share_text("");
    if (place.rank != 0) given = parse_options(argc, argv);
    RankOutput output;
    run(given, RunSource{}, rank_sink(&output, place), rank_team(&output, place));
    mpi_job_temp_file("");
}

}  // namespace

int main(int argc, char** argv) {
    mpi_block_stop_signals();
    MPI_Init(&argc, &argv);
    mpi_watch_stop_signals();
    const JobPlace place = mpi_job_place();
    try {
        run_rank(argc, argv, place);
    } catch (const RunError& e) {
        // An error of any rank (a finished --help or --version run too) ends the whole job.
        mpi_end_job(report_run_error(e));
    }
    MPI_Finalize();
    return 0;
}
