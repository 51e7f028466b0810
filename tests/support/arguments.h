#pragma once
// The command line as the tests write it: the usage text, and the parser run on a list of words.
#include <string>
#include <vector>

#include "driver/options.h"

const std::string kUsage =
    "\nUsage:\t skarbel [-z thickness] [-g gpu] [-s symmetry_level] [-S] [-i sirt_iterations] <tilt_file> "
    "<input_tiltseries> <output_rec3d> \n\n";

// parse_options on "skarbel args... files...".
inline RunOptions parse_words(std::vector<std::string> args, const std::vector<std::string>& files) {
    args.insert(args.begin(), "skarbel");
    args.insert(args.end(), files.begin(), files.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return parse_options((int)argv.size(), argv.data());
}
