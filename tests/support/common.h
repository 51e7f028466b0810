#pragma once
// What most tests use: googletest, the standard library, child processes, files and header bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "support/capture.h"
#include "support/files.h"
#include "support/header_bytes.h"
