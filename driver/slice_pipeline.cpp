#include "driver/slice_pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "gpu/gpu_layer.h"

namespace {

// The worker: one job at a time, handed over and collected under a mutex.
struct Worker {
    std::mutex m;
    std::condition_variable cv;
    std::function<void()> job;
    bool busy = false, quit = false;
};

// The worker runs every product, so it binds itself to the selected device first.
void worker_loop(Worker* w) {
    gpu_bind_thread();
    std::unique_lock<std::mutex> lock(w->m);
    for (;;) {
        w->cv.wait(lock, [&] { return w->busy || w->quit; });
        if (w->busy) {
            lock.unlock();
            w->job();
            lock.lock();
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

void wait_job(Worker& w) {
    std::unique_lock<std::mutex> lock(w.m);
    w.cv.wait(lock, [&] { return !w.busy; });
}

}  // namespace

void run_slice_pipeline(int slices, int batch, size_t sino_floats, size_t slice_floats, const SliceSteps& steps) {
    if (slices <= 0) return;
    batch = std::max(1, std::min(batch, slices));
    const int batches = (slices + batch - 1) / batch;
    auto first = [&](int n) { return n * batch; };
    auto count = [&](int n) { return std::min(batch, slices - n * batch); };
    // Page-locked where the device is a GPU: these cross to it every batch.
    float* sinos[2] = {nullptr, nullptr};
    float* out[2] = {nullptr, nullptr};
    for (int i = 0; i < 2 && i < batches; ++i) {
        sinos[i] = gpu_host_floats(sino_floats * batch);
        out[i] = gpu_host_floats(slice_floats * batch);
    }
    Worker w;
    std::thread thread(worker_loop, &w);
    steps.read(first(0), count(0), sinos[0]);
    for (int n = 0; n < batches; ++n) {
        const int s = n % 2;
        start_job(w, [&, s, n] { steps.reconstruct(count(n), sinos[s], out[s]); });
        if (n > 0) steps.write(count(n - 1), out[1 - s]);
        if (n + 1 < batches) steps.read(first(n + 1), count(n + 1), sinos[1 - s]);
        wait_job(w);
    }
    steps.write(count(batches - 1), out[(batches - 1) % 2]);
    {
        std::lock_guard<std::mutex> lock(w.m);
        w.quit = true;
        w.cv.notify_all();
    }
    thread.join();
    for (int i = 0; i < 2; ++i) {
        gpu_host_free(sinos[i]);
        gpu_host_free(out[i]);
    }
}
