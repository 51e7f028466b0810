#pragma once
// Values of the options about what goes in and what comes out: --log=OFFSET,
// --mode=M and --scale=ADD,MULT. A bad value ends the process with a message
// naming the option and what it must be.

// --log=OFFSET: a finite number.
double parse_log_offset(const char* value);
// --mode=M: 1, 2, 6 or 12.
int parse_output_mode(const char* value);
// --scale=ADD,MULT: two finite numbers separated by a comma.
void parse_output_scale(const char* value, double* add, double* mult);
