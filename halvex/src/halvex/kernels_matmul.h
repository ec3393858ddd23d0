#pragma once

// Dense row-major matrix products C[M x N] = A[M x K] * B[K x N]. Every
// element of C is summed in increasing k, starting from the product for
// k = 0, with each product rounded before it is added (this code is built
// without contraction into fused multiply-adds), so the result equals the
// plain i, k, j loop bit for bit. K = 0 gives zeros. Throws std::bad_alloc
// when there is no host memory for the packed columns of B.

#include <cstdint>

namespace kestrane::halvex::kernels {

void matmulF32(const float* a, const float* b, float* c, int64_t m, int64_t n, int64_t k);
void matmulF64(const double* a, const double* b, double* c, int64_t m, int64_t n, int64_t k);

}  // namespace kestrane::halvex::kernels
