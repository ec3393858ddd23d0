// Built with -ffp-contract=off: a product and the following sum must stay two
// rounded operations.
#include "halvex/kernels_matmul.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "halvex/kernels_common.h"

namespace kestrane::halvex::kernels {
namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Register tile: MR rows of A times a packed panel of NV vectors of B
// columns. The tile's sums live in registers for the whole k loop.
template <typename T, int kBytes, int MR, int NV>
HALVEX_INLINE void microTile(const T* a, int64_t lda, const T* panel, int64_t k, T* c, int64_t ldc, int rows,
                             int cols) {
  using V = Vec<T, kBytes>;
  constexpr int W = kBytes / sizeof(T);
  constexpr int NR = W * NV;
  V acc[MR][NV];
  V bv[NV];
  for (int v = 0; v < NV; ++v) std::memcpy(&bv[v], panel + v * W, sizeof(V));
  for (int r = 0; r < MR; ++r) {
    const T av = a[(r < rows ? r : 0) * lda];
    for (int v = 0; v < NV; ++v) acc[r][v] = av * bv[v];
  }
  for (int64_t kk = 1; kk < k; ++kk) {
    const T* bp = panel + kk * NR;
    for (int v = 0; v < NV; ++v) std::memcpy(&bv[v], bp + v * W, sizeof(V));
    for (int r = 0; r < MR; ++r) {
      const T av = a[(r < rows ? r : 0) * lda + kk];
      for (int v = 0; v < NV; ++v) acc[r][v] = acc[r][v] + av * bv[v];
    }
  }
  if (rows == MR && cols == NR) {
    for (int r = 0; r < MR; ++r)
      for (int v = 0; v < NV; ++v) std::memcpy(c + r * ldc + v * W, &acc[r][v], sizeof(V));
  } else {
    alignas(64) T tmp[MR][NR];
    for (int r = 0; r < MR; ++r)
      for (int v = 0; v < NV; ++v) std::memcpy(&tmp[r][v * W], &acc[r][v], sizeof(V));
    for (int r = 0; r < rows; ++r) std::memcpy(c + r * ldc, tmp[r], sizeof(T) * cols);
  }
}

template <typename T, int kBytes, int MR, int NV>
HALVEX_INLINE void matmulTiled(const T* a, const T* b, T* c, int64_t m, int64_t n, int64_t k) {
  constexpr int W = kBytes / sizeof(T);
  constexpr int NR = W * NV;
  // One packed panel of NR columns of B, K rows, zero-padded past N.
  std::unique_ptr<T, FreeDeleter> panelOwner(
      static_cast<T*>(std::aligned_alloc(64, ((sizeof(T) * k * NR + 63) / 64) * 64)));
  T* panel = panelOwner.get();
  if (panel == nullptr) throw std::bad_alloc();  // the product would be left unwritten
  for (int64_t j0 = 0; j0 < n; j0 += NR) {
    const int cols = static_cast<int>(std::min<int64_t>(NR, n - j0));
    for (int64_t kk = 0; kk < k; ++kk) {
      T* dst = panel + kk * NR;
      std::memcpy(dst, b + kk * n + j0, sizeof(T) * cols);
      for (int j = cols; j < NR; ++j) dst[j] = T(0);
    }
    int64_t i = 0;
    for (; i + MR <= m; i += MR) microTile<T, kBytes, MR, NV>(a + i * k, k, panel, k, c + i * n + j0, n, MR, cols);
    if (i < m) microTile<T, kBytes, MR, NV>(a + i * k, k, panel, k, c + i * n + j0, n, static_cast<int>(m - i), cols);
  }
}

// Narrow products (a matrix times a vector or a few columns): the plain loop
// in i, k, j order, which is the reference order itself.
template <typename T>
HALVEX_INLINE void matmulNarrow(const T* a, const T* b, T* c, int64_t m, int64_t n, int64_t k) {
  for (int64_t i = 0; i < m; ++i) {
    T* crow = c + i * n;
    const T* arow = a + i * k;
    for (int64_t j = 0; j < n; ++j) crow[j] = arow[0] * b[j];
    for (int64_t kk = 1; kk < k; ++kk) {
      const T av = arow[kk];
      const T* brow = b + kk * n;
      for (int64_t j = 0; j < n; ++j) crow[j] = crow[j] + av * brow[j];
    }
  }
}

template <typename T, int kBytes, int MR, int NV>
HALVEX_INLINE void matmulDispatch(const T* a, const T* b, T* c, int64_t m, int64_t n, int64_t k) {
  if (m <= 0 || n <= 0) return;
  if (k <= 0) {
    std::fill(c, c + m * n, T(0));
    return;
  }
  constexpr int W = kBytes / sizeof(T);
  if (n < W) {
    matmulNarrow(a, b, c, m, n, k);
    return;
  }
  matmulTiled<T, kBytes, MR, NV>(a, b, c, m, n, k);
}

void matmulF32Base(const float* a, const float* b, float* c, int64_t m, int64_t n, int64_t k) {
  matmulDispatch<float, 16, 4, 3>(a, b, c, m, n, k);
}
HALVEX_AVX2 void matmulF32Avx2(const float* a, const float* b, float* c, int64_t m, int64_t n, int64_t k) {
  matmulDispatch<float, 32, 4, 3>(a, b, c, m, n, k);
}
__attribute__((target("avx512f"))) void matmulF32Avx512(const float* a, const float* b, float* c, int64_t m,
                                                        int64_t n, int64_t k) {
  matmulDispatch<float, 64, 6, 4>(a, b, c, m, n, k);
}
void matmulF64Base(const double* a, const double* b, double* c, int64_t m, int64_t n, int64_t k) {
  matmulDispatch<double, 16, 4, 3>(a, b, c, m, n, k);
}
HALVEX_AVX2 void matmulF64Avx2(const double* a, const double* b, double* c, int64_t m, int64_t n, int64_t k) {
  matmulDispatch<double, 32, 4, 3>(a, b, c, m, n, k);
}
__attribute__((target("avx512f"))) void matmulF64Avx512(const double* a, const double* b, double* c, int64_t m,
                                                        int64_t n, int64_t k) {
  matmulDispatch<double, 64, 6, 4>(a, b, c, m, n, k);
}

}  // namespace

void matmulF32(const float* a, const float* b, float* c, int64_t m, int64_t n, int64_t k) {
  if (useAvx512()) return matmulF32Avx512(a, b, c, m, n, k);
  if (useAvx2()) return matmulF32Avx2(a, b, c, m, n, k);
  matmulF32Base(a, b, c, m, n, k);
}

void matmulF64(const double* a, const double* b, double* c, int64_t m, int64_t n, int64_t k) {
  if (useAvx512()) return matmulF64Avx512(a, b, c, m, n, k);
  if (useAvx2()) return matmulF64Avx2(a, b, c, m, n, k);
  matmulF64Base(a, b, c, m, n, k);
}

}  // namespace kestrane::halvex::kernels
