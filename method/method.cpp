#include "method/method.h"

#include <cstddef>

#include "gpu/batch_size.h"
#include "sirt/sirt.h"
#include "wbp/wbp.h"
#include "weighting/weighting.h"

Method method_setup(bool sirt, int level, int iterations, const a* tangles, const Geometry& g) {
    Method m;
    m.sirt = sirt;
    m.level = level;
    m.iterations = iterations;
    m.g = g;
    if (sirt) {
        m.sirt_plan = new SirtPlan(sirt_setup(tangles, g));
        return m;
    }
    m.level_run = wbp_level_to_run(level, tangles, g.Ntilts);
    m.wbp = new WbpPlan(wbp_setup(m.level_run, tangles, g));
    m.wbp->filter = weighting_current();
    return m;
}

void method_weight(const Method& m, float* sinos, int count) {
    if (m.sirt) return;
    // The plan's own filter; a plan set up before any filter takes the current one.
    const std::shared_ptr<const WeightingFilter> current = m.wbp->filter ? nullptr : weighting_current();
    weighting_filter_rows_of(m.wbp->filter ? m.wbp->filter.get() : current.get(), m.g.sinoX, sinos,
                             (long long)count * m.g.Ntilts);
}

void method_products(const Method& m, float* slices, float* sinos, int count) {
    if (count < 1) return;
    if (m.sirt)
        sirt_reconstruct(*m.sirt_plan, slices, sinos, count, m.iterations);
    else
        wbp_product(*m.wbp, slices, sinos, count);
}

void method_reconstruct(const Method& m, float* slices, float* sinos, int count) {
    method_weight(m, sinos, count);
    method_products(m, slices, sinos, count);
}

// Per slice of a batch the driver holds two sinograms and two slices, and the
// method up to three more sinograms (a copy in, the interleaved batch, SIRT's
// error) and two slices.
int method_batch_size(const Method& m, int requested) {
    const long long sino = (long long)m.g.sinoX * m.g.Ntilts, slice = (long long)m.g.reconsX * m.g.reconsY;
    return requested > 0 ? batch_size_fit(requested, sino, slice, 5, 4) : batch_size_choice(sino, slice, 5, 4);
}

void method_free(const Method& m) {
    if (m.sirt_plan) sirt_free(*m.sirt_plan);
    if (m.wbp) wbp_free(*m.wbp);
    delete m.sirt_plan;
    delete m.wbp;
}
