#include "lsq/workspace.h"

#include <cstddef>

namespace tsr {

namespace {

// The work matrix is read down to the row of its last column even when the
// series has fewer samples, so it holds at least kWorkColumns rows.
size_t rows_of(int32_t capacity) { return static_cast<size_t>(capacity < kWorkColumns ? kWorkColumns : capacity); }

}  // namespace

LsqWorkspace::LsqWorkspace(int32_t capacity)
    : z(rows_of(capacity) * kWorkColumns, 0.0),
      reflector(rows_of(capacity), 0.0),
      reflection(rows_of(capacity) * rows_of(capacity)),
      product(rows_of(capacity) * kWorkColumns, 0.0),
      capacity_(static_cast<int32_t>(rows_of(capacity))) {}

}  // namespace tsr
