#include "support/capture.h"

#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <omp.h>

#include "io/fail.h"

namespace {

// Runs child in a fork, its outputs in temporary files read back at the end; meanwhile(pid) runs in the parent.
Captured run_child(const std::function<void()>& child, const std::function<void(pid_t)>& meanwhile = {}) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    if (!out || !err) std::abort();
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        child();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    if (meanwhile) meanwhile(pid);
    int w = 0;
    waitpid(pid, &w, 0);
    Captured c;
    c.status = WIFEXITED(w) ? WEXITSTATUS(w) : WIFSIGNALED(w) ? -WTERMSIG(w) : -1000;
    for (auto [file, text] : {std::pair{out, &c.out}, {err, &c.err}}) {
        rewind(file);
        char buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, file)) > 0;) text->append(buf, n);
        fclose(file);
    }
    return c;
}

}  // namespace

Captured capture_exit(const std::function<void()>& fn) {
    return run_child([&] {
        // The parent's OpenMP workers are not copied by fork: run parallel regions on this thread alone.
        omp_set_num_threads(1);
        // Error paths end the process without releasing anything: skip the leak checker's exit scan in the child.
        on_exit([](int status, void*) { fflush(stdout), fflush(stderr), _exit(status); }, nullptr);
        // The child ends as the program's main would, with the error's text and status.
        try {
            fn();
        } catch (const RunError& e) {
            exit(report_run_error(e));
        }
        fflush(stdout);
        fflush(stderr);
        exit(0);
    });
}

Captured run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    return run_program_signalled(argv, env, {}, 0, 0);
}

Captured run_program_signalled(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                               const std::function<bool()>& ready, int signo, double delay_s) {
    const auto send = [&](pid_t pid) {
        for (int i = 0; i < 3000 && !ready(); ++i) usleep(5000);
        usleep((useconds_t)(delay_s * 1e6));
        kill(pid, signo);
    };
    return run_child([&] {
        for (const std::string& e : env) {
            size_t eq = e.find('=');
            if (eq == std::string::npos) unsetenv(e.c_str());
            else setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        // A signal the test sends is not one the test runner ignores.
        if (signo) signal(signo, SIG_DFL);
        std::vector<char*> args;
        for (const std::string& s : argv) args.push_back(const_cast<char*>(s.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        fprintf(stderr, "exec %s failed: %s\n", args[0], strerror(errno));
        _exit(127);
    }, signo ? std::function<void(pid_t)>(send) : std::function<void(pid_t)>());
}

Captured run_skarbel(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> argv{SKARBEL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> full_env{"CUDA_VISIBLE_DEVICES="};
    full_env.insert(full_env.end(), env.begin(), env.end());
    return run_program(argv, full_env);
}
