#pragma once
// The weighting filter of --sirt-like=N: per tilt, the ramp shaped so that one
// weighted back-projection answers each frequency of the projection as N SIRT
// iterations from zero do.
//
// One SIRT step adds to the slice the back-projection of the residual, each
// projection row scaled by |cos a_t| / thickness (the inverse length of its
// rays through the slab) and by 1/Ntilts. Taking projection followed by
// back-projection as the inverse of the ramp weighted by each tilt's angular
// share s_t (the ramp filter of a back-projection of Ntilts views makes
// Ntilts * s_t * |f| the filter that inverts it), one step multiplies
// frequency f of tilt t's residual by 1 - lambda_t(f), with
//     lambda_t(f) = |cos a_t| / (thickness * Ntilts * s_t * |f|),
// and N steps from zero give the back-projection filter (in the units of the
// weighting, whose back-projection averages the tilts)
//     H_t(f) = |cos a_t| / thickness * (1 - (1 - lambda_t)^N) / lambda_t
//           = Ntilts * s_t * |f| * (1 - (1 - lambda_t)^N)   where lambda_t < 1.
// lambda_t is taken as 1 at the low frequencies where it would pass 1: there
// the discrete iteration, normalised by its ray weights, converges in a step
// (its gain never exceeds 1), so H_t = |cos a_t| / thickness, the mean density
// along the rays, down to the mean of the row.
#include <vector>

#include "io/tilt_angles.h"
#include "weighting/weighting.h"

// Angular share of every tilt in radians: half the gap to the nearest other
// angle on each side, sorted by angle; the first and last tilts take their inner
// half gap on their outer side too, and tilts of equal angle split their share.
// A lone angle (one tilt, or all equal) shares pi.
std::vector<double> sirt_like_angle_shares(const a* tilts, int ntilts);

// H_t at f cycles per sample (0 <= f <= 0.5) for a tilt of cosine cos_a and
// angular share `share`.
double sirt_like_gain(double f, double cos_a, double share, int thickness, int ntilts, int iterations);

// Gains of all tilts for weighting_setup_gains: ntilts * fft_size values,
// element k of tilt t at f = min(k, fft_size - k) / fft_size, times the radial
// taper's factor where one is given.
std::vector<float> sirt_like_gains(const a* tilts, int ntilts, int thickness, int fft_size, int iterations,
                                   const RadialTaper* radial);
