// tsrecon-gen: writes a synthetic but realistic NDVI-like cube and its
// cntl.dat into a directory, for examples, tests and benchmarks.
//
// Every pixel follows a seasonal curve (a base level, a trend, an annual and a
// semi-annual harmonic with pixel-to-pixel variation of phase and amplitude),
// with cloud dips, spikes above the raw ceiling, runs of no-data and bare or
// water pixels mixed in. The output depends only on the options. The cubes
// are written through the program's own file layer, in the byte order tsrecon
// reads them (FORT_CONVERT21 and FORT_CONVERT22).
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "domain/model.h"
#include "domain/raw.h"
#include "domain/run_files.h"
#include "io/conversions.h"
#include "io/image_file.h"
#include "runtime/env.h"

namespace {

struct Options {
  std::string dir = ".";
  int nb = 46, nl = 40, ns = 60, npoint = 46, nfunc = 6, nwin = 3, intp = 1, mask = 0;
  uint64_t seed = 1;
  double cloud = 0.12;   // probability of a cloud dip per sample
  double nodata = 0.05;  // probability that a pixel has a run of no-data
  std::string exclude;   // comma-separated band numbers to list in cntl.dat
};

// NDVI is stored as round(ndvi * kNdviFactor), the scale of the real cubes
// the program is used on (domain/raw.h).

double uniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * (1.0 / 9007199254740992.0); }

void usage(FILE* to) {
  std::fprintf(to,
               "usage: tsrecon-gen [--dir D] [--nb N] [--nl N] [--ns N] [--npoint N] [--nfunc N]\n"
               "                   [--nwin N] [--intp 0|1] [--mask 0|1] [--seed N] [--cloud P]\n"
               "                   [--nodata P] [--exclude b1,b2,...]\n"
               "Writes D/data.bsq (and D/mask.bsq with --mask 1) and D/cntl.dat; D (default: the\n"
               "current directory) is created when missing. NB must be 3..200.\n");
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (a == "--dir") o.dir = v;
    else if (a == "--nb") o.nb = std::atoi(v.c_str());
    else if (a == "--nl") o.nl = std::atoi(v.c_str());
    else if (a == "--ns") o.ns = std::atoi(v.c_str());
    else if (a == "--npoint") o.npoint = std::atoi(v.c_str());
    else if (a == "--nfunc") o.nfunc = std::atoi(v.c_str());
    else if (a == "--nwin") o.nwin = std::atoi(v.c_str());
    else if (a == "--intp") o.intp = std::atoi(v.c_str());
    else if (a == "--mask") o.mask = std::atoi(v.c_str());
    else if (a == "--seed") o.seed = std::strtoull(v.c_str(), nullptr, 10);
    else if (a == "--cloud") o.cloud = std::atof(v.c_str());
    else if (a == "--nodata") o.nodata = std::atof(v.c_str());
    else if (a == "--exclude") o.exclude = v;
    else return false;
  }
  return o.nb >= tsr::kMinBands && o.nb <= tsr::kMaxBands && o.nl >= 0 && o.ns >= 0 && o.npoint > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      return 0;
    }
  }
  if (!parse(argc, argv, o)) {
    usage(stderr);
    return 2;
  }
  if (const int err = tsr::create_directories(*tsr::new_posix_env(), o.dir); err != 0) {
    std::fprintf(stderr, "tsrecon-gen: cannot create %s: %s\n", o.dir.c_str(), tsr::error_text(err).c_str());
    return 1;
  }
  std::mt19937_64 rng(o.seed);
  const double two_pi = 2.0 * M_PI;
  // The job's own Env, in its directory. Fresh cubes: earlier ones are
  // replaced, not overwritten in place.
  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env({o.dir, {}});
  tsr::ImageFile data, mask;
  for (const char* name : {"data.bsq", "mask.bsq"}) {
    if (std::string(name) == "mask.bsq" && o.mask != 1) continue;
    if (env->remove_file(name) == EISDIR) env->remove_directory(name);
    tsr::ImageFile& file = std::string(name) == "data.bsq" ? data : mask;
    const tsr::Status opened = file.open(*env, tsr::run_file(name), o.ns);
    if (!opened.is_ok() || file.read_only()) {
      std::fprintf(stderr, "tsrecon-gen: cannot write %s in %s%s%s\n", name, o.dir.c_str(),
                   opened.is_ok() ? "" : ": ", opened.message().c_str());
      return 1;
    }
  }
  // Writes band b (from 0) of line l (from 0) of a cube from `values`.
  bool ok = true;
  auto write_band_line = [&](tsr::ImageFile& file, int b, int l, const auto* values) {
    unsigned char* bytes = file.line_scratch(o.ns);
    const int length = file.record_length();
    for (int s = 0; s < o.ns; ++s) {
      if (length == 2) {
        tsr::store16(bytes + 2 * s, static_cast<uint16_t>(values[s]), file.swap_bytes());
      } else {
        bytes[s] = static_cast<unsigned char>(values[s]);
      }
    }
    const int64_t at = tsr::cube_record_before_line(b + 1, l + 1, o.nl, o.ns) * length;
    const size_t size = static_cast<size_t>(o.ns) * static_cast<size_t>(length);
    ok = file.write_at(at, bytes, size).bytes == size && ok;
  };
  // Bands of a line are spread over the file; write each line's bands at their offsets.
  std::vector<int16_t> line(static_cast<size_t>(o.nb) * static_cast<size_t>(o.ns));
  std::vector<uint8_t> mline(line.size());
  for (int l = 0; l < o.nl; ++l) {
    for (int s = 0; s < o.ns; ++s) {
      // Land cover: mostly vegetation, some bare soil, some water (no-data).
      const double kind = uniform(rng);
      const double base = kind < 0.08 ? 0.12 : 0.35 + 0.25 * uniform(rng);
      const double amp1 = kind < 0.08 ? 0.02 : 0.15 + 0.2 * uniform(rng);
      const double amp2 = 0.05 * uniform(rng);
      const double ph1 = two_pi * uniform(rng);
      const double ph2 = two_pi * uniform(rng);
      const double trend = (uniform(rng) - 0.5) * 0.002;
      const bool water = kind > 0.97;
      int gap_start = -1, gap_len = 0;
      if (uniform(rng) < o.nodata) {
        gap_start = static_cast<int>(uniform(rng) * o.nb);
        gap_len = 1 + static_cast<int>(uniform(rng) * (o.nb / 3));
      }
      for (int b = 0; b < o.nb; ++b) {
        const double t = b + 1;
        double ndvi = base + trend * t + amp1 * std::sin(two_pi * t / o.npoint + ph1) +
                      amp2 * std::sin(2.0 * two_pi * t / o.npoint + ph2) + 0.01 * (uniform(rng) - 0.5);
        uint8_t weight = 1;
        if (uniform(rng) < o.cloud) {
          ndvi *= 0.2 + 0.5 * uniform(rng);  // cloud or shadow: NDVI drops
          weight = 0;
        }
        int raw = static_cast<int>(std::lround(std::fmax(ndvi, 0.0) * tsr::kNdviFactor));
        if (uniform(rng) < 0.01) raw += 600 + static_cast<int>(uniform(rng) * 400);  // spike
        if (water || (b >= gap_start && b < gap_start + gap_len)) {
          raw = tsr::kRawNoData;  // above the raw ceiling
          weight = 0;
        }
        raw = raw < 0 ? 0 : raw > tsr::kRawNoData ? tsr::kRawNoData : raw;
        line[static_cast<size_t>(b) * o.ns + s] = static_cast<int16_t>(raw);
        mline[static_cast<size_t>(b) * o.ns + s] = weight;
      }
    }
    for (int b = 0; b < o.nb; ++b) {
      write_band_line(data, b, l, &line[static_cast<size_t>(b) * o.ns]);
      if (o.mask == 1) write_band_line(mask, b, l, &mline[static_cast<size_t>(b) * o.ns]);
    }
  }
  data.close();
  mask.close();

  std::vector<int> excluded;
  for (size_t p = 0; !o.exclude.empty() && p != std::string::npos;) {
    excluded.push_back(std::atoi(o.exclude.c_str() + p));
    p = o.exclude.find(',', p);
    if (p != std::string::npos) ++p;
  }
  std::string cntl = std::to_string(o.nb) + "\n" + std::to_string(o.nl) + " " + std::to_string(o.ns) + "\n";
  cntl += "&DATA NFUNC=" + std::to_string(o.nfunc) + ", NDEF=" + std::to_string(excluded.size()) + " /\n";
  cntl += "&CONTRL NWIN=" + std::to_string(o.nwin) + ", INTP=" + std::to_string(o.intp) +
          ", MASK=" + std::to_string(o.mask) + " /\n";
  cntl += "&NPT NPOINT=" + std::to_string(o.npoint) + " /\n";
  for (int b : excluded) cntl += std::to_string(b) + "\n";
  ok = tsr::write_new_file(*env, "cntl.dat", cntl) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "tsrecon-gen: write failed in %s\n", o.dir.c_str());
    return 1;
  }
  return 0;
}
