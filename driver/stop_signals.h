#pragma once
// The signals a scheduler or a terminal stops a run with (SIGTERM, SIGINT,
// SIGHUP, SIGXCPU). The handler only records the signal; the run looks at the
// record at safe points (between batches, before the output is opened or
// committed) and ends there as after an error, so its temporary output is
// removed and an existing output stays as it was.
#include <csignal>

// The four signals, as a set (skarbel-mpi waits for them on a thread of its own).
sigset_t stop_signal_set();

// Installs the recording handler for the four signals (command-line programs
// only: a host such as Python keeps its own). Signals the process was started
// ignoring (nohup) stay ignored.
void stop_signals_install();

// The signal recorded so far, 0 when none.
int stop_signal_received();

// Ends the run when a signal has been recorded: throws "Stopped by signal
// NAME: no output written.\n\n" with status 128 + the signal's number.
void check_stop_signal();

// "SIGTERM", "SIGINT", "SIGHUP", "SIGXCPU"; "signal" for any other.
const char* stop_signal_name(int signo);
