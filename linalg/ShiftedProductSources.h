#pragma once

// Fragment kernels that multiply a vector, taken as one diagonal of a band
// matrix, by a shifted copy of another. Shared by both vector layouts: the
// packed layout's rotation 0 is the same computation on whole texels.
namespace shifted_product {

extern const char* const kMulSource;
extern const char* const kMulAddSource;
extern const char* const kMulShiftedSource;
extern const char* const kMulShiftedAddSource;

}  // namespace shifted_product
