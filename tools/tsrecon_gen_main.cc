// tsrecon-gen: writes a synthetic but realistic NDVI-like cube and its
// cntl.dat into a directory, for examples, tests and benchmarks.
//
// Every pixel follows a seasonal curve (a base level, a trend, an annual and a
// semi-annual harmonic with pixel-to-pixel variation of phase and amplitude),
// with cloud dips, spikes above the raw ceiling, runs of no-data and bare or
// water pixels mixed in. The output depends only on the options.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "lsq/limits.h"

namespace {

struct Options {
  std::string dir = ".";
  int nb = 46, nl = 40, ns = 60, npoint = 46, nfunc = 6, nwin = 3, intp = 1, mask = 0;
  uint64_t seed = 1;
  double cloud = 0.12;   // probability of a cloud dip per sample
  double nodata = 0.05;  // probability that a pixel has a run of no-data
  std::string exclude;   // comma-separated band numbers to list in cntl.dat
};

// Raw units: 4096 is 1.0; the program screens raw values above 1536. NDVI is
// stored as round(ndvi * 1600), the scale of the real cubes the program is used on.
constexpr double kRawPerNdvi = 1600.0;

double uniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * (1.0 / 9007199254740992.0); }

void usage() {
  std::fprintf(stderr,
               "usage: tsrecon-gen [--dir D] [--nb N] [--nl N] [--ns N] [--npoint N] [--nfunc N]\n"
               "                   [--nwin N] [--intp 0|1] [--mask 0|1] [--seed N] [--cloud P]\n"
               "                   [--nodata P] [--exclude b1,b2,...]\n"
               "Writes D/data.bsq (and D/mask.bsq with --mask 1) and D/cntl.dat.\n");
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") return false;
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
  if (!parse(argc, argv, o)) {
    usage();
    return 2;
  }
  std::mt19937_64 rng(o.seed);
  const double two_pi = 2.0 * M_PI;
  const size_t plane = static_cast<size_t>(o.nl) * static_cast<size_t>(o.ns);
  // Generated pixel by pixel, written band by band: keep one band-major line.
  std::FILE* data = std::fopen((o.dir + "/data.bsq").c_str(), "wb");
  std::FILE* mask = o.mask == 1 ? std::fopen((o.dir + "/mask.bsq").c_str(), "wb") : nullptr;
  if (data == nullptr || (o.mask == 1 && mask == nullptr)) {
    std::fprintf(stderr, "tsrecon-gen: cannot write into %s\n", o.dir.c_str());
    return 1;
  }
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
        int raw = static_cast<int>(std::lround(std::fmax(ndvi, 0.0) * kRawPerNdvi));
        if (uniform(rng) < 0.01) raw += 600 + static_cast<int>(uniform(rng) * 400);  // spike
        if (water || (b >= gap_start && b < gap_start + gap_len)) {
          raw = 32767;  // no-data: above the raw ceiling
          weight = 0;
        }
        raw = raw < 0 ? 0 : raw > 32767 ? 32767 : raw;
        line[static_cast<size_t>(b) * o.ns + s] = static_cast<int16_t>(raw);
        mline[static_cast<size_t>(b) * o.ns + s] = weight;
      }
    }
    for (int b = 0; b < o.nb; ++b) {
      const long long offset = (static_cast<long long>(b) * static_cast<long long>(plane) +
                                static_cast<long long>(l) * o.ns);
      std::vector<uint8_t> bytes(static_cast<size_t>(o.ns) * 2);
      for (int s = 0; s < o.ns; ++s) {
        const uint16_t v = static_cast<uint16_t>(line[static_cast<size_t>(b) * o.ns + s]);
        bytes[2 * s] = static_cast<uint8_t>(v & 0xFF);
        bytes[2 * s + 1] = static_cast<uint8_t>(v >> 8);
      }
      std::fseek(data, offset * 2, SEEK_SET);
      std::fwrite(bytes.data(), 1, bytes.size(), data);
      if (mask != nullptr) {
        std::fseek(mask, offset, SEEK_SET);
        std::fwrite(&mline[static_cast<size_t>(b) * o.ns], 1, static_cast<size_t>(o.ns), mask);
      }
    }
  }
  bool ok = std::fclose(data) == 0;
  if (mask != nullptr) ok = std::fclose(mask) == 0 && ok;

  std::vector<int> excluded;
  for (size_t p = 0; !o.exclude.empty() && p != std::string::npos;) {
    excluded.push_back(std::atoi(o.exclude.c_str() + p));
    p = o.exclude.find(',', p);
    if (p != std::string::npos) ++p;
  }
  std::ofstream cntl(o.dir + "/cntl.dat", std::ios::trunc);
  cntl << o.nb << "\n" << o.nl << " " << o.ns << "\n";
  cntl << "&DATA NFUNC=" << o.nfunc << ", NDEF=" << excluded.size() << " /\n";
  cntl << "&CONTRL NWIN=" << o.nwin << ", INTP=" << o.intp << ", MASK=" << o.mask << " /\n";
  cntl << "&NPT NPOINT=" << o.npoint << " /\n";
  for (int b : excluded) cntl << b << "\n";
  ok = static_cast<bool>(cntl.flush()) && ok;
  if (!ok) {
    std::fprintf(stderr, "tsrecon-gen: write failed in %s\n", o.dir.c_str());
    return 1;
  }
  return 0;
}
