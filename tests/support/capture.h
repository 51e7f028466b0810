#pragma once
#include <functional>
#include <string>
#include <vector>

// What a child process did: its exit status (or -signal when killed) and what it wrote.
struct Captured {
    int status = 0;      // exit status 0..255, or -signal number
    std::string out;     // standard output
    std::string err;     // standard error
};

// Runs fn in a forked child with outputs captured; exit 0 when fn returns, else the RunError's status and text.
// The child runs OpenMP regions on one thread and skips leak checks at exit.
Captured capture_exit(const std::function<void()>& fn);

// Runs a program (argv[0] is the path) with extra environment entries ("NAME=value"; "NAME" unsets) captured.
Captured run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// run_program, with signo sent once ready() holds (polled 15 s at most) and delay_s more have passed.
Captured run_program_signalled(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                               const std::function<bool()>& ready, int signo, double delay_s);

// Runs the built skarbel with the given arguments (on the host device unless env says otherwise).
Captured run_skarbel(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
