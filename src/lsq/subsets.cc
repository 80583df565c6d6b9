#include "lsq/subsets.h"

namespace tsr {

bool extend_subset(int32_t* subset, int32_t& length, int32_t cap) {
  while (subset[length] < cap) {
    if (length >= kMaxSubsetLength) return false;
    length = length + 1;
    subset[length] = subset[length - 1] + 1;
  }
  return length >= 1;
}

bool advance_subset(int32_t* subset, int32_t& length) {
  length = length - 1;
  subset[length] = subset[length] + 1;
  return length >= 1;
}

}  // namespace tsr
