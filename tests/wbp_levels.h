#pragma once
// The WBP entry points of one symmetry level, chosen at run time, for tests
// that loop over the levels. sinoY and the tilt count are both tilts.size().
#include <vector>

#include "gpu/wg.h"

inline void wbp_setup_level(int level, const std::vector<a>& tilts, int sinoX, int reconsX, int thickness) {
    const int n = (int)tilts.size();
    switch (level) {
        case 0: wbp_setup_sym0(tilts.data(), sinoX, n, reconsX, thickness, n); break;
        case 1: wbp_setup_sym1(tilts.data(), sinoX, n, reconsX, thickness, n); break;
        case 2: wbp_setup_sym2(tilts.data(), sinoX, n, reconsX, thickness, n); break;
        default: wbp_setup_sym3(tilts.data(), sinoX, n, reconsX, thickness, n); break;
    }
}

inline void wbp_product_level(int level, float* slice, const float* sino, int sinoX, int n, int reconsX,
                              int thickness) {
    switch (level) {
        case 0: wbp_product_sym0(slice, sino, sinoX, n, reconsX, thickness); break;
        case 1: wbp_product_sym1(slice, sino, sinoX, n, reconsX, thickness, n); break;
        case 2: wbp_product_sym2(slice, sino, sinoX, n, reconsX, thickness, n); break;
        default: wbp_product_sym3(slice, sino, sinoX, n, reconsX, thickness, n); break;
    }
}
