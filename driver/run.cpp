#include "driver/run.h"

#include "driver/position.h"
#include "driver/run_steps.h"
#include "driver/run_threads.h"
#include "driver/stop_signals.h"

namespace {

// Releases what the run holds however it ends.
struct RunHolder {
    Run run;
    ~RunHolder() { run_release(&run); }
};

// --position: the lead finds the slab and hands every process the options it
// prints, so that the run is that of one process given them. False after
// --position-only: nothing more to do.
bool settle_position(const RunOptions& given, const RunSource& source, const RunSink& sink, const RunTeam& team,
                     RunOptions* options) {
    std::string equivalent;  // "" without --position, a newline after --position-only
    if (team.lead && given.position) {
        const Position found = find_position(given, source.array);
        if (sink.found) sink.found(found);
        equivalent = given.position_only ? "\n" : found.options;
    }
    if (team.share) equivalent = team.share(equivalent);
    if (equivalent == "\n") return false;
    *options = equivalent.empty() ? given : positioned_options(given, equivalent);
    return true;
}

// An array holds the floats as reconstructed; only files have a MODE, scaling and layout.
RunOptions shaped_for(RunOptions options, const RunSink& sink) {
    if (sink.converts) return options;
    options.output = OutputFormat{};
    options.rotx = false;
    return options;
}

// The plan and the checks; the lead also prints the method line, gives
// --estimate's figures instead (false: nothing more to do) and opens the output.
bool start(Run* run, const RunSink& sink, const RunTeam& team, bool announce) {
    const bool estimate = run->options.estimate;
    if (announce && !estimate) print_method_line(run->options);
    run_plan(run);
    if (estimate) {
        if (sink.estimate) sink.estimate(*run);
        return false;
    }
    run_prepare(run, team.processes_on_host);
    check_stop_signal();
    if (team.lead && sink.open) sink.open(*run);
    return true;
}

bool has_slices(const std::vector<SliceRange>& slabs) {
    for (const SliceRange& s : slabs)
        if (slice_count(s) > 0) return true;
    return false;
}

// Every process reads its device's free memory before any allocates there,
// so that processes sharing a device each count their share of the same
// figure; the batch is sized once every process's matrices are there.
void set_up_method(Run* run, const RunTeam& team, bool reconstructs, bool announce, bool warn) {
    GpuDevice device;
    if (reconstructs && team.select_device)
        device = team.select_device(*run, announce);
    else if (reconstructs)
        device = gpu_select_device(run->options.gpu, announce);
    if (team.barrier) team.barrier();
    if (reconstructs) run_build_method(run, device, warn);
    if (team.barrier) team.barrier();
}

// The slices of every slab into the sink; the statistics of each.
std::vector<VolumeStats> reconstruct(Run* run, const std::vector<SliceRange>& slabs, const RunSink& sink,
                                     bool announce) {
    run->after_batch = sink.after_batch;
    run->slice_destination = sink.destination;
    const int progress_total = announce ? slice_count(run->range) : 0;
    std::vector<VolumeStats> stats;
    for (size_t i = 0; i < slabs.size(); ++i) {
        if (slice_count(slabs[i]) <= 0) continue;
        const SliceWriter write = [&](int y, int count, const float* values) {
            if (sink.write) sink.write((int)i, y, count, values);
        };
        for (VolumeStats& s : run_output_slices(run, slabs[i], write, progress_total)) stats.push_back(s);
    }
    return stats;
}

VolumeStats merged(const std::vector<VolumeStats>& stats) {
    VolumeStats whole;
    for (const VolumeStats& s : stats) volume_stats_merge(&whole, s);
    return whole;
}

void run_stages(const RunOptions& given, const RunSource& source, const RunSink& sink, const RunTeam& team) {
    RunOptions options;
    if (!settle_position(given, source, sink, team, &options)) return;
    RunHolder h;
    Run& r = h.run;
    r.options = shaped_for(options, sink);
    r.array = source.array;
    const bool announce = sink.announce && team.lead;
    // The lead checks everything first; the others follow once it has.
    bool going = !team.lead || start(&r, sink, team, announce);
    if (team.follow) going = team.follow(going);
    if (!going) return;
    if (!team.lead) start(&r, sink, team, announce);
    if (sink.join) sink.join(r);

    const std::vector<SliceRange> slabs = sink.slabs ? sink.slabs(r) : std::vector<SliceRange>{r.range};
    const bool reconstructs = has_slices(slabs);
    set_up_method(&r, team, reconstructs, announce, sink.warn && team.lead);
    check_stop_signal();
    const std::vector<VolumeStats> mine = reconstruct(&r, slabs, sink, announce);
    run_free_method(&r);
    if (sink.close) sink.close();
    const VolumeStats stats = team.gather ? team.gather(mine, r.range) : merged(mine);
    if (team.lead && sink.finish) sink.finish(r, stats);
}

}  // namespace

void run(const RunOptions& given, const RunSource& source, const RunSink& sink, const RunTeam& team) {
    try {
        run_stages(given, source, sink, team);
    } catch (...) {
        if (sink.abandon) sink.abandon();
        throw;
    }
}

int skarbel_main(int argc, char** argv) {
    const RunOptions given = parse_options(argc, argv);
    stop_signals_install();
    use_allowed_host_threads();
    FileOutput output;
    run(given, RunSource{}, file_sink(&output));
    return 0;
}
