// The kernels built for the avx512 instruction set.
#define SIMD_LEVEL 3
#define SIMD_NAMESPACE avx512
#define SIMD_SET_NAME "avx512"
#include "kernels_impl.h"
