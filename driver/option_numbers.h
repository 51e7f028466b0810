#pragma once
// The numbers of the long options' values, read strictly: the whole text, no
// leading space, finite; the callers name the option in their messages.
#include <string>

// A finite decimal number making up the whole text.
bool finite_number(const std::string& text, double* value);

// A whole number from lo to hi making up the whole text, or -1.
long whole_number(const char* value, long lo, long hi);
