#pragma once
// How many host threads a run uses.

// The CPUs this process may run on (its affinity mask) capped by its cgroup's
// CPU quota, at least 1.
int allowed_host_threads();

// A command-line run: unless OMP_NUM_THREADS says otherwise, every thread of
// the run uses allowed_host_threads(). Returns the threads that will run.
int use_allowed_host_threads();
