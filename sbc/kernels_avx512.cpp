// The vector codec path on AVX-512 (built for it, run only where the
// processor has it).
#define BLMX_KERNEL_NS avx512
#include "sbc/kernels.inc"
