#include "method/method.h"

#include <cstddef>

#include "gpu/batch_size.h"
#include "sirt/sirt.h"
#include "wbp/wbp.h"
#include "weighting/weighting.h"

MethodOptions method_options(bool sirt, int level, int iterations) {
    MethodOptions o;
    o.sirt = sirt;
    o.level = level;
    o.iterations = iterations;
    return o;
}

void WbpPlanRelease::operator()(WbpPlan* p) const {
    wbp_free(*p);
    delete p;
}

void SirtPlanRelease::operator()(SirtPlan* p) const {
    sirt_free(*p);
    delete p;
}

MethodPlan plan_method(const MethodOptions& options, const Geometry& g, const a* tilts, const GpuDevice& device) {
    gpu_bind_device(device);
    MethodPlan plan;
    plan.options = options;
    plan.g = g;
    plan.device = device;
    if (options.sirt) {
        plan.sirt_plan.reset(new SirtPlan(sirt_setup(tilts, g)));
        return plan;
    }
    plan.level_run = wbp_level_to_run(options.level, tilts, g.Ntilts);
    plan.wbp.reset(new WbpPlan(wbp_setup(plan.level_run, tilts, g)));
    plan.wbp->filter = weighting_current();
    return plan;
}

void execute_weighting(const MethodPlan& plan, float* sinograms, int count) {
    if (!plan.wbp) return;
    // The plan's own filter; a plan set up before any filter takes the current one.
    const std::shared_ptr<const WeightingFilter> current = plan.wbp->filter ? nullptr : weighting_current();
    weighting_filter_rows_of(plan.wbp->filter ? plan.wbp->filter.get() : current.get(), plan.g.sinoX, sinograms,
                             (long long)count * plan.g.Ntilts);
}

void execute_products(MethodPlan& plan, float* sinograms, float* slices, int count) {
    if (count < 1) return;
    gpu_bind_device(plan.device);
    if (plan.sirt_plan)
        sirt_reconstruct(*plan.sirt_plan, slices, sinograms, count, plan.options.iterations);
    else
        wbp_product(*plan.wbp, slices, sinograms, count);
}

void execute(MethodPlan& plan, float* sinograms, float* slices, int count) {
    execute_weighting(plan, sinograms, count);
    execute_products(plan, sinograms, slices, count);
}

// Per slice of a batch the driver holds two sinograms and two slices, and the
// method up to three more sinograms (a copy in, the interleaved batch, SIRT's
// error) and two slices.
int plan_batch_size(const MethodPlan& plan, int requested) {
    const long long sino = (long long)plan.g.sinoX * plan.g.Ntilts;
    const long long slice = (long long)plan.g.reconsX * plan.g.reconsY;
    return requested > 0 ? batch_size_fit(requested, sino, slice, 5, 4) : batch_size_choice(sino, slice, 5, 4);
}

void free(MethodPlan& plan) {
    if (!plan.wbp && !plan.sirt_plan) return;
    gpu_bind_device(plan.device);
    plan.wbp.reset();
    plan.sirt_plan.reset();
}
