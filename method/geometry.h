#pragma once
// The geometry of one run, shared by both methods: the detector and slice
// sizes, the centres of both and the averaging factor. Built once per run.
#include "gpu/gpu_layer.h"
#include "io/tilt_angles.h"

struct Geometry {
    int sinoX = 0;    // detector width (samples per projection row)
    int Ntilts = 0;   // tilts, which are also the rows of a sinogram
    int reconsX = 0;  // slice width
    int reconsY = 0;  // slice thickness
    int slices = 0;   // slices of the run
    float w_2 = 0, h_2 = 0, r_2 = 0;  // centres of the slice width, the thickness and the detector
    float factor = 0;                 // 1 / Ntilts
};

// Centres and factor formed in double precision and kept as floats.
Geometry make_geometry(int sinoX, int Ntilts, int reconsX, int reconsY, int slices = 1);

// Detector position of the centred pixel (x, z) at one tilt, in this fixed
// order: both products, their difference, then the detector centre.
SK_HD inline float detector_position(const a& tilt, float x, float z, float r_2) {
    return tilt.cos_a * x - z * tilt.sin_a + r_2;
}
