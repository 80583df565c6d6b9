#include "lsq/workspace.h"

#include <cstddef>
#include <cstdint>

namespace tsr {

namespace {

// The work matrix is read down to the row of its last column even when the
// series has fewer samples, so it holds at least kWorkColumns rows.
size_t rows_of(int32_t capacity) { return static_cast<size_t>(capacity < kWorkColumns ? kWorkColumns : capacity); }

}  // namespace

uint64_t LsqWorkspace::reflection_bytes(int32_t capacity) {
  const unsigned __int128 rows = rows_of(capacity);
  const unsigned __int128 bytes = rows * rows * sizeof(double);
  return bytes > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(bytes);
}

uint64_t LsqWorkspace::heap_bytes_besides_reflection(int32_t capacity) {
  // z, reflector and product: at most 2^31 rows of 103 doubles, far from overflow.
  return uint64_t{rows_of(capacity)} * (2 * kWorkColumns + 1) * sizeof(double);
}

LsqWorkspace::LsqWorkspace(int32_t capacity)
    : z(rows_of(capacity) * kWorkColumns, 0.0),
      reflector(rows_of(capacity), 0.0),
      reflection(rows_of(capacity) * rows_of(capacity)),
      product(rows_of(capacity) * kWorkColumns, 0.0),
      capacity_(static_cast<int32_t>(rows_of(capacity))) {}

}  // namespace tsr
