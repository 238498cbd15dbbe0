// Reference implementations of the pair-loop kernels (isotropy and
// distinctiveness), for the tests and the benchmarks only: they are built
// into their own library (vextral_reference_kernels), never into the wheel.
//
// These are the plain scalar forms, one operation per step of the
// definition. The public kernels run the pair kernel instead
// (pair_measures.hpp), which must agree with them bit for bit on every path.
#pragma once

#include "metrics.hpp"

namespace metrics::reference {

// 1 - mean |cosine| over all pairs, in [0, 1].
float isotropy_reference(const EmbeddingBatch& embeddings);

// (1 - |e|) * (s + 1) over the signed pair cosines,
// clamped to [0, 1].
float distinctiveness_reference(const EmbeddingBatch& embeddings);

}  // namespace metrics::reference
