/* Preloaded with the module's coverage build (fuzz/build_module.sh): the
 * module is instrumented with one flag per edge (inline-bool-flag), which
 * libFuzzer does not read by itself; this hands the flags to it as its 8-bit
 * counters.  A flag is set to 1 however often its edge runs, so an edge run
 * a multiple of 256 times in one input (every loop over the coefficients)
 * still counts, where an 8-bit counter would wrap to zero. */
#include <stdint.h>

void __sanitizer_cov_8bit_counters_init(uint8_t* start, uint8_t* stop);

void __sanitizer_cov_bool_flag_init(uint8_t* start, uint8_t* stop) {
  __sanitizer_cov_8bit_counters_init(start, stop);
}
