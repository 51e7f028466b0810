#pragma once
// The run, written once for every caller: the command line, each rank of
// skarbel-mpi, the Python module and --position's preview.
#include "driver/options.h"
#include "driver/run_sink.h"
#include "driver/run_team.h"
#include "io/array_stack.h"

// Where the stack comes from: the array when set, else the files the options name.
struct RunSource {
    const ArrayStack* array = nullptr;
};

// The run of `given` from `source` into `sink`, by `team`: --position found and
// applied (--position-only ends there), the plan, --estimate's figures
// instead of a run, the checks, the output opened, the method set up, the
// slices reconstructed and handed to the sink, the output completed. Errors
// are thrown (RunError), after the sink has abandoned its output.
void run(const RunOptions& given, const RunSource& source, const RunSink& sink, const RunTeam& team = {});

// The program: the command line into its output file; errors are thrown (RunError).
int skarbel_main(int argc, char** argv);
