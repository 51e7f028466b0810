#include "driver/run.h"

// Placeholder until the driver lands.
int skarbel_main(int, char**) { return 1; }
