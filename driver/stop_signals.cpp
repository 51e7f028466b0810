#include "driver/stop_signals.h"

#include <csignal>

#include "io/fail.h"

namespace {

// Process-wide by nature: a signal handler can reach nothing else.
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void record_stop_signal(int signo) {
    if (g_stop_signal == 0) g_stop_signal = signo;
}

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGXCPU};

}  // namespace

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kStopSignals) sigaddset(&set, signo);
    return set;
}

void stop_signals_install() {
    struct sigaction action {};
    action.sa_handler = record_stop_signal;
    sigemptyset(&action.sa_mask);
    // Interrupted reads and writes carry on.
    action.sa_flags = SA_RESTART;
    for (int signo : kStopSignals) {
        // A signal the run was started to ignore (nohup, a background job) stays ignored.
        struct sigaction old {};
        if (sigaction(signo, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(signo, &action, nullptr);
    }
}

int stop_signal_received() { return g_stop_signal; }

void check_stop_signal() {
    const int signo = g_stop_signal;
    if (signo != 0) fail_status(128 + signo, "Stopped by signal %s: no output written.\n\n", stop_signal_name(signo));
}

const char* stop_signal_name(int signo) {
    switch (signo) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT";
        case SIGHUP: return "SIGHUP";
        case SIGXCPU: return "SIGXCPU";
        default: return "signal";
    }
}
