// In-place inversion of a small dense matrix by Gauss-Jordan elimination with
// full pivoting.
#pragma once

#include <cstdint>

namespace tsr {

// a: column-major with leading dimension lda; the leading n x n block is
// replaced by its inverse. A stage without a pivot (singular matrix) returns at
// once, leaving the block partly reduced. n <= kSolverDim; an order of zero
// or less, or above kSolverDim, leaves the matrix unchanged. Nothing is
// reported either way.
void invert_in_place(double* a, int32_t n, int32_t lda);

}  // namespace tsr
