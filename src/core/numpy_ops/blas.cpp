#include "core/numpy_ops/blas.hpp"

namespace tarnwick::core::blas {

namespace {

#ifdef TARNWICK_CBLAS_PREFIX_SCIPY
constexpr auto get_threads = scipy_openblas_get_num_threads;
constexpr auto set_threads = scipy_openblas_set_num_threads;
constexpr auto dgemm = scipy_cblas_dgemm;
constexpr auto sgemm = scipy_cblas_sgemm;
constexpr auto dgemv = scipy_cblas_dgemv;
constexpr auto sgemv = scipy_cblas_sgemv;
#else
constexpr auto get_threads = openblas_get_num_threads;
constexpr auto set_threads = openblas_set_num_threads;
constexpr auto dgemm = cblas_dgemm;
constexpr auto sgemm = cblas_sgemm;
constexpr auto dgemv = cblas_dgemv;
constexpr auto sgemv = cblas_sgemv;
#endif

}  // namespace

void use_one_thread() {
    if (get_threads() != 1) set_threads(1);
}

void gemm(CBLAS_ORDER order, CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, int m, int n, int k,
          const double* a, int lda, const double* b, int ldb, double beta, double* c, int ldc) {
    dgemm(order, ta, tb, m, n, k, 1.0, a, lda, b, ldb, beta, c, ldc);
}

void gemm(CBLAS_ORDER order, CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, int m, int n, int k,
          const float* a, int lda, const float* b, int ldb, float beta, float* c, int ldc) {
    sgemm(order, ta, tb, m, n, k, 1.0f, a, lda, b, ldb, beta, c, ldc);
}

void gemv(CBLAS_ORDER order, CBLAS_TRANSPOSE trans, int m, int n, const double* a, int lda,
          const double* x, int incx, double beta, double* y, int incy) {
    dgemv(order, trans, m, n, 1.0, a, lda, x, incx, beta, y, incy);
}

void gemv(CBLAS_ORDER order, CBLAS_TRANSPOSE trans, int m, int n, const float* a, int lda,
          const float* x, int incx, float beta, float* y, int incy) {
    sgemv(order, trans, m, n, 1.0f, a, lda, x, incx, beta, y, incy);
}

}  // namespace tarnwick::core::blas
