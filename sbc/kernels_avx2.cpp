// The vector codec path on AVX2 (built with -mavx2, run only where the
// processor has it).
#define BLMX_KERNEL_NS avx2
#include "sbc/kernels.inc"
