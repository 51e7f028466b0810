#pragma once
// The whole run of the program, from the command line to the exit status;
// errors are thrown (RunError).
int skarbel_main(int argc, char** argv);
