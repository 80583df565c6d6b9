#include "pixel/gap_fill.h"

#include <cmath>

#include "lsq/constants.h"

namespace tsr {

void interpolate_linear(double x1, double x2, double y1, double y2, double x, double& y,
                        int32_t& flag) {
  flag = 0;
  const double dx = x2 - x1;
  if (std::fabs(dx) < kMinInterpolationSpan || x < x1 || x > x2) {
    flag = 1;
    return;
  }
  const double slope = (y2 - y1) / dx;
  const double offset = (x - x1) * slope;
  y = offset + y1;
}

// The series is worked on in place. This gives the same result as working on a
// copy: the value of band i is read before anything is written at band i, and
// the only writes at earlier bands go to missing samples that were already read
// and are never read again.
void fill_gaps(int32_t nb, double* series, int32_t* status, int32_t& max_gap) {
  if (nb < 1) return;
  int32_t last = 0;         // last valid band seen, 0 while none
  double last_value = 0.0;  // its value
  if (status[0] > 0) {
    last = 1;
    last_value = series[0];
    status[0] = 1;
  } else {
    series[0] = 0.0;
    status[0] = 0;
  }
  for (int32_t i = 2; i <= nb; ++i) {
    const double cur = series[i - 1];
    if (status[i - 1] > 0) {
      const int32_t gap = i - last;
      if (gap > max_gap) max_gap = gap;
      if (gap > 1 && last > 0) {
        // Filled from band i - 1 down to band last + 1.
        for (int32_t k = 1; k <= gap - 1; ++k) {
          const int32_t j = i - k;
          int32_t flag = 0;
          interpolate_linear(static_cast<double>(last), static_cast<double>(i), last_value, cur,
                             static_cast<double>(j), series[j - 1], flag);
          status[j - 1] = 2;
        }
      }
      last = i;
      last_value = cur;
    } else {
      series[i - 1] = 0.0;
    }
  }
}

}  // namespace tsr
