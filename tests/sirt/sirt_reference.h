#pragma once
// Double-precision SIRT with dense operators, written from the geometry.
#include <cmath>
#include <vector>

#include "gpu/gpu_layer.h"
#include "gpu/buffers.h"
#include "io/tilt_angles.h"
#include "support/backends.h"
#include "sirt/sirt.h"
#include "support/tilts.h"

inline std::vector<float> angle_range(float from, float to, float step) {
    std::vector<float> v;
    for (float d = from; d <= to + 1e-3f; d += step) v.push_back(d);
    return v;
}

class SirtBackendTest : public testing::TestWithParam<GpuBackend> {
protected:
    static constexpr float kMemoryMb = 1.0e6f;
    void SetUp() override { USE_BACKEND_OR_SKIP(GetParam()); }
    void TearDown() override { sirt_free(plan); }
    SirtPlan plan;
};

struct SirtProblem {
    std::vector<a> tilts;
    int sinoX, reconsX, reconsY;
};

// Dense operators of the iteration, all in double precision.
struct SirtReference {
    int nsino, npix;
    std::vector<double> P;  // forward projection, nsino x npix
    std::vector<double> Q;  // back-projection, npix x nsino
    std::vector<double> W;  // ray weights: column sums of Q
    std::vector<double> V;  // inverse ray weights 1 / (Ntilts * W), 0 where W = 0
};

inline void spread(double* row, int lower, double p) {
    const double upper_weight = p - lower;
    row[lower] += 1.0 - upper_weight;
    row[lower + 1] += upper_weight;
}

inline SirtReference sirt_reference_operators(const SirtProblem& g) {
    const int N = (int)g.tilts.size(), X = g.reconsX, Y = g.reconsY, S = g.sinoX;
    SirtReference ref{N * S, X * Y, {}, {}, {}, {}};
    ref.P.assign((size_t)ref.nsino * ref.npix, 0.0);
    ref.Q.assign((size_t)ref.npix * ref.nsino, 0.0);
    const double w2 = (X - 1) / 2.0, h2 = (Y - 1) / 2.0, r2 = (S - 1) / 2.0;
    auto position = [&](int t, int i, int j) {
        return (double)g.tilts[t].cos_a * (i - w2) - (j - h2) * (double)g.tilts[t].sin_a + r2;
    };
    for (int j = 0; j < Y; ++j)
        for (int i = 0; i < X; ++i)
            for (int t = 0; t < N; ++t) {
                const double p = position(t, i, j);
                if (!(std::trunc(p) >= 0 && std::trunc(p) < S - 1)) continue;
                const int c = (int)std::trunc(p);
                const double f = p - c;
                ref.P[(size_t)(t * S + c) * ref.npix + j * X + i] += 1.0 - f;
                ref.P[(size_t)(t * S + c + 1) * ref.npix + j * X + i] += f;
            }
    // Rows up to the centre gather their own pair; the point mirror the mirrored
    // pair, weighted at its own position.
    for (int j = 0; 2 * j < Y; ++j)
        for (int i = 0; i < X; ++i) {
            const int pixel = j * X + i, mi = X - 1 - i, mj = Y - 1 - j, mirror = mj * X + mi;
            for (int t = 0; t < N; ++t) {
                const double p = position(t, i, j);
                if (!(std::trunc(p) >= 0 && std::trunc(p) < S - 1)) continue;
                const int c = (int)std::trunc(p);
                spread(&ref.Q[(size_t)pixel * ref.nsino + t * S], c, p);
                if (mj != j)  // centre-row mirrors have rows of their own
                    spread(&ref.Q[(size_t)mirror * ref.nsino + t * S], S - 2 - c, position(t, mi, mj));
            }
        }
    ref.W.assign(ref.nsino, 0.0);
    ref.V.assign(ref.nsino, 0.0);
    for (int s = 0; s < ref.nsino; ++s) {
        for (int pixel = 0; pixel < ref.npix; ++pixel) ref.W[s] += ref.Q[(size_t)pixel * ref.nsino + s];
        ref.V[s] = ref.W[s] != 0.0 ? 1.0 / (N * ref.W[s]) : 0.0;
    }
    return ref;
}

// x <- x + Q (b~ - V . P x) from x = 0, with b~ = b |cos| / (Ntilts * thickness).
inline std::vector<double> sirt_reference(const SirtProblem& g, const std::vector<float>& sino, int iterations) {
    const SirtReference ref = sirt_reference_operators(g);
    const int N = (int)g.tilts.size(), S = g.sinoX;
    std::vector<double> b(ref.nsino), x(ref.npix, 0.0), e(ref.nsino);
    for (int t = 0; t < N; ++t)
        for (int c = 0; c < S; ++c)
            b[t * S + c] = sino[t * S + c] * std::fabs((double)g.tilts[t].cos_a) / ((double)N * g.reconsY);
    for (int it = 0; it < iterations; ++it) {
        for (int s = 0; s < ref.nsino; ++s) {
            double px = 0;
            for (int pixel = 0; pixel < ref.npix; ++pixel) px += ref.P[(size_t)s * ref.npix + pixel] * x[pixel];
            e[s] = b[s] - ref.V[s] * px;
        }
        for (int pixel = 0; pixel < ref.npix; ++pixel) {
            double q = 0;
            for (int s = 0; s < ref.nsino; ++s) q += ref.Q[(size_t)pixel * ref.nsino + s] * e[s];
            x[pixel] += q;
        }
    }
    return x;
}
