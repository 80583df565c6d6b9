// Working storage of the least-squares routines. One object serves one
// worker: create it once and hand it to every call; nothing is allocated per
// call. The object is large (the reflection matrix alone is 320 kB), so
// create it on the heap.
#pragma once

#include <cstdint>

#include "lsq/function_matrix.h"

namespace tsr {

struct LsqWorkspace {
  // Fields are owned by the least-squares routines; callers only create the object.
};

}  // namespace tsr
