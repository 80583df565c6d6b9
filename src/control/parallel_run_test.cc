// Whole runs with several worker threads and with either engine of the final
// fit: every product and the console are the same bytes as a one-thread run
// of the literal engine. And the environment settings that choose them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/job.h"
#include "support/process.h"

namespace tsr {
namespace {

using testing::ProcessOptions;
using testing::ProcessResult;
using testing::ScratchDir;

const char* const kProducts[] = {"p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"};

struct Cube {
  testing::ControlFile control;
  bool mask;
};

// cntl.dat, data.bsq and, for a masked run, mask.bsq.
void write_cube(const ScratchDir& dir, const Cube& c, uint64_t seed) {
  const testing::ControlFile& f = c.control;
  dir.write("cntl.dat", f.text());
  const std::vector<int16_t> data = testing::synthetic_cube(f.nb, f.nl, f.ns, f.npoint, seed);
  dir.write("data.bsq", testing::cube_file(data));
  if (c.mask) dir.write("mask.bsq", testing::synthetic_mask(data.size(), seed + 1));
}

ProcessResult run(const ScratchDir& dir, std::vector<std::pair<std::string, std::string>> env,
                  std::vector<std::string> unset = {"TSRECON_THREADS", "TSRECON_ENGINE", "OMP_NUM_THREADS",
                                                    "TSRECON_OVERLAP", "TSRECON_PROFILE"}) {
  ProcessOptions options;
  options.cwd = dir.path();
  options.env = std::move(env);
  for (const auto& e : options.env) std::erase(unset, e.first);
  options.unset_env = std::move(unset);
  return run_process({testing::tsrecon_path()}, options);
}

// The products and the console of each engine and thread count equal those
// of the literal engine on one thread, byte for byte.
TEST(ParallelRun, SameBytesForEveryThreadCountAndEngine) {
  const Cube cubes[] = {
      {{46, 3, 37, "NFUNC=6", "NWIN=3, INTP=1", 46, ""}, false},
      {{23, 2, 29, "NFUNC=4, NDEF=0", "FITMD=1, INTP=1, MASK=1", 46, ""}, true},
      {{69, 2, 11, "NFUNC=5", "MMSW=0, FITSW=0, INTP=2", 46, ""}, false},
  };
  using Env = std::vector<std::pair<std::string, std::string>>;
  const std::pair<const char*, Env> settings[] = {
      {"fast, 1 thread", {{"TSRECON_THREADS", "1"}}},
      {"fast, 2 threads", {{"TSRECON_THREADS", "2"}}},
      {"fast, 3 threads", {{"TSRECON_THREADS", "3"}}},
      {"fast, 3 threads, one line after another", {{"TSRECON_THREADS", "3"}, {"TSRECON_OVERLAP", "0"}}},
      {"fast, all cores", {}},
      {"literal, 3 threads", {{"TSRECON_THREADS", "3"}, {"TSRECON_ENGINE", "literal"}}},
      {"fast, OMP_NUM_THREADS", {{"OMP_NUM_THREADS", "3,1"}, {"TSRECON_ENGINE", "fast"}}},
  };
  uint64_t seed = 1;
  for (const Cube& c : cubes) {
    ScratchDir reference;
    write_cube(reference, c, seed);
    const ProcessResult want = run(reference, {{"TSRECON_THREADS", "1"}, {"TSRECON_ENGINE", "literal"}});
    ASSERT_EQ(0, want.status) << want.err;
    for (const auto& [name, env] : settings) {
      ScratchDir dir;
      write_cube(dir, c, seed);
      const ProcessResult got = run(dir, env);
      EXPECT_EQ(want.status, got.status) << name;
      EXPECT_EQ(want.out, got.out) << name;
      EXPECT_EQ(want.err, got.err) << name;
      for (const char* product : kProducts) {
        EXPECT_TRUE(reference.read(product) == dir.read(product)) << name << ": " << product << " differs";
      }
    }
    ++seed;
  }
}

// Settings the program cannot use end the run before cntl.dat is read; a
// malformed OMP_NUM_THREADS, which other programs read too, is passed over.
TEST(ParallelRun, EnvironmentSettings) {
  struct Case {
    const char* variable;
    const char* value;
    const char* error;  // nullptr: the run completes
  };
  const Case cases[] = {
      {"TSRECON_ENGINE", "literl", "tsrecon: TSRECON_ENGINE must be fast or literal, not 'literl'\n"},
      {"TSRECON_THREADS", "0", "tsrecon: TSRECON_THREADS must be a positive number of threads, not '0'\n"},
      {"TSRECON_THREADS", "two", "tsrecon: TSRECON_THREADS must be a positive number of threads, not 'two'\n"},
      {"TSRECON_THREADS", "2,2", "tsrecon: TSRECON_THREADS must be a positive number of threads, not '2,2'\n"},
      {"TSRECON_THREADS", "100000", nullptr},
      {"OMP_NUM_THREADS", "lots", nullptr},
      {"TSRECON_ENGINE", "", nullptr},
      {"TSRECON_OVERLAP", "yes", "tsrecon: TSRECON_OVERLAP must be 0 or 1, not 'yes'\n"},
      {"TSRECON_PROFILE", "2", "tsrecon: TSRECON_PROFILE must be 0 or 1, not '2'\n"},
      {"TSRECON_OVERLAP", "0", nullptr},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    write_cube(dir, {{23, 1, 3, "NFUNC=3", "INTP=1", 46, ""}, false}, 5);
    const ProcessResult r = run(dir, {{c.variable, c.value}});
    if (c.error == nullptr) {
      EXPECT_EQ(0, r.status) << c.variable << "=" << c.value << ": " << r.err;
      EXPECT_EQ("", r.err) << c.variable << "=" << c.value;
      EXPECT_TRUE(dir.exists("p.bsq")) << c.variable << "=" << c.value;
    } else {
      EXPECT_EQ(1, r.status) << c.variable << "=" << c.value;
      EXPECT_EQ(c.error, r.err);
      EXPECT_EQ("", r.out) << c.variable << "=" << c.value;
      EXPECT_FALSE(dir.exists("p.bsq")) << c.variable << "=" << c.value;
    }
  }
}

}  // namespace
}  // namespace tsr
