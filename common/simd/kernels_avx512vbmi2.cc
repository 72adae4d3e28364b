// The kernels built for the avx512vbmi2 instruction set (AVX-512BW, VBMI and VBMI2).
#define SIMD_LEVEL 3
#define SIMD_NAMESPACE avx512vbmi2
#define SIMD_SET_NAME "avx512vbmi2"
#include "kernels_impl.h"
