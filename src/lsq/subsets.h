// Enumeration of the harmonic subsets that the selection fit scores: every
// subset of 1..cap that contains cap, in a fixed order. For cap 3 the order
// is (1,2,3), (1,3), (2,3), (3).
#pragma once

#include <cstdint>

#include "lsq/workspace.h"

namespace tsr {

// subset: kMaxSubsetLength + 1 entries; entry 0 is a sentinel that starts at
// 0, the subset itself is subset[1..length]. Start with every entry and the
// length at zero.

// Completes the subset upward until its last entry is cap. Returns false when
// no valid subset results: the length is below 1 (cap below 1) or would
// exceed kMaxSubsetLength.
bool extend_subset(int32_t* subset, int32_t& length, int32_t cap);

// Drops the last entry and raises the new last one. Returns false when the
// enumeration is complete (the length fell to 0). Call it only after
// extend_subset returned true.
bool advance_subset(int32_t* subset, int32_t& length);

}  // namespace tsr
