// The vector codec path on the x86-64 baseline (SSE2).
#define BLMX_KERNEL_NS sse2
#include "sbc/kernels.inc"
