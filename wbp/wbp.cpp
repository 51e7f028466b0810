// Weighted back-projection on the plan's device: the set-up of a plan (the
// matrix of one slice, built once per run) and its release.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "gpu/gpu_layer.h"
#include "wbp/wbp.h"
#include "wbp/wbp_levels.h"
#include "wbp/wbp_sizes.h"

namespace {

size_t floats(long long n) { return (size_t)n * sizeof(float); }
size_t ints(long long n) { return (size_t)n * sizeof(int); }

// What every level's set-up does before its matrix kernel: allocate the tilt
// records and the level's matrix arrays, copy the tilt records, zero the matrix
// arrays, with the mirrors the level holds.
void prepare_matrix(MethodBuffers& d, const WbpSizes& s, const a* tangles, int Ntilts) {
    const bool mirror_columns = wbp_level(s.level).mirror_columns, mirror_rows = wbp_level(s.level).mirror_rows;
    d.d_tangles = gpu_array(a, Ntilts);
    d.d_matrix = gpu_array(float, s.entries);
    d.d_column = gpu_array(int, s.entries);
    if (mirror_columns) d.d_column2 = gpu_array(int, s.entries);
    d.d_length = gpu_array(int, s.nRows);
    if (mirror_rows) {
        d.d_row1 = gpu_array(int, s.nRows);
        d.d_row2 = gpu_array(int, s.nRows);
    }
    gpu_copy_to_device(d.d_tangles, tangles, sizeof(a) * (size_t)Ntilts);
    gpu_zero_new(d.d_matrix, floats(s.entries));
    gpu_zero_new(d.d_column, ints(s.entries));
    if (mirror_columns) gpu_zero_new(d.d_column2, ints(s.entries));
    gpu_zero_new(d.d_length, ints(s.nRows));
    if (mirror_rows) {
        gpu_zero_new(d.d_row1, ints(s.nRows));
        gpu_zero_new(d.d_row2, ints(s.nRows));
    }
}

// The layout the plan stores its matrix in: tiles where the host forms read
// it, entry-major for the kernel bodies. A tile of 64 x 64 pixels meets at most
// about 90 detector columns per tilt, so that its samples of a 16-lane batch
// for all tilts stay in L2 while it is summed. Level 3 reads four samples sets
// instead of two and a thread must own whole bands of rows; on two threads
// sharing a core's caches its tiles lost to the entry-major blocks (1.03 -
// 1.14x their time at 16 lanes), so level 3 keeps the entry-major layout.
host_tiles::TileLayout plan_tiles(const WbpSizes& s, const Geometry& g, const ExecChoices& x) {
    host_tiles::TileLayout L{s.rows, g.reconsX, 0, 0, s.capacity};
    if (!x.host_forms() || !wbp_level(s.level).host_tiles) return L;
    L.tile_rows = 64;
    L.tile_cols = 64;
    return L;
}

}  // namespace

void wbp_build_matrix(const WbpPlan& p) {
    const WbpSizes s = wbp_sizes(p.level, p.g);
    wbp_level(p.level).build(p, s.rows, (int)s.nRows);
    gpu_synchronize();
}

// A set-up that stops half way (an error thrown from a check or an
// allocation) leaves what it took to the owners in p, which free it.
WbpPlan wbp_setup(int level, const a* tangles, const Geometry& g, float memory_mb, const ExecChoices& x) {
    WbpPlan p;
    p.level = level;
    p.g = g;
    p.x = x;
    const WbpSizes s = wbp_check_sizes(level, g, memory_mb);
    p.tiles = plan_tiles(s, g, x);
    prepare_matrix(p.d, s, tangles, g.Ntilts);
    wbp_build_matrix(p);
    for (WbpTurn& t : p.turns) t.stream = StreamOwner(gpu_stream_create());
    return p;
}

int wbp_level_to_run(int level, const a* tangles, int Ntilts, bool warn) {
    const int built = wbp_level_built(level, tangles, Ntilts);
    if (built != level && warn)
        fputs("Warning: symmetry level 3 needs tilt-symmetric angles (angle(Ntilts - t) = -angle(t)); "
              "using symmetry level 2\n",
              stderr);
    return built;
}

void wbp_free(WbpPlan& p) { p = WbpPlan{}; }
