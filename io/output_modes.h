#pragma once
// How the output volume stores its samples: MRC MODE 1 (16-bit signed
// integers), 2 (32-bit floats), 6 (16-bit unsigned integers) or 12 (16-bit IEEE
// half floats), after the linear scaling (v + add) * mult.
#include <cstdint>

struct OutputFormat {
    int mode = 2;
    double add = 0, mult = 1;
};

// 4 for MODE 2, 2 for the 16-bit modes.
int output_sample_bytes(int mode);

// Size of an nx x ny x nz volume of the mode with its 1024-byte header.
int64_t output_volume_bytes(int nx, int ny, int nz, int mode);

// The lowest and highest finite values the mode stores.
struct ModeRange {
    double lo, hi;
};
ModeRange output_mode_range(int mode);

// True when the format changes nothing: MODE 2 without scaling.
bool output_format_is_identity(const OutputFormat& format);

// The value sample v is written as: (v + add) * mult computed in double (v
// itself when the scaling is 0,1), then for the integer modes rounded to the
// nearest integer, ties away from zero, and for MODE 12 to the nearest half,
// ties to the even one (MODE 2: rounded to float). A value whose rounded form
// lies beyond the mode's range takes the nearest end and counts as clamped;
// infinities and NaN pass in MODE 2 and 12, and in the integer modes infinities
// clamp and NaN becomes 0, both counted.
float output_value(float v, const OutputFormat& format, bool* clamped);

// output_value of n samples in place; returns how many were clamped.
int64_t output_values(float* values, int64_t n, const OutputFormat& format);
// The same on the calling thread alone.
int64_t output_values_here(float* values, int64_t n, const OutputFormat& format);

// The 16-bit pattern of a value that MODE 1, 6 or 12 represents exactly (an
// output_value of that mode), in host byte order.
uint16_t output_bits16(float value, int mode);

// The MODE 12 pattern of a float that a half represents exactly, or of an
// infinity or NaN (kept quiet).
uint16_t half_bits(float value);
// The value of a MODE 12 pattern.
float half_value(uint16_t bits);

// Packs n values (output_value results) into the mode's samples at out (n *
// output_sample_bytes bytes; out may not overlap values unless MODE 2).
void output_pack(const float* values, int64_t n, int mode, void* out);
