// literal_products: a cube of any length and the products of the literal
// algorithm for it, with storage for the whole record -- the yardstick the
// Python package's long records are compared with (not installed).
//
//   literal_products DIR NB NL NS SEED [member=value ...] [excluded=B,B,...]
//
// Writes DIR/data.bsq (the tests' synthetic cube for NPOINT and SEED, its
// first pixel without data), DIR/mask.bsq when mask=1, and the products
// (p.bsq, i.bsq with intp=1, f.bsq, order.dat, aic.dat, min.dat, max.dat)
// in native byte order. Members are the settings' (nfunc=4, tcld=0.1, ...).
// Exit status 0, or 1 with the refusal on standard error, 2 for bad usage.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "control/library_run.h"
#include "runtime/env.h"
#include "support/job.h"
#include "support/library_products.h"

namespace {

void write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Sets the member `name` of `s` from `value`; false when there is none.
bool set_member(tsrecon::Settings& s, const std::string& name, const std::string& value) {
#define TSR_SET_MEMBER(type, NAME, member, GROUP, init)                                       \
  if (name == #member) {                                                                      \
    s.member = static_cast<type>(std::is_floating_point_v<type> ? std::strtod(value.c_str(), nullptr) \
                                                                : std::strtol(value.c_str(), nullptr, 10)); \
    return true;                                                                              \
  }
  TSRECON_CONTROL_MEMBERS(TSR_SET_MEMBER, TSRECON_SKIP_MEMBER)
#undef TSR_SET_MEMBER
  if (name == "excluded") {
    for (size_t at = 0; at < value.size();) {
      size_t end = value.find(',', at);
      if (end == std::string::npos) end = value.size();
      s.excluded_bands.push_back(static_cast<int32_t>(std::strtol(value.substr(at, end - at).c_str(), nullptr, 10)));
      at = end + 1;
    }
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fputs("usage: literal_products DIR NB NL NS SEED [member=value ...] [excluded=B,B,...]\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
  const tsrecon::CubeSize size{std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4])};
  const uint64_t seed = std::strtoull(argv[5], nullptr, 10);
  tsrecon::Settings settings;
  for (int i = 6; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq == std::string::npos || !set_member(settings, arg.substr(0, eq), arg.substr(eq + 1))) {
      std::fprintf(stderr, "literal_products: not a member=value: %s\n", argv[i]);
      return 2;
    }
  }
  const int64_t plane = int64_t{size.nl} * size.ns;
  std::vector<int16_t> data = tsr::testing::synthetic_cube(size.nb, size.nl, size.ns, settings.npoint, seed);
  for (int32_t b = 0; b < size.nb && plane > 0; ++b) data[b * plane] = 32767;
  write(dir + "/data.bsq", tsr::testing::LibraryProducts::bytes_of(data));
  const std::string mask = tsr::testing::synthetic_mask(data.size(), seed + 1);
  if (settings.mask == 1) write(dir + "/mask.bsq", mask);

  tsr::testing::LibraryProducts out(settings, size);
  const tsrecon::Cube cube{data.data(), settings.mask == 1 ? reinterpret_cast<const uint8_t*>(mask.data()) : nullptr,
                           size};
  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env();
  const tsrecon::Status s =
      tsr::reconstruct_with_env(*env, settings, cube, out.products(), {2, tsrecon::Engine::kLiteral, {}}, INT32_MAX);
  if (!s.ok()) {
    std::fprintf(stderr, "literal_products: %s\n", s.line.c_str());
    return 1;
  }
  for (const auto& [name, bytes] : out.files()) write(dir + "/" + name, bytes);
  return 0;
}
