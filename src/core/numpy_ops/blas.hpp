// The few BLAS calls the product step makes, under one name whichever OpenBLAS was linked: the
// copy shipped with the module (symbols prefixed scipy_) or a system one (plain cblas_*).
#pragma once

#include <cblas.h>

namespace tarnwick::core::blas {

// Our OpenBLAS is a private copy (NumPy loads its own under other names), so its thread count
// is ours alone. The product runs on the calling thread, so OpenBLAS gets one; checked on every
// call, since threadpoolctl and the like set every BLAS they find in the process.
void use_one_thread();

// C <- A·B + beta·C with alpha 1, and y <- A·x + beta·y.
void gemm(CBLAS_ORDER order, CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, int m, int n, int k,
          const double* a, int lda, const double* b, int ldb, double beta, double* c, int ldc);
void gemm(CBLAS_ORDER order, CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, int m, int n, int k,
          const float* a, int lda, const float* b, int ldb, float beta, float* c, int ldc);
void gemv(CBLAS_ORDER order, CBLAS_TRANSPOSE trans, int m, int n, const double* a, int lda,
          const double* x, int incx, double beta, double* y, int incy);
void gemv(CBLAS_ORDER order, CBLAS_TRANSPOSE trans, int m, int n, const float* a, int lda,
          const float* x, int incx, float beta, float* y, int incy);

}  // namespace tarnwick::core::blas
