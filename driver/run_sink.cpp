#include "driver/run_sink.h"

#include <cstring>

#include "driver/disk_space.h"
#include "driver/estimate.h"
#include "driver/position.h"
#include "driver/run_steps.h"
#include "driver/same_file.h"
#include "driver/stop_signals.h"
#include "io/output_modes.h"

namespace {

long long output_bytes(const Run& run) {
    return output_volume_bytes(run.xtilt.width, run.xtilt.thickness, slice_count(run.range), run.options.output.mode);
}

void print_run_estimate(const Run& run) {
    print_estimate(run.options, run.input, run.tilts.get(), run.g, {output_bytes(run), run.extra_host_mb});
}

// Slices come in order: appended, or with --rotx written row by row at their places.
void file_output_write(FileOutput* f, int y, int count, const float* values) {
    const OutputPut put = [f](int64_t at, const void* bytes, size_t size) {
        if (f->layout.rotx) return output_write_at(fileno(f->out.file), at, bytes, size);
        output_append(f->out.file, bytes, size);
        if (!f->out.temp_path.empty()) write_behind(&f->behind, f->out.file);
    };
    output_place_slices(f->layout, y, count, values, &f->scratch, put);
}

}  // namespace

void file_output_open(FileOutput* f, Run& run) {
    const RunOptions& options = run.options;
    refuse_unsafe_output(options.output_file.c_str(), run.input, options.tilt_file.c_str());
    check_disk_space(output_bytes(run), output_disk_space(options.output_file.c_str()));
    f->out = output_file_open(options.output_file.c_str());
    f->layout = run_output_layout(run);
    // Provisional header: one section, zero statistics, until the run completes.
    image_header_from(run.slice.get());
    set_output_cell(run.slice->header.get(), run.spacing);
    image_write_header(f->out.file, run.slice.get(), options.output.mode);
}

void file_output_finish(FileOutput* f, Run& run, const VolumeStats& stats, const std::function<void()>& last_check) {
    run_complete_header(&run, stats);
    image_write_header(f->out.file, run.slice.get(), run.options.output.mode);
    last_check();  // the last moment the temporary file can still go
    puts("\n");
    output_file_commit(&f->out);
    run_report_clamped(run, stats);
}

RunSink file_sink(FileOutput* f) {
    RunSink s;
    s.announce = true;
    s.found = print_position;
    s.estimate = print_run_estimate;
    s.open = [f](Run& run) { file_output_open(f, run); };
    s.write = [f](int, int y, int count, const float* values) { file_output_write(f, y, count, values); };
    s.finish = [f](Run& run, const VolumeStats& stats) { file_output_finish(f, run, stats, check_stop_signal); };
    s.abandon = [f] { f->out = OutputFile(); };  // removes the temporary file
    return s;
}

RunSink array_sink(ArrayOutput* a) {
    RunSink s;
    s.converts = false;
    s.open = [a](Run& run) {
        a->slices = slice_count(run.range);
        a->thickness = run.xtilt.thickness;
        a->width = run.xtilt.width;
        a->first = run.range.first;
        a->values = a->allocate(run_section_floats(run) * (size_t)a->slices);
    };
    const auto at = [a](int y) { return a->values + (size_t)(y - a->first) * a->thickness * a->width; };
    s.destination = [at](int y, int) { return at(y); };
    s.write = [a, at](int, int y, int count, const float* values) {
        float* to = at(y);
        if (values != to) std::memcpy(to, values, (size_t)count * a->thickness * a->width * sizeof(float));
    };
    return s;
}
