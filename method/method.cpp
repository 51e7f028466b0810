#include "method/method.h"

#include <cstddef>

#include "gpu/batch_size.h"
#include "io/fail.h"
#include "sirt/sirt.h"
#include "wbp/wbp.h"
#include "weighting/sirt_like_filter.h"
#include "weighting/weighting.h"

MethodOptions method_options(bool sirt, int level, int iterations) {
    MethodOptions o;
    o.sirt = sirt;
    o.level = level;
    o.iterations = iterations;
    return o;
}

namespace {

// The ramp, or with sirt_like the per-tilt filter for these tilts and this thickness.
WeightingFilterHandle weighting_filter_of(const MethodOptions& o, const Geometry& g, const a* tilts) {
    const RadialTaper* radial = o.radial ? &*o.radial : nullptr;
    if (o.sirt_like <= 0) return weighting_setup(g.sinoX, g.Ntilts, radial);
    return weighting_setup_gains(
        g.sinoX, g.Ntilts,
        sirt_like_gains(tilts, g.Ntilts, g.reconsY, weighting_choose_fft_size(g.sinoX), o.sirt_like, radial));
}

}  // namespace

void WbpPlanRelease::operator()(WbpPlan* p) const { delete p; }
void SirtPlanRelease::operator()(SirtPlan* p) const { delete p; }

MethodPlan plan_method(const MethodOptions& options, const Geometry& g, const a* tilts, const GpuDevice& device) {
    gpu_bind_device(device);
    MethodPlan plan;
    plan.options = options;
    plan.g = g;
    plan.device = device;
    plan.x = {.backend = device.backend, .literal_forms = options.literal_forms, .host_threads = device.host_threads};
    // Each part is held by the plan before it is built, so that nothing built
    // is ever left without an owner (a set-up that fails frees its own part).
    const host_rows::HostRun host = options.vectors ? host_rows::host_run_for(*options.vectors) : host_rows::HostRun{};
    if (options.sirt) {
        plan.sirt_plan.reset(new SirtPlan);
        *plan.sirt_plan = sirt_setup(tilts, g, device.memory_mb, plan.x);
        plan.sirt_plan->host = host;
        return plan;
    }
    plan.filter = weighting_filter_of(options, g, tilts);
    plan.level_run = wbp_level_to_run(options.level, tilts, g.Ntilts, options.warn);
    plan.wbp.reset(new WbpPlan);
    *plan.wbp = wbp_setup(plan.level_run, tilts, g, device.memory_mb, plan.x);
    plan.wbp->host = host;
    return plan;
}

void execute_weighting(const MethodPlan& plan, float* sinograms, int count) {
    if (plan.filter) weighting_filter_rows(*plan.filter, plan.g.sinoX, sinograms, (long long)count * plan.g.Ntilts);
}

void execute_products(MethodPlan& plan, float* sinograms, float* slices, int count) {
    if (count < 1) return;
    if (!plan.wbp && !plan.sirt_plan) fail("execute: the plan has been freed\n");
    gpu_bind_device(plan.device);
    if (plan.sirt_plan)
        sirt_reconstruct(*plan.sirt_plan, slices, sinograms, count, plan.options.iterations);
    else
        wbp_product(*plan.wbp, slices, sinograms, count);
}

// Per slice of a batch the driver holds two sinograms and two slices, and the
// method up to three more sinograms (a copy in, the interleaved batch, SIRT's
// error) and two slices.
int plan_batch_size(const MethodPlan& plan, int requested) {
    const long long sino = (long long)plan.g.sinoX * plan.g.Ntilts;
    const long long slice = (long long)plan.g.reconsX * plan.g.reconsY;
    gpu_bind_device(plan.device);  // the free memory read is the calling thread's device's
    const BatchRoom room = batch_room_of(plan.device);
    return requested > 0 ? batch_size_fit_in(requested, {sino, slice, 5, 4}, room)
                         : batch_size_for({sino, slice, 5, 4}, room);
}

void free(MethodPlan& plan) {
    plan.filter.reset();
    if (!plan.wbp && !plan.sirt_plan) return;
    gpu_bind_device(plan.device);
    plan.wbp.reset();
    plan.sirt_plan.reset();
}
