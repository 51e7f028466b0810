#pragma once
#include <vector>

#include "driver/options.h"

// Takes the long options (--name or --name=value, up to a "--" that ends the
// options) out of the command line into options; returns the rest, argv[0]
// first, for the single-letter parser. --help and --version throw their text
// as a finished run (RunError, status 0); an unknown name or a bad value fails with a message.
std::vector<char*> take_long_options(int argc, char** argv, RunOptions* options);

// Applies one long option, "--name" or "--name=value", as on the command line.
void apply_long_option(const char* arg, RunOptions* options);
