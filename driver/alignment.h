#pragma once
// The numbers an alignment pipeline hands a reconstruction: angle and axis
// offsets, a shift of the slab, its width, the tilt of the specimen about the
// X axis, and a binning. As given by the user, lengths in pixels of the stack
// as stored; the defaults leave the run as it would be without them.
struct Alignment {
    double angle_offset = 0;  // DELANG: degrees added to every tilt angle
    double axis_offset = 0;   // DELXX: the tilt axis crosses the detector at its centre + DELXX
    double shift_x = 0;       // DX: the reconstruction moves by DX columns ...
    double shift_z = 0;       // DZ: ... and DZ rows
    int width = 0;            // slice width; 0: NX of the stack
    double xaxis_tilt = 0;    // degrees the specimen is rotated about the X axis
    int bin = 1;              // N: projections averaged over N x N blocks as read
};

