#include "seasons/seasons.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tsr {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTwoPi = 6.283185307179586;  // the 8-byte real nearest to 2 pi
// The step of the model's linear term: b * 0.1 * t.
constexpr double kTrendStep = 0.1;
// Grid points per period of the fastest harmonic, at least.
constexpr int32_t kGridPerPeriod = 16;
// Band dates are day numbers within this distance of 1970-01-01.
constexpr double kMaxDayNumber = 1e7;
// Critical points of the periodic part kept per cycle (a harmonic of f
// cycles has 2 f of them; the margin takes degenerate doubles).
constexpr int kMaxCritical = 4 * kMaxSeasonCycles + 8;
// Newton steps on the exact curve end once a step is this small (in steps):
// the error left is then of the order of its square.
constexpr double kNewtonDone = 1e-4;
constexpr int kMaxNewton = 6;
// Steps on the cubic that starts them end once a step is this small (in
// the cell's own coordinate, 0..1).
constexpr double kCubicDone = 1e-3;

// The levels of a season, as shares of the way from trough to peak.
constexpr double kLevel15 = 0.15, kLevel20 = 0.20, kLevel50 = 0.50, kLevel80 = 0.80, kLevel90 = 0.90;

// ---------------------------------------------------------------------------
// The civil calendar (proleptic Gregorian), on day numbers since 1970-01-01.

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t year_of_day(int64_t z) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return yoe + era * 400 + (m <= 2);
}

double first_of_year(int64_t year) { return static_cast<double>(days_from_civil(year, 1, 1)); }

int64_t year_of(double day) { return year_of_day(static_cast<int64_t>(std::floor(day))); }

// The same time of the same day of the year, `years` years later.
double shift_years(double day, int64_t years) {
  const int64_t year = year_of(day);
  return first_of_year(year + years) + (day - first_of_year(year));
}

// j modulo n, in 0..n-1: the grid index of an unwrapped one.
int64_t wrap_other(int64_t j, int64_t n) {
  const int64_t r = j % n;
  return r < 0 ? r + n : r;
}
inline int64_t wrap(int64_t j, int64_t n) {
  if (j >= 0 && j < n) return j;
  if (j >= n && j < 2 * n) return j - n;
  return wrap_other(j, n);
}

// The largest integer not above x, and the smallest not below (|x| well
// within the range of the integer).
int64_t floor_int(double x) {
  const int64_t i = static_cast<int64_t>(x);
  return i - (static_cast<double>(i) > x);
}
int64_t ceil_int(double x) {
  const int64_t i = static_cast<int64_t>(x);
  return i + (static_cast<double>(i) < x);
}

}  // namespace

// ---------------------------------------------------------------------------
// The plan

bool SeasonsPlan::init(const SeasonsModel& model, const SeasonsOptions& options, std::string* error) {
  ready_ = false;
  has_dates_ = false;
  day_.clear();
  auto fail = [error](std::string message) {
    if (error != nullptr) *error = std::move(message);
    return false;
  };
  if (model.nb < 1) return fail("the record needs at least one band (nb = " + std::to_string(model.nb) + ")");
  if (model.npoint < 1 || model.npoint > kMaxSeasonNpoint)
    return fail("npoint must be 1.." + std::to_string(kMaxSeasonNpoint) + " (npoint = " +
                std::to_string(model.npoint) + ")");
  if (model.nfunc < 0 || model.nfunc > kMaxSeasonHarmonics)
    return fail("nfunc must be 0.." + std::to_string(kMaxSeasonHarmonics) + " (nfunc = " +
                std::to_string(model.nfunc) + ")");
  if (model.nfunc > 0 && model.cycles == nullptr) return fail("the cycles of the harmonics are missing");
  for (int32_t k = 0; k < model.nfunc; ++k) {
    if (model.cycles[k] < 1 || model.cycles[k] > kMaxSeasonCycles)
      return fail("harmonic " + std::to_string(k + 1) + " has " + std::to_string(model.cycles[k]) +
                  " cycles; 1.." + std::to_string(kMaxSeasonCycles) + " are possible");
  }
  if (!(std::isfinite(options.factor) && options.factor > 0.0))
    return fail("the factor (raw units per user unit) must be a positive number");
  if (!(std::isfinite(options.min_amplitude) && options.min_amplitude >= 0.0))
    return fail("the smallest amplitude must be a number of 0 or more");
  if (!(options.min_share >= 0.0 && options.min_share <= 1.0)) return fail("the smallest share must be 0..1");
  if (model.band_days != nullptr) {
    for (int32_t i = 0; i < model.nb; ++i) {
      const double d = model.band_days[i];
      if (!(std::fabs(d) <= kMaxDayNumber))
        return fail("the date of band " + std::to_string(i + 1) + " is not a day number near 1970");
      if (i > 0 && !(d > model.band_days[i - 1]))
        return fail("the dates of bands " + std::to_string(i) + " and " + std::to_string(i + 1) +
                    " do not increase");
    }
  }

  nb_ = model.nb;
  npoint_ = model.npoint;
  nfunc_ = model.nfunc;
  options_ = options;
  middle_ = (1.0 + nb_) / 2.0;
  unit_ = 4096.0 / options.factor;
  omega1_ = kTwoPi / npoint_;
  max_cycles_ = 0;
  cycles_.fill(0);
  omega_.fill(0.0);
  for (int32_t k = 0; k < nfunc_; ++k) {
    cycles_[k] = model.cycles[k];
    omega_[k] = (kTwoPi * cycles_[k]) / npoint_;
    max_cycles_ = std::max(max_cycles_, cycles_[k]);
  }
  // At least two points a step, and kGridPerPeriod a period of the fastest
  // harmonic; a whole number a step, so that every band is a grid point.
  per_step_ = std::max<int32_t>(2, (kGridPerPeriod * max_cycles_ + npoint_ - 1) / npoint_);
  grid_ = npoint_ * per_step_;
  sin_.assign(static_cast<size_t>(nfunc_) * grid_, 0.0);
  cos_.assign(static_cast<size_t>(nfunc_) * grid_, 0.0);
  for (int32_t k = 0; k < nfunc_; ++k) {
    for (int32_t j = 0; j < grid_; ++j) {
      const int64_t turn = wrap(static_cast<int64_t>(cycles_[k]) * j, grid_);
      const double angle = (kTwoPi * static_cast<double>(turn)) / grid_;
      sin_[static_cast<size_t>(k) * grid_ + j] = std::sin(angle);
      cos_[static_cast<size_t>(k) * grid_ + j] = std::cos(angle);
    }
  }

  // Dates of the bands that the reported cycles reach (the peak within half
  // a cycle of the middle, the troughs within a cycle of the peak), and of
  // the record; a margin of a cycle on either side to bridge the dates of a
  // record shorter than a cycle.
  has_dates_ = model.band_days != nullptr;
  first_day_band_ = 0;
  if (has_dates_) {
    const double low = middle_ - 1.5 * npoint_;
    const double high = middle_ + 1.5 * npoint_;
    const int64_t first = std::min<int64_t>(1, static_cast<int64_t>(std::floor(low)) - 2);
    const int64_t last = std::max<int64_t>(nb_, static_cast<int64_t>(std::ceil(high)) + 2);
    const int64_t lo = first - npoint_, hi = last + npoint_;
    std::vector<double> day(static_cast<size_t>(hi - lo + 1), kNaN);
    const double* d = model.band_days;
    for (int64_t i = lo; i <= hi; ++i) {
      double& out = day[static_cast<size_t>(i - lo)];
      if (i >= 1 && i <= nb_) {
        out = d[i - 1];
      } else if (i > nb_) {
        const int64_t q = (i - nb_ + npoint_ - 1) / npoint_;
        const int64_t source = i - q * npoint_;
        if (source >= 1) out = shift_years(d[source - 1], q);
      } else {
        const int64_t q = (1 - i + npoint_ - 1) / npoint_;
        const int64_t source = i + q * npoint_;
        if (source <= nb_) out = shift_years(d[source - 1], -q);
      }
    }
    // Bands that no cycle's copy of the record reaches: straight between
    // the nearest dated ones (every run of npoint bands has one).
    for (int64_t i = lo; i <= hi; ++i) {
      if (!std::isnan(day[static_cast<size_t>(i - lo)])) continue;
      int64_t before = i, after = i;
      while (before >= lo && std::isnan(day[static_cast<size_t>(before - lo)])) --before;
      while (after <= hi && std::isnan(day[static_cast<size_t>(after - lo)])) ++after;
      if (before < lo || after > hi) continue;
      const double db = day[static_cast<size_t>(before - lo)], da = day[static_cast<size_t>(after - lo)];
      day[static_cast<size_t>(i - lo)] =
          db + (da - db) * (static_cast<double>(i - before) / static_cast<double>(after - before));
    }
    day_.assign(day.begin() + (first - lo), day.begin() + (last - lo) + 1);
    first_day_band_ = static_cast<int32_t>(first);
    // Dates that do not increase (band dates that are not a year's cycle of
    // npoint steps): beyond the record, steps of the record's mean step.
    bool increasing = true;
    for (size_t i = 0; i < day_.size(); ++i) {
      if (std::isnan(day_[i]) || (i > 0 && !(day_[i] > day_[i - 1]))) increasing = false;
    }
    if (!increasing) {
      const double step = nb_ >= 2 ? (d[nb_ - 1] - d[0]) / (nb_ - 1) : 365.2425 / npoint_;
      for (size_t i = 0; i < day_.size(); ++i) {
        const int64_t band = first + static_cast<int64_t>(i);
        if (band < 1) day_[i] = d[0] + static_cast<double>(band - 1) * step;
        else if (band > nb_) day_[i] = d[nb_ - 1] + static_cast<double>(band - nb_) * step;
        else day_[i] = d[band - 1];
      }
    }
  }
  ready_ = true;
  return true;
}

double SeasonsPlan::step_days(int64_t band) const {
  const int64_t count = static_cast<int64_t>(day_.size());
  const int64_t i = std::clamp<int64_t>(band - first_day_band_, 0, count - 2);
  return day_[i + 1] - day_[i];
}

double SeasonsPlan::day_of_step(double t) const {
  if (!has_dates_ || day_.size() < 2) return t;
  const int64_t count = static_cast<int64_t>(day_.size());
  int64_t i = floor_int(t) - first_day_band_;
  i = std::clamp<int64_t>(i, 0, count - 2);
  const double r = t - static_cast<double>(first_day_band_ + i);
  return day_[i] + r * (day_[i + 1] - day_[i]);
}

SeasonsWorkspace::SeasonsWorkspace(const SeasonsPlan& plan)
    : value_(static_cast<size_t>(plan.grid_size())), slope_(static_cast<size_t>(plan.grid_size())) {}

// ---------------------------------------------------------------------------
// One pixel

class SeasonsComputation {
 public:
  SeasonsComputation(const SeasonsPlan& plan, SeasonsWorkspace& ws) : plan_(plan), ws_(ws) {
    const size_t g = static_cast<size_t>(plan.grid_);
    if (ws_.value_.size() != g) {  // a workspace made for another plan
      ws_.value_.assign(g, 0.0);
      ws_.slope_.assign(g, 0.0);
    }
  }

  void run(const double* params, bool has_model, double* bands, SeasonDetail* detail);

 private:
  // The periodic part and its first three derivatives at a time, and its
  // antiderivative (periodic: the part has no constant term).
  struct Point {
    double d[4];
    double q;
  };
  // A critical point of the periodic part.
  struct Critical {
    double t;
    double v;
    bool peak;
  };
  // A season of the cycle: its troughs and peak (times unwrapped, left <
  // peak < right), and the positions of its troughs in the critical list.
  struct Season {
    double tl, tp, tr;
    double vl, vp, vr;
    int pl, pr;  // positions of the troughs in crit_ (pr may equal pl: one cycle apart)
    double amplitude;  // peak minus the mean of the troughs
    double rise;       // peak minus the higher trough: what decides whether it counts
  };
  // One end of a grid cell: time, value and derivative of the function
  // whose root is sought.
  struct End {
    double t, f, g;
  };

  Point eval(double t) const;
  double grid_derivative(int64_t j, int order) const;
  double refine(int order, double level, End u, End v, Point* at) const;
  int find_critical(Critical* out) const;
  int season_points(const Season& s, Critical* pts) const;
  void side_crossings(const Critical* pts, int npts, bool greenup, const double* levels, int nlevels, double* t,
                      Point* at) const;
  double integral_of_periodic(double from, double to, double q_from, double q_to) const;

  const SeasonsPlan& plan_;
  SeasonsWorkspace& ws_;
  double a_[kMaxSeasonHarmonics] = {};  // the periodic part is sum a sin(w t) + b cos(w t)
  double b_[kMaxSeasonHarmonics] = {};
  double qa_[kMaxSeasonHarmonics] = {};  // a / w and b / w: the antiderivative is sum qb sin - qa cos
  double qb_[kMaxSeasonHarmonics] = {};
  double m2_ = 0.0;  // a bound of the second derivative's magnitude
  Critical crit_[kMaxCritical];         // the alternating critical points, from a lowest trough on
  int ncrit_ = 0;
};

SeasonsComputation::Point SeasonsComputation::eval(double t) const {
  const int32_t m = plan_.per_step_;
  const double r = t * m;
  const int64_t jr = floor_int(r + 0.5);  // the nearest grid point
  const double delta = (r - static_cast<double>(jr)) / m;
  const int64_t j = wrap(jr, plan_.grid_);
  const double alpha = plan_.omega1_ * delta;
  double sm[kMaxSeasonCycles + 1], cm[kMaxSeasonCycles + 1];
  sm[0] = 0.0;
  cm[0] = 1.0;
  sm[1] = std::sin(alpha);
  cm[1] = std::cos(alpha);
  for (int32_t f = 2; f <= plan_.max_cycles_; ++f) {
    sm[f] = sm[f - 1] * cm[1] + cm[f - 1] * sm[1];
    cm[f] = cm[f - 1] * cm[1] - sm[f - 1] * sm[1];
  }
  Point p{{0.0, 0.0, 0.0, 0.0}, 0.0};
  for (int32_t k = 0; k < plan_.nfunc_; ++k) {
    const size_t at = static_cast<size_t>(k) * plan_.grid_ + static_cast<size_t>(j);
    const double sj = plan_.sin_[at], cj = plan_.cos_[at];
    const int32_t f = plan_.cycles_[k];
    const double s = sj * cm[f] + cj * sm[f];
    const double c = cj * cm[f] - sj * sm[f];
    const double w = plan_.omega_[k];
    const double u = a_[k] * s + b_[k] * c;  // the harmonic's value
    const double v = a_[k] * c - b_[k] * s;  // its derivative over w
    p.d[0] += u;
    p.d[1] += w * v;
    p.d[2] -= (w * w) * u;
    p.d[3] -= ((w * w) * w) * v;
    p.q += qb_[k] * s - qa_[k] * c;
  }
  return p;
}

// The second (order 2) or third (3) derivative at grid point j.
double SeasonsComputation::grid_derivative(int64_t j, int order) const {
  const size_t jj = static_cast<size_t>(wrap(j, plan_.grid_));
  double sum = 0.0;
  for (int32_t k = 0; k < plan_.nfunc_; ++k) {
    const size_t at = static_cast<size_t>(k) * plan_.grid_ + jj;
    const double w = plan_.omega_[k];
    const double s = plan_.sin_[at], c = plan_.cos_[at];
    if (order == 2) sum -= (w * w) * (a_[k] * s + b_[k] * c);
    else sum -= ((w * w) * w) * (a_[k] * c - b_[k] * s);
  }
  return sum;
}

// The root of F = P - level (order 0), F = P' (1) or F = P'' (2), P the
// periodic part, in the cell [u.t, v.t], where F changes sign (or is zero at an
// end), u.g and v.g the derivatives of F at the ends: the cubic through the
// ends' values and slopes gives the start, Newton steps on the exact curve
// finish. *at is the curve at the root.
double SeasonsComputation::refine(int order, double level, End u, End v, Point* at) const {
  const double h = v.t - u.t;
  double s;
  if (u.f == 0.0) {
    s = 0.0;
  } else if (v.f == 0.0) {
    s = 1.0;
  } else {
    // The cubic in the cell's own coordinate s (0 at u, 1 at v), by powers.
    const double gu = h * u.g, gv = h * v.g;
    const double c0 = u.f, c1 = gu, c2 = 3.0 * (v.f - u.f) - 2.0 * gu - gv, c3 = 2.0 * (u.f - v.f) + gu + gv;
    double lo = 0.0, hi = 1.0;
    s = u.f / (u.f - v.f);
    // Newton steps on the cubic, kept within the bracket; a step below
    // kCubicDone leaves an error of the order of its square, well within
    // what the steps on the exact curve take.
    for (int it = 0; it < 40; ++it) {
      const double hv = ((c3 * s + c2) * s + c1) * s + c0;
      if (hv == 0.0) break;
      if ((hv < 0.0) == (u.f < 0.0)) lo = s;
      else hi = s;
      const double dh = (3.0 * c3 * s + 2.0 * c2) * s + c1;
      double next = dh != 0.0 ? s - hv / dh : 0.5 * (lo + hi);
      if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
      const bool done = std::fabs(next - s) <= kCubicDone;
      s = next;
      if (done) break;
    }
  }
  double t = u.t + s * h;
  Point p = eval(t);
  for (int it = 0; it < kMaxNewton; ++it) {
    const double f = p.d[order] - level;
    const double g = p.d[order + 1];
    if (f == 0.0 || g == 0.0) break;
    double next = t - f / g;
    next = std::clamp(next, u.t, v.t);
    const double step = next - t;
    if (std::fabs(step) <= kNewtonDone) {
      // Carry the curve to the last step by its Taylor series.
      const double s2 = step * step / 2.0, s3 = s2 * step / 3.0;
      p.q += p.d[0] * step + p.d[1] * s2 + p.d[2] * s3;
      p.d[0] += p.d[1] * step + p.d[2] * s2 + p.d[3] * s3;
      p.d[1] += p.d[2] * step + p.d[3] * s2;
      p.d[2] += p.d[3] * step;
      t = next;
      break;
    }
    t = next;
    p = eval(t);
  }
  *at = p;
  return t;
}

// The critical points of the periodic part over one cycle, in time order
// in [0, npoint): the sign changes of its derivative on the grid, and the
// pairs that a cell can hide where the derivative dips towards zero without
// changing sign at the grid points (a shoulder). Between them the curve is
// monotone. Returns their number.
int SeasonsComputation::find_critical(Critical* out) const {
  const int64_t g = plan_.grid_;
  const double h = 1.0 / plan_.per_step_;
  const double* d = ws_.slope_.data();
  // A zero of the derivative within a cell of a grid point lies within
  // this of the derivative there.
  const double near_zero = h * m2_;
  int n = 0;
  auto add = [&](double t, const Point& p, bool peak) {
    if (n < kMaxCritical) out[n++] = Critical{t, p.d[0], peak};
  };
  for (int64_t j = 0; j < g; ++j) {
    const int64_t next = j + 1 == g ? 0 : j + 1;
    const int64_t prev = j == 0 ? g - 1 : j - 1;
    const double tj = static_cast<double>(j) * h;
    const bool up = d[j] >= 0.0;
    // The derivative dips towards zero here between neighbours of its
    // sign: where it turns (a zero of the second derivative), it may change
    // sign twice.
    if (std::fabs(d[j]) <= near_zero && (d[prev] >= 0.0) == up && (d[next] >= 0.0) == up &&
        std::fabs(d[j]) < std::fabs(d[prev]) && std::fabs(d[j]) <= std::fabs(d[next])) {
      const End lo{tj - h, grid_derivative(j - 1, 2), grid_derivative(j - 1, 3)};
      const End hi{tj + h, grid_derivative(j + 1, 2), grid_derivative(j + 1, 3)};
      if ((lo.f < 0.0) != (hi.f < 0.0)) {
        Point pz;
        const double z = refine(2, 0.0, lo, hi, &pz);
        if (pz.d[1] != 0.0 && (pz.d[1] >= 0.0) != up) {
          Point p1, p2;
          const double t1 = refine(1, 0.0, End{tj - h, d[prev], lo.f}, End{z, pz.d[1], pz.d[2]}, &p1);
          const double t2 = refine(1, 0.0, End{z, pz.d[1], pz.d[2]}, End{tj + h, d[next], hi.f}, &p2);
          add(t1, p1, up);
          add(t2, p2, !up);
        }
      }
    }
    if ((d[next] >= 0.0) != up) {
      Point p;
      const double t = refine(1, 0.0, End{tj, d[j], grid_derivative(j, 2)},
                              End{tj + h, d[next], grid_derivative(next, 2)}, &p);
      add(t, p, up);
    }
  }
  // Into [0, npoint), in time order.
  const double n_steps = plan_.npoint_;
  for (int i = 0; i < n; ++i) out[i].t -= n_steps * std::floor(out[i].t / n_steps);
  for (int i = 1; i < n; ++i) {
    const Critical c = out[i];
    int k = i;
    while (k > 0 && out[k - 1].t > c.t) {
      out[k] = out[k - 1];
      --k;
    }
    out[k] = c;
  }
  return n;
}

// The critical points of a season from its left trough to its right one
// (times unwrapped). Returns their number.
int SeasonsComputation::season_points(const Season& s, Critical* pts) const {
  const double n_steps = plan_.npoint_;
  int count = 0;
  int pos = s.pl;
  double offset = s.tl - crit_[pos].t;
  pts[count++] = Critical{s.tl, s.vl, false};
  do {
    ++pos;
    if (pos == ncrit_) {
      pos = 0;
      offset += n_steps;
    }
    pts[count++] = Critical{crit_[pos].t + offset, crit_[pos].v, crit_[pos].peak};
  } while (pos != s.pr && count <= kMaxCritical);
  pts[count - 1].t = s.tr;
  return count;
}

// The crossings of rising `levels` on one side of a season (its critical
// points `pts`): on the greenup side each the first after the left trough,
// on the greendown side each the last before the right trough. A higher
// level is reached only after a lower one, so one sweep from the trough
// towards the peak, over the monotone pieces between critical points and
// the grid points within them, brackets them all.
void SeasonsComputation::side_crossings(const Critical* pts, int npts, bool greenup, const double* levels,
                                        int nlevels, double* t, Point* at) const {
  const int32_t m = plan_.per_step_;
  const double h = 1.0 / m;
  const int64_t g = plan_.grid_;
  const double* val = ws_.value_.data();
  const double* slo = ws_.slope_.data();
  const int dir = greenup ? 1 : -1;
  // The first grid point after (towards the peak) a critical point's time.
  auto grid_after = [&](double time) {
    return greenup ? floor_int(time * m) + 1 : ceil_int(time * m) - 1;
  };
  int p = greenup ? 0 : npts - 1;  // the piece from pts[p] to pts[p + dir]
  End near{pts[p].t, pts[p].v, 0.0};  // the last point below the level, on the trough's side
  int64_t j = grid_after(pts[p].t);
  for (int q = 0; q < nlevels; ++q) {
    const double level = levels[q];
    while (p + 2 * dir >= 0 && p + 2 * dir < npts && !(pts[p + dir].v >= level)) {
      p += dir;
      near = End{pts[p].t, pts[p].v, 0.0};
      j = grid_after(pts[p].t);
    }
    End far{pts[p + dir].t, pts[p + dir].v, 0.0};
    const int64_t end = greenup ? ceil_int(far.t * m) - 1 : floor_int(far.t * m) + 1;
    for (int64_t jj = wrap(j, g); greenup ? j <= end : j >= end; j += dir) {
      const End e{static_cast<double>(j) * h, val[jj], slo[jj]};
      if (e.f >= level) {
        far = e;
        break;
      }
      near = e;
      jj += dir;
      if (jj == g) jj = 0;
      else if (jj < 0) jj = g - 1;
    }
    End lo = greenup ? near : far, hi = greenup ? far : near;
    lo.f -= level;
    hi.f -= level;
    t[q] = refine(0, level, lo, hi, &at[q]);
  }
}

// The integral of the periodic part over days (with band dates) or steps,
// from `from` to `to`, given its antiderivative at both.
double SeasonsComputation::integral_of_periodic(double from, double to, double q_from, double q_to) const {
  if (!plan_.has_dates_) return q_to - q_from;
  // Dates run straight between bands: step by step, the antiderivative's
  // change times the days of that step.
  const int32_t m = plan_.per_step_;
  auto q_at_band = [&](int64_t band) {
    const size_t j = static_cast<size_t>(wrap(band * m, plan_.grid_));
    double q = 0.0;
    for (int32_t k = 0; k < plan_.nfunc_; ++k) {
      const size_t at = static_cast<size_t>(k) * plan_.grid_ + j;
      q += qb_[k] * plan_.sin_[at] - qa_[k] * plan_.cos_[at];
    }
    return q;
  };
  auto days_of_step = [&](int64_t band) { return plan_.step_days(band); };
  const int64_t i0 = floor_int(from);
  const int64_t i1 = floor_int(to);
  if (i0 == i1) return (q_to - q_from) * days_of_step(i0);
  double sum = 0.0;
  double q_prev = q_at_band(i0 + 1);
  sum += (q_prev - q_from) * days_of_step(i0);
  for (int64_t i = i0 + 1; i < i1; ++i) {
    const double q_next = q_at_band(i + 1);
    sum += (q_next - q_prev) * days_of_step(i);
    q_prev = q_next;
  }
  sum += (q_to - q_prev) * days_of_step(i1);
  return sum;
}

void SeasonsComputation::run(const double* params, bool has_model, double* bands, SeasonDetail* detail) {
  std::fill(bands, bands + kSeasonBandCount, kNaN);
  if (detail != nullptr) *detail = SeasonDetail{};
  if (!has_model || !plan_.ready_) return;
  const int32_t np = plan_.np();
  for (int32_t j = 0; j < np; ++j) {
    if (!std::isfinite(params[j])) return;
  }
  const double unit = plan_.unit_;
  const int32_t nfunc = plan_.nfunc_;
  const double n_steps = plan_.npoint_;
  const double level = (params[0] + params[1] * (plan_.middle_ * kTrendStep)) * unit;
  bands[kTrendPerYearBand] = ((params[1] * kTrendStep) * n_steps) * unit;
  bands[kNseasonsBand] = 0.0;

  bool flat = true;
  m2_ = 0.0;
  for (int32_t k = 0; k < nfunc; ++k) {
    const double amplitude = params[2 + 2 * k] * unit;
    const double phase = params[3 + 2 * k];
    a_[k] = amplitude == 0.0 ? 0.0 : amplitude * std::cos(phase);
    b_[k] = amplitude == 0.0 ? 0.0 : amplitude * std::sin(phase);
    qa_[k] = a_[k] / plan_.omega_[k];
    qb_[k] = b_[k] / plan_.omega_[k];
    m2_ += std::fabs(amplitude) * (plan_.omega_[k] * plan_.omega_[k]);
    if (a_[k] != 0.0 || b_[k] != 0.0) flat = false;
  }
  if (flat) return;

  // The periodic part and its derivative on the grid of one cycle.
  const size_t g = static_cast<size_t>(plan_.grid_);
  double* value = ws_.value_.data();
  double* slope = ws_.slope_.data();
  std::fill(value, value + g, 0.0);
  std::fill(slope, slope + g, 0.0);
  for (int32_t k = 0; k < nfunc; ++k) {
    const double* sn = plan_.sin_.data() + static_cast<size_t>(k) * g;
    const double* cs = plan_.cos_.data() + static_cast<size_t>(k) * g;
    const double a = a_[k], b = b_[k];
    const double wa = plan_.omega_[k] * a, wb = plan_.omega_[k] * b;
    for (size_t j = 0; j < g; ++j) {
      value[j] += a * sn[j] + b * cs[j];
      slope[j] += wa * cs[j] - wb * sn[j];
    }
  }

  // Critical points, alternating trough and peak from a lowest trough on.
  Critical raw[kMaxCritical];
  const int nraw = find_critical(raw);
  int lowest = -1;
  for (int i = 0; i < nraw; ++i) {
    if (!raw[i].peak && (lowest < 0 || raw[i].v < raw[lowest].v)) lowest = i;
  }
  if (lowest < 0) return;
  ncrit_ = 0;
  for (int r = 0; r < nraw; ++r) {
    const int i = (lowest + r) % nraw;
    Critical c = raw[i];
    if (i < lowest) c.t += n_steps;
    if (ncrit_ > 0 && crit_[ncrit_ - 1].peak == c.peak) {
      Critical& back = crit_[ncrit_ - 1];
      if (c.peak ? c.v > back.v : c.v < back.v) back = c;
      continue;
    }
    crit_[ncrit_++] = c;
  }
  if (ncrit_ > 1 && !crit_[ncrit_ - 1].peak) --ncrit_;
  const int npeaks = ncrit_ / 2;
  if (npeaks < 1) return;

  // Seasons: the weakest peak (the smallest rise above its higher trough)
  // goes while it fails a threshold or there are more than two; its troughs
  // go with it.
  bool kept[kMaxCritical / 2 + 1];
  std::fill(kept, kept + npeaks, true);
  int nkept = npeaks;
  Season seasons[kMaxCritical / 2 + 1];
  const double min_amplitude = plan_.options_.min_amplitude;
  const double min_share = plan_.options_.min_share;
  while (nkept > 0) {
    // The trough before each kept peak: the lowest between it and the kept
    // peak before it.
    int trough_before[kMaxCritical / 2 + 1];
    for (int i = 0; i < npeaks; ++i) {
      if (!kept[i]) continue;
      int best = -1;
      int q = i;
      do {
        const int pos = 2 * q;  // the trough before peak q
        if (best < 0 || crit_[pos].v < crit_[best].v) best = pos;
        q = q == 0 ? npeaks - 1 : q - 1;
      } while (!kept[q]);
      trough_before[i] = best;
    }
    int weakest = -1;
    double largest = 0.0;
    for (int i = 0; i < npeaks; ++i) {
      if (!kept[i]) continue;
      int next = i;
      do next = next + 1 == npeaks ? 0 : next + 1;
      while (!kept[next]);
      Season& s = seasons[i];
      const int pp = 2 * i + 1;
      s.pl = trough_before[i];
      s.pr = trough_before[next];
      s.tp = crit_[pp].t;
      s.vp = crit_[pp].v;
      s.tl = crit_[s.pl].t - (s.pl > pp ? n_steps : 0.0);
      s.vl = crit_[s.pl].v;
      s.tr = next == i ? s.tl + n_steps : crit_[s.pr].t + (s.pr < pp ? n_steps : 0.0);
      s.vr = crit_[s.pr].v;
      s.amplitude = s.vp - 0.5 * (s.vl + s.vr);
      s.rise = s.vp - std::max(s.vl, s.vr);
      if (weakest < 0 || s.rise < seasons[weakest].rise) weakest = i;
      largest = std::max(largest, s.rise);
    }
    const double a = seasons[weakest].rise;
    if (nkept > kMaxSeasons || !(a >= min_amplitude) || !(a >= min_share * largest)) {
      kept[weakest] = false;
      --nkept;
      continue;
    }
    break;
  }
  if (nkept == 0) return;

  // The reported cycle of each season, and its order by peak date.
  const double window = plan_.middle_ - 0.5 * n_steps;
  Season found[kMaxSeasons];
  int nfound = 0;
  for (int i = 0; i < npeaks; ++i) {
    if (kept[i]) found[nfound++] = seasons[i];
  }
  double shift[kMaxSeasons];
  for (int i = 0; i < nfound; ++i) shift[i] = n_steps * std::floor((found[i].tp - window) / n_steps);
  int order[kMaxSeasons] = {0, 1};
  if (nfound == 2 && found[1].tp - shift[1] < found[0].tp - shift[0]) std::swap(order[0], order[1]);

  bands[kNseasonsBand] = nfound;
  if (detail != nullptr) detail->count = nfound;
  for (int out = 0; out < nfound; ++out) {
    const Season& s = found[order[out]];
    const double sh = shift[order[out]];
    const double up = s.vp - s.vl, down = s.vp - s.vr;
    Critical pts[kMaxCritical + 1];
    const int npts = season_points(s, pts);
    // Levels 15, 20, 50, 80 and 90 % of each side.
    constexpr double shares[5] = {kLevel15, kLevel20, kLevel50, kLevel80, kLevel90};
    double rise[5], fall[5], tu[5], td[5];
    Point pu[5], pd[5];
    for (int q = 0; q < 5; ++q) {
      rise[q] = s.vl + shares[q] * up;
      fall[q] = s.vr + shares[q] * down;
    }
    side_crossings(pts, npts, true, rise, 5, tu, pu);
    side_crossings(pts, npts, false, fall, 5, td, pd);
    for (int q = 0; q < 5; ++q) {
      tu[q] -= sh;
      td[q] -= sh;
    }
    const double t15 = tu[0], t20 = tu[1], t50 = tu[2], t80 = tu[3], t90 = tu[4];
    const double u15 = td[0], u20 = td[1], u50 = td[2], u80 = td[3], u90 = td[4];
    const double tp = s.tp - sh;
    const double times[SeasonEvents::kCount] = {t15, t50, t90, tp, u90, u50, u15, s.tl - sh, s.tr - sh};

    double days[SeasonEvents::kCount];
    for (int e = 0; e < SeasonEvents::kCount; ++e) days[e] = plan_.day_of_step(times[e]);
    double origin;  // the date that is reported as 1.0
    int32_t year = 0;
    if (plan_.has_dates_) {
      year = static_cast<int32_t>(year_of(days[3]));
      origin = first_of_year(year);
    } else {
      origin = 1.0 + n_steps * std::floor((tp - 1.0) / n_steps);
    }
    double* band = bands + season_band(out, kGreenup);
    for (int e = 0; e < 7; ++e) band[e] = days[e] - origin + 1.0;
    const double length = days[6] - days[0];
    const double base = level + 0.5 * (s.vl + s.vr);
    band[kLength] = length;
    band[kBase] = base;
    band[kPeakValue] = level + s.vp;
    band[kAmplitude] = s.amplitude;
    band[kRateGreenup] = ((kLevel80 - kLevel20) * up) / (plan_.day_of_step(t80) - plan_.day_of_step(t20));
    band[kRateGreendown] = ((kLevel20 - kLevel80) * down) / (plan_.day_of_step(u20) - plan_.day_of_step(u80));
    const double integral = level * length + integral_of_periodic(t15, u15, pu[0].q, pd[0].q);
    band[kIntegral] = integral;
    band[kIntegralAboveBase] = integral - base * length;
    if (detail != nullptr) {
      SeasonEvents& ev = detail->seasons[out];
      for (int e = 0; e < SeasonEvents::kCount; ++e) {
        ev.step[e] = times[e];
        ev.day[e] = plan_.has_dates_ ? days[e] : kNaN;
      }
      ev.peak_year = year;
    }
  }
}

void compute_seasons(const SeasonsPlan& plan, const double* params, bool has_model, SeasonsWorkspace* workspace,
                     double* bands, SeasonDetail* detail) {
  SeasonsComputation(plan, *workspace).run(params, has_model, bands, detail);
}

void compute_seasons_run(const SeasonsPlan& plan, const float* params, size_t param_stride,
                         const uint8_t* has_model, size_t count, SeasonsWorkspace* workspace, float* bands,
                         size_t band_stride) {
  SeasonsComputation computation(plan, *workspace);
  const int32_t np = plan.np();
  double p[2 * kMaxSeasonHarmonics + 2];
  double out[kSeasonBandCount];
  for (size_t i = 0; i < count; ++i) {
    for (int32_t j = 0; j < np; ++j) p[j] = params[static_cast<size_t>(j) * param_stride + i];
    computation.run(p, has_model[i] != 0, out, nullptr);
    for (int b = 0; b < kSeasonBandCount; ++b) bands[static_cast<size_t>(b) * band_stride + i] = static_cast<float>(out[b]);
  }
}

}  // namespace tsr
