#include "driver/run.h"
#include "io/fail.h"

// Errors reach here as exceptions, once the run has released what it owns
// (the output's temporary file): their text is printed and is the run's end.
int main(int argc, char** argv) { return main_reporting_errors(skarbel_main, argc, argv); }
