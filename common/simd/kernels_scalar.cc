// The kernels built for the scalar instruction set.
#define SIMD_LEVEL 0
#define SIMD_NAMESPACE scalar
#define SIMD_SET_NAME "scalar"
#include "kernels_impl.h"
