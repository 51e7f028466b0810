#include <gtest/gtest.h>

#include "io/tilt_angles.h"

TEST(Smoke, TiltRecordIsTwentyBytes) { EXPECT_EQ(sizeof(a), 20u); }
