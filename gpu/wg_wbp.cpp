// Placeholder until weighted back-projection lands: every slice stays zero.
#include "gpu/wg.h"

void wbp_setup_sym0(const a*, int, int, int, int, int) {}
void wbp_setup_sym1(const a*, int, int, int, int, int) {}
void wbp_setup_sym2(const a*, int, int, int, int, int) {}
void wbp_setup_sym3(const a*, int, int, int, int, int) {}
void wbp_product_sym0(float*, const float*, int, int, int, int) {}
void wbp_product_sym1(float*, const float*, int, int, int, int, int) {}
void wbp_product_sym2(float*, const float*, int, int, int, int, int) {}
void wbp_product_sym3(float*, const float*, int, int, int, int, int) {}
void wbp_free() {}
