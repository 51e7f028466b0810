#include "driver/run.h"

int main(int argc, char** argv) { return skarbel_main(argc, argv); }
