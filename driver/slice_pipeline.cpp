#include "driver/slice_pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "driver/stop_signals.h"
#include "gpu/gpu_layer.h"

namespace {

// The worker: one job at a time, handed over and collected under a mutex; an
// error of the job is kept for the calling thread.
struct Worker {
    std::mutex m;
    std::condition_variable cv;
    std::function<void()> job;
    std::exception_ptr error;
    bool busy = false, quit = false;
};

void worker_loop(Worker* w) {
    std::unique_lock<std::mutex> lock(w->m);
    for (;;) {
        w->cv.wait(lock, [&] { return w->busy || w->quit; });
        if (w->busy) {
            lock.unlock();
            std::exception_ptr error;
            try {
                w->job();
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            w->error = error;
            w->busy = false;
            w->cv.notify_all();
        } else {
            return;
        }
    }
}

void start_job(Worker& w, std::function<void()> job) {
    std::lock_guard<std::mutex> lock(w.m);
    w.job = std::move(job);
    w.busy = true;
    w.cv.notify_all();
}

// Waits for the job to end; its error, if any, goes on in this thread.
void wait_job(Worker& w) {
    std::unique_lock<std::mutex> lock(w.m);
    w.cv.wait(lock, [&] { return !w.busy; });
    if (w.error) std::rethrow_exception(std::exchange(w.error, nullptr));
}

// The pipeline's thread and buffers, released however the pipeline ends: on an
// error of either thread the worker finishes the job it holds (it uses the
// buffers) before the thread is joined and the buffers freed.
struct Pipeline {
    HostFloats sinos[2], out[2];  // freed after the body below has joined the thread
    Worker w;
    std::thread thread;

    ~Pipeline() {
        if (thread.joinable()) {
            std::unique_lock<std::mutex> lock(w.m);
            w.cv.wait(lock, [&] { return !w.busy; });
            w.quit = true;
            w.cv.notify_all();
            lock.unlock();
            thread.join();
        }
    }
};

}  // namespace

void run_slice_pipeline(int slices, int batch, size_t sino_floats, size_t slice_floats, const SliceSteps& steps) {
    if (slices <= 0) return;
    batch = std::max(1, std::min(batch, slices));
    const int batches = (slices + batch - 1) / batch;
    auto first = [&](int n) { return n * batch; };
    auto count = [&](int n) { return std::min(batch, slices - n * batch); };
    // Page-locked where the device is a GPU: these cross to it every batch.
    Pipeline p;
    for (int i = 0; i < 2 && i < batches; ++i) {
        p.sinos[i] = gpu_host_floats(sino_floats * batch);
        if (!steps.destination) p.out[i] = gpu_host_floats(slice_floats * batch);
    }
    p.thread = std::thread(worker_loop, &p.w);
    float* results[2] = {nullptr, nullptr};
    steps.read(first(0), count(0), p.sinos[0].get());
    for (int n = 0; n < batches; ++n) {
        const int s = n % 2;
        float* const in = p.sinos[s].get();
        float* const result = results[s] = steps.destination ? steps.destination(first(n), count(n)) : p.out[s].get();
        start_job(p.w, [&steps, &count, in, result, n] { steps.reconstruct(count(n), in, result); });
        if (n > 0) steps.write(count(n - 1), results[1 - s]);
        if (n + 1 < batches) steps.read(first(n + 1), count(n + 1), p.sinos[1 - s].get());
        wait_job(p.w);
        check_stop_signal();
    }
    steps.write(count(batches - 1), results[(batches - 1) % 2]);
}
