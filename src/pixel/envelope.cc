#include "pixel/envelope.h"

#include <cstddef>

#include "lsq/constants.h"

namespace tsr {

namespace {

// Effective half width: windows wider than the series only revisit copies of
// the end values (see EnvelopeScratch).
int32_t effective_window(int32_t nb, int32_t nwin) { return nwin < nb ? nwin : nb; }

// e(1..nb + 2w) with e(k) = series(1) for k <= w, e(w + k) = series(k),
// e(w + nb + k) = series(nb); stored 0-based.
void build_padded(int32_t nb, int32_t w, const double* series, double* e) {
  for (int32_t k = 1; k <= w; ++k) e[k - 1] = series[0];
  for (int32_t k = 1; k <= nb; ++k) e[w + k - 1] = series[k - 1];
  for (int32_t k = 1; k <= w; ++k) e[w + nb + k - 1] = series[nb - 1];
}

// The two filters are mirror images. fill_dips takes the running maxima on
// each side and keeps the smaller of the two, so a dip is raised; clip_peaks
// takes the running minima and keeps the larger. Each side's running extreme
// is replaced only by a value strictly beyond it.
struct Dips {
  static constexpr double kSeed = kEnvelopeMaxSeed;
  static bool beyond(double extreme, double value) { return extreme < value; }
  static double inner(double bwd, double fwd) { return (bwd <= fwd) ? bwd : fwd; }
  static bool guarded(double v) { return v <= kEnvelopeLowGuard; }
};
struct Peaks {
  static constexpr double kSeed = kEnvelopeMinSeed;
  static bool beyond(double extreme, double value) { return extreme > value; }
  static double inner(double bwd, double fwd) { return (bwd >= fwd) ? bwd : fwd; }
  static bool guarded(double v) { return v > kEnvelopeHighGuard; }
};

template <typename Side>
void envelope(int32_t nb, int32_t nwin, double* series, EnvelopeScratch& scratch) {
  if (nb < 1 || nb > scratch.capacity()) return;
  if (nwin < 0) {
    // No window at all: the running extremes stay at their seeds and the
    // guard turns every result into 0.0.
    for (int32_t k = 1; k <= nb; ++k) series[k - 1] = 0.0;
    return;
  }
  const int32_t w = effective_window(nb, nwin);
  double* e = scratch.padded.data();
  build_padded(nb, w, series, e);
  for (int32_t k = 1; k <= nb; ++k) {
    double fwd = Side::kSeed;
    double bwd = Side::kSeed;
    for (int32_t j = 0; j <= w; ++j) {
      const double ahead = e[w + k + j - 1];
      const double behind = e[w + k - j - 1];
      if (Side::beyond(fwd, ahead)) fwd = ahead;
      if (Side::beyond(bwd, behind)) bwd = behind;
    }
    double v = Side::inner(bwd, fwd);
    if (Side::guarded(v)) v = 0.0;
    series[k - 1] = v;
  }
}

}  // namespace

EnvelopeScratch::EnvelopeScratch(int32_t capacity) : padded(3 * static_cast<std::size_t>(capacity < 1 ? 1 : capacity), 0.0) {}

void fill_dips(int32_t nb, int32_t nwin, double* series, EnvelopeScratch& scratch) {
  envelope<Dips>(nb, nwin, series, scratch);
}

void clip_peaks(int32_t nb, int32_t nwin, double* series, EnvelopeScratch& scratch) {
  envelope<Peaks>(nb, nwin, series, scratch);
}

}  // namespace tsr
