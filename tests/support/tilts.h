#pragma once
// Tilt records for tests, made as the tilt-angle reader makes them.
#include <vector>

#include "io/tilt_angles.h"

inline std::vector<a> tilt_records(const std::vector<float>& degrees) {
    std::vector<a> tilts;
    for (float d : degrees) tilts.push_back(tilt_record(d));
    return tilts;
}
