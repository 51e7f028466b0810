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

#include "driver/position.h"
#include "driver/rank_share.h"
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

// Rank 0: the output's temporary file, made and given its provisional header.
OutputFile open_output_first(Run* run) {
    OutputFile out = run_open_output(run);
    mpi_job_temp_file(out.temp_path);  // a signal from here on removes it
    if (out.temp_path.empty())
        failf("Output %s is not a regular file: an MPI run cannot write it.\n\n", run->options.output_file.c_str());
    if (fflush(out.file) != 0) fail("Error writing output file.\n\n");
    return out;
}

// One rank's part of the job; errors are thrown (RunError).
int run_rank(int argc, char** argv, const JobPlace& place) {
    share_host_threads(place);
    const bool lead = place.rank == 0;

    // The other ranks wait until rank 0 has checked everything a run checks.
    Run run;
    // --position: rank 0 finds it and hands every rank the options it prints,
    // so that the output is that of one process given them ("" without
    // --position, a newline after --position-only).
    std::string equivalent;
    if (lead) {
        run.options = parse_options(argc, argv);
        if (run.options.position) {
            const Position found = find_position(run.options, nullptr);
            print_position(found);
            equivalent = run.options.position_only ? "\n" : found.options;
        }
    }
    equivalent = mpi_share_text(equivalent);
    if (equivalent == "\n") return 0;
    if (!lead) run.options = parse_options(argc, argv);
    if (!equivalent.empty()) run.options = positioned_options(run.options, equivalent);
    OutputFile out;
    if (lead && run_start_with_options(&run, true, place.local_ranks)) out = open_output_first(&run);
    const std::string temp = mpi_share_text(out.temp_path);
    if (temp.empty()) return 0;  // --estimate: rank 0 has printed the figures
    mpi_job_temp_file(temp);
    if (!lead) run_start_with_options(&run, false, place.local_ranks);
    const RunOptions& o = run.options;

    SharedOutput shared = shared_output_open(temp, run_output_layout(run));
    const SliceRange slab = slab_of(run.range, place.ranks, place.rank);
    std::vector<VolumeStats> slab_stats;
    // Every rank reads its device's free memory before any rank allocates there,
    // so that ranks sharing a GPU each count their share of the same figure.
    const bool has_slab = slice_count(slab) > 0;
    GpuDevice device;
    if (has_slab) {
        const int gpus = gpu_cuda_device_count();
        device = gpu_select_device(rank_gpu(o.gpu, place.local_rank, gpus), lead,
                                   rank_device_share(o.gpu, place.local_rank, place.local_ranks, gpus));
    }
    MPI_Barrier(MPI_COMM_WORLD);
    if (has_slab) run_build_method(&run, device, lead);  // rank 0 alone warns of a level-3 fallback
    // The batch is sized from the device's free memory once every rank's
    // matrices are there, so that ranks sharing a GPU do not take each other's.
    MPI_Barrier(MPI_COMM_WORLD);
    if (has_slab) {
        // Progress: rank 0's share of the slices, scaled to the whole range.
        const SliceWriter write = [&](int y, int count, const float* values) {
            shared_output_write(&shared, y, count, values);
        };
        slab_stats = run_output_slices(&run, slab, write, lead ? slice_count(run.range) : 0);
        run_free_method(&run);
    }
    shared_output_close(&shared);
    // Gathered only after every rank has closed the file, so rank 0 moves it into place complete.
    const VolumeStats stats = mpi_gather_stats(slab_stats, run.range, place);
    if (!lead) mpi_job_finished();  // its slices are in the file: rank 0 completes it

    if (lead) {
        run_complete_header(&run, stats);
        image_write_header(out.file, run.slice, run.options.output.mode);
        puts("\n");
        mpi_job_finished();
        output_file_commit(&out);
        run_report_clamped(run, stats);
    }
    mpi_job_temp_file("");
    run_release(&run);
    return 0;
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
