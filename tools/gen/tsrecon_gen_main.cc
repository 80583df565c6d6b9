// tsrecon-gen: writes a synthetic but realistic NDVI-like cube and its
// cntl.dat into a directory, for examples, tests and benchmarks.
//
// The pixels are drawn by draw_pixel (synthetic_pixels.h): seasonal curves
// with cloud dips, spikes above the raw ceiling, runs of no-data and bare or
// water pixels mixed in. The output depends only on the options. The cubes
// are written through the program's own file layer, in the byte order tsrecon
// reads them (FORT_CONVERT21 and FORT_CONVERT22).
#include <cerrno>
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
#include "tools/gen/synthetic_pixels.h"

namespace {

struct Options {
  std::string dir = ".";
  int nb = 46, nl = 40, ns = 60, npoint = 46, nfunc = 6, nwin = 3, intp = 1, mask = 0;
  uint64_t seed = 1;
  double cloud = 0.12;   // probability of a cloud dip per sample
  double nodata = 0.05;  // probability that a pixel has a run of no-data
  std::string exclude;   // comma-separated band numbers to list in cntl.dat
};

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
  const tsr::PixelShape shape{o.nb, o.npoint, o.cloud, o.nodata};
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
      tsr::draw_pixel(shape, rng, &line[static_cast<size_t>(s)], &mline[static_cast<size_t>(s)], o.ns);
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
