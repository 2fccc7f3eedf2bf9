// Placeholder until the vector kernels land: the scalar reference under this name.
#include "cache/kernels.hpp"

namespace marrowvale {

const Kernels kAvx512Kernels = {"avx512", kScalarKernels.dot, kScalarKernels.dot_rows, kScalarKernels.sum,
                                   kScalarKernels.add_scaled, kScalarKernels.blend};

}  // namespace marrowvale
