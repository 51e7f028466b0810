#include "method/method.h"

#include <cstddef>

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
        sirt_setup(tangles, g);
        return m;
    }
    m.level_run = wbp_level_to_run(level, tangles, g.Ntilts);
    wbp_levels[m.level_run].setup(tangles, g);
    return m;
}

void method_reconstruct(const Method& m, float* slices, float* sinos, int count) {
    const size_t sino_size = (size_t)m.g.sinoX * m.g.Ntilts, slice_size = (size_t)m.g.reconsX * m.g.reconsY;
    for (int k = 0; k < count; ++k) {
        float* slice = slices + k * slice_size;
        float* sino = sinos + k * sino_size;
        if (m.sirt) {
            sirt_reconstruct_slice(slice, sino, m.g, m.iterations);
            continue;
        }
        for (int t = 0; t < m.g.Ntilts; ++t) weighting_filter_row(m.g.sinoX, sino + (size_t)t * m.g.sinoX);
        wbp_levels[m.level_run].product(slice, sino, m.g);
    }
}

void method_free(const Method& m) {
    if (m.sirt)
        sirt_free();
    else
        wbp_free();
}
