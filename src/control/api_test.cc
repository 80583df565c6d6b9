// The library interface: in-memory reconstruction gives the bytes the
// executable writes, for any thread count and either engine, and for records
// longer than the executable takes those of the literal algorithm with
// storage for the record; control files and settings are checked as the
// program checks them; refusals and interrupts come back as statuses.
#include "tsrecon/tsrecon.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/library_run.h"
#include "domain/model.h"
#include "runtime/env.h"
#include "support/fake_env.h"
#include "support/job.h"
#include "support/library_products.h"
#include "support/process.h"

namespace {

using tsr::testing::ScratchDir;

// A generated job run by the executable; its inputs and products on disk.
struct Job {
  ScratchDir dir;
  tsrecon::Settings settings;
  tsrecon::CubeSize size;
  std::vector<int16_t> data;
  std::vector<uint8_t> mask;

  explicit Job(std::vector<std::string> gen_args) {
    EXPECT_EQ(tsr::testing::generate_job(dir.path(), gen_args).status, 0);
    const auto run = tsr::testing::run_process({tsr::testing::tsrecon_path()}, tsr::testing::in_directory(dir.path()));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(tsrecon::read_control_file(dir.path(), settings, size).ok());
    data = as<int16_t>(dir.read("data.bsq"));
    if (settings.mask == 1) mask = as<uint8_t>(dir.read("mask.bsq"));
  }
  template <typename T>
  static std::vector<T> as(const std::string& bytes) {
    std::vector<T> v(bytes.size() / sizeof(T));
    std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
    return v;
  }
  tsrecon::Cube cube() const { return {data.data(), mask.empty() ? nullptr : mask.data(), size}; }
};

template <typename T>
std::string bytes_of(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

TEST(LibraryTest, InMemoryProductsAreTheBytesTheExecutableWrites) {
  const std::vector<std::vector<std::string>> jobs = {
      {"--nb", "46", "--nl", "3", "--ns", "7", "--intp", "1", "--seed", "8"},
      {"--nb", "23", "--nl", "2", "--ns", "9", "--npoint", "23", "--mask", "1", "--nfunc", "5", "--seed", "9"},
      {"--nb", "36", "--nl", "4", "--ns", "3", "--npoint", "36", "--exclude", "2,9", "--seed", "10"},
  };
  for (const auto& args : jobs) {
    const Job job(args);
    const int64_t plane = int64_t{job.size.nl} * job.size.ns;
    for (auto [threads, engine] : {std::pair{1, tsrecon::Engine::kFast}, std::pair{3, tsrecon::Engine::kFast},
                                   std::pair{2, tsrecon::Engine::kLiteral}}) {
      std::vector<int16_t> fitted(job.size.nb * plane), preliminary(job.size.nb * plane), minimum(plane),
          maximum(plane);
      std::vector<float> params(job.settings.parameter_count() * plane), criterion(plane);
      std::vector<int8_t> order(plane);
      const tsrecon::Products out{fitted.data(), params.data(),    preliminary.data(), order.data(),
                                  criterion.data(), minimum.data(), maximum.data()};
      const tsrecon::Status s = tsrecon::reconstruct(job.settings, job.cube(), out, {threads, engine, {}});
      ASSERT_TRUE(s.ok()) << s.line;
      EXPECT_EQ(bytes_of(fitted), job.dir.read("f.bsq")) << args[1];
      EXPECT_EQ(bytes_of(params), job.dir.read("p.bsq")) << args[1];
      if (job.settings.intp == 1) {
        EXPECT_EQ(bytes_of(preliminary), job.dir.read("i.bsq")) << args[1];
      }
      EXPECT_EQ(bytes_of(order), job.dir.read("order.dat")) << args[1];
      EXPECT_EQ(bytes_of(criterion), job.dir.read("aic.dat")) << args[1];
      EXPECT_EQ(bytes_of(minimum), job.dir.read("min.dat")) << args[1];
      EXPECT_EQ(bytes_of(maximum), job.dir.read("max.dat")) << args[1];
    }
  }
}

TEST(LibraryTest, RefusalsAndInterrupts) {
  const Job job({"--nb", "23", "--nl", "3", "--ns", "4", "--npoint", "23", "--seed", "3"});
  struct Case {
    const char* what;
    tsrecon::Settings settings;
    int32_t nb;
    const char* line;
  };
  auto with = [](auto change) {
    tsrecon::Settings s;
    change(s);
    return s;
  };
  const Case cases[] = {
      {"nfunc", with([](auto& s) { s.nfunc = 7; }), 23, "nfunc = 7 is outside the allowed range 0..6"},
      {"npoint", with([](auto& s) { s.npoint = 0; }), 23, "npoint = 0 is outside the allowed range 1..2147483647"},
      {"nwin", with([](auto& s) { s.nwin = -1; }), 23, "nwin = -1 is outside the allowed range 0..2147483647"},
      {"nb", tsrecon::Settings{}, 201, "nb = 201 is outside the allowed range 3..200"},
      {"band", with([](auto& s) { s.excluded_bands = {24}; }), 23, "excluded band 24 is outside the bands 1..23"},
      {"bands", with([](auto& s) { s.excluded_bands.assign(4, 1); }), 3,
       "the number of excluded bands = 4 is outside the allowed range 0..3"},
  };
  for (const Case& c : cases) {
    const tsrecon::Status s = tsrecon::check_settings(c.settings, c.nb);
    EXPECT_EQ(s.code, tsrecon::Status::Code::kRefused) << c.what;
    EXPECT_EQ(s.line, c.line) << c.what;
  }

  std::vector<int16_t> data = job.data;
  data[2 * 12 + 1 * 4 + 2] = -9;  // band 3, line 2, sample 3
  std::vector<int16_t> fitted(data.size());
  tsrecon::Products out;
  out.fitted = fitted.data();
  tsrecon::Status s = tsrecon::reconstruct(job.settings, {data.data(), nullptr, job.size}, out);
  EXPECT_EQ(s.line, "band 3 line 2 sample 3 holds -9; values must be 0..32767");

  tsrecon::Settings masked = job.settings;
  masked.mask = 1;
  EXPECT_EQ(tsrecon::reconstruct(masked, job.cube(), out).line, "mask = 1 needs a mask cube");

  // Threads and engine given in the options are not taken from the
  // environment, so a setting there that the executable refuses does not
  // matter; left open, they are, and it is refused.
  setenv("TSRECON_THREADS", "two", 1);
  setenv("TSRECON_ENGINE", "quick", 1);
  EXPECT_TRUE(tsrecon::reconstruct(job.settings, job.cube(), out, {2, tsrecon::Engine::kLiteral, {}}).ok());
  EXPECT_EQ(tsrecon::reconstruct(job.settings, job.cube(), out, {0, tsrecon::Engine::kFast, {}}).line,
            "tsrecon: TSRECON_THREADS must be a positive number of threads, not 'two'");
  EXPECT_EQ(tsrecon::reconstruct(job.settings, job.cube(), out, {1, tsrecon::Engine::kDefault, {}}).line,
            "tsrecon: TSRECON_ENGINE must be fast or literal, not 'quick'");
  unsetenv("TSRECON_THREADS");
  unsetenv("TSRECON_ENGINE");

  int asked = 0;
  s = tsrecon::reconstruct(job.settings, job.cube(), out, {1, tsrecon::Engine::kFast, [&asked] { return ++asked > 3; }});
  EXPECT_EQ(s.code, tsrecon::Status::Code::kInterrupted);
  EXPECT_EQ(s.exit_status, 130);
}

TEST(LibraryTest, JobsAndControlFiles) {
  const Job job({"--nb", "23", "--nl", "2", "--ns", "3", "--npoint", "23", "--seed", "4"});
  // A rerun through the library writes the same products and the console
  // where it is asked to.
  ScratchDir again;
  for (const char* name : {"cntl.dat", "data.bsq"}) again.write(name, job.dir.read(name));
  std::string console;
  tsrecon::JobOptions options;
  options.console = [&console](std::string_view text) { console.append(text); };
  ASSERT_TRUE(tsrecon::run_job(again.path(), options).ok());
  EXPECT_NE(console.find(" Program Deadified\n"), std::string::npos);
  for (const char* name : {"p.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}) {
    EXPECT_EQ(again.read(name), job.dir.read(name)) << name;
  }
  // A run-time error comes back, its line naming the file by its full path.
  ScratchDir empty;
  const tsrecon::Status s = tsrecon::run_job(empty.path(), options);
  EXPECT_EQ(s.code, tsrecon::Status::Code::kRunTimeError);
  EXPECT_EQ(s.line, "forrtl: severe (24): end-of-file during read, unit 15, file " + empty.file("cntl.dat"));
  EXPECT_EQ(s.exit_status, 24);

  // Control files: read without being created; faults as the program reports them.
  tsrecon::Settings settings;
  tsrecon::CubeSize size;
  EXPECT_EQ(tsrecon::read_control_file(empty.file("other.dat"), settings, size).line,
            "forrtl: severe (29): file not found, unit 15, file " + empty.file("other.dat"));
  EXPECT_FALSE(empty.exists("other.dat"));
  empty.write("cntl.dat", "23\n2 3\n&DATA NFUNC=4, NDEF=1 /\n&CONTRL INTP=1 /\n&NPT NPOINT=23 /\n5\n");
  ASSERT_TRUE(tsrecon::read_control_file(empty.file("cntl.dat"), settings, size).ok());
  EXPECT_EQ(settings.nfunc, 4);
  EXPECT_EQ(settings.intp, 1);
  EXPECT_EQ(settings.excluded_bands, std::vector<int32_t>{5});
  EXPECT_EQ(size.nb * 100 + size.nl * 10 + size.ns, 2323);
  for (const char* text : {"23\n2 3\n&DATA NFUNC=x /\n", "23\n2 x\n", "23\n2 3\n&DATA NFUNC=1 /\n"}) {
    empty.write("cntl.dat", text);
    const auto run = tsr::testing::run_process({tsr::testing::tsrecon_path()}, tsr::testing::in_directory(empty.path()));
    const tsrecon::Status read = tsrecon::read_control_file(empty.path(), settings, size);
    EXPECT_EQ(read.exit_status, run.status) << text;
    EXPECT_EQ(read.line + "\n", run.err) << text;
  }
}

// Records longer than the executable's 200 bands: the fast engine's
// products equal, byte for byte, the literal algorithm's with storage for
// the whole record, through gaps, no-data pixels, masks and excluded bands
// (past band 200, and more of them than 200).
struct LongRecord {
  const char* name;
  int32_t nb, nl, ns;
  void (*change)(tsrecon::Settings&);  // from the defaults
};

std::vector<int32_t> band_run(int32_t first, int32_t last) {
  std::vector<int32_t> bands;
  for (int32_t b = first; b <= last; ++b) bands.push_back(b);
  return bands;
}

TEST(LibraryTest, LongRecordsEqualTheLiteralAlgorithmWithStorageForThem) {
  const LongRecord records[] = {
      {"201 steps, excluded", 201, 2, 2, [](auto& s) { s.intp = 1, s.excluded_bands = {3, 200, 201}; }},
      {"365 steps, mask", 365, 2, 2, [](auto& s) { s.nfunc = 4, s.npoint = 23, s.mask = 1; }},
      {"572 steps, 250 excluded", 572, 2, 2, [](auto& s) { s.nfunc = 3, s.excluded_bands = band_run(201, 450); }},
      {"1000 steps, peaks clipped", 1000, 1, 3, [](auto& s) { s.nfunc = 2, s.fitmd = 1, s.fitsw = 0; }},
      {"1000 steps, mask, excluded", 1000, 1, 3,
       [](auto& s) { s.nfunc = 3, s.mask = 1, s.intp = 1, s.excluded_bands = {1, 999, 500}; }},
  };
  for (const LongRecord& r : records) {
    tsrecon::Settings settings;
    r.change(settings);
    const tsrecon::CubeSize size{r.nb, r.nl, r.ns};
    const int64_t plane = int64_t{r.nl} * r.ns;
    std::vector<int16_t> data = tsr::testing::synthetic_cube(r.nb, r.nl, r.ns, settings.npoint, 7);
    for (int32_t b = 0; b < r.nb; ++b) data[b * plane] = 32767;  // pixel 1: no data at all
    const std::string mask_bytes = tsr::testing::synthetic_mask(data.size(), 8);
    const std::vector<uint8_t> mask(mask_bytes.begin(), mask_bytes.end());
    const tsrecon::Cube cube{data.data(), settings.mask == 1 ? mask.data() : nullptr, size};

    tsr::testing::LibraryProducts fast(settings, size), literal(settings, size);
    const tsrecon::Status f = tsrecon::reconstruct(settings, cube, fast.products(), {2, tsrecon::Engine::kFast, {}});
    ASSERT_TRUE(f.ok()) << r.name << ": " << f.line;
    const std::unique_ptr<tsr::Env> env = tsr::new_posix_env();
    const tsrecon::Status l = tsr::reconstruct_with_env(*env, settings, cube, literal.products(),
                                                        {2, tsrecon::Engine::kLiteral, {}}, INT32_MAX);
    ASSERT_TRUE(l.ok()) << r.name << ": " << l.line;
    const auto want = literal.files();
    const auto got = fast.files();
    for (size_t k = 0; k < want.size(); ++k) EXPECT_TRUE(got[k] == want[k]) << r.name << ": " << want[k].first;
    // Not every pixel lost its model: the comparison saw fits.
    EXPECT_GT(*std::max_element(fast.order.begin(), fast.order.end()), 1) << r.name;
    // And the excluded bands reached the pixels, those past 200 too. (Under
    // a mask with fitsw = 1 the mask's valid samples enter the final fit,
    // excluded or not.)
    // Every band of the list counts, in any order: the list reversed gives
    // the same products, no list others.
    if (!settings.excluded_bands.empty() && settings.mask != 1) {
      for (const bool reversed : {true, false}) {
        tsrecon::Settings other = settings;
        if (reversed) std::reverse(other.excluded_bands.begin(), other.excluded_bands.end());
        else other.excluded_bands.clear();
        tsr::testing::LibraryProducts again(other, size);
        ASSERT_TRUE(tsrecon::reconstruct(other, cube, again.products(), {2, tsrecon::Engine::kFast, {}}).ok());
        EXPECT_EQ(again.files() == got, reversed) << r.name;
      }
    }
  }
}

// What the library refuses for records of any length, before any work, and
// what a control file keeps refusing.
TEST(LibraryTest, LongRecordRefusals) {
  auto with = [](auto change) {
    tsrecon::Settings s;
    change(s);
    return s;
  };
  struct SettingsCase {
    const char* what;
    tsrecon::Settings settings;
    int32_t nb;
    bool for_a_control_file;
    const char* line;  // "" when accepted
  };
  const SettingsCase settings_cases[] = {
      {"a control file's 200 bands", tsrecon::Settings{}, 365, true, "nb = 365 is outside the allowed range 3..200"},
      {"fewer than 3 steps", tsrecon::Settings{}, 2, false, "nb = 2 is outside the allowed range 3..200"},
      {"a long record", with([](auto& s) { s.excluded_bands = {300, 365}; }), 365, false, ""},
      {"a band past the record", with([](auto& s) { s.excluded_bands = {366}; }), 365, false,
       "excluded band 366 is outside the bands 1..365"},
      {"more bands than the record", with([](auto& s) { s.excluded_bands.assign(366, 5); }), 365, false,
       "the number of excluded bands = 366 is outside the allowed range 0..365"},
  };
  for (const SettingsCase& c : settings_cases) {
    const tsrecon::Status s = c.for_a_control_file ? tsrecon::check_settings(c.settings, c.nb)
                                                   : tsrecon::check_reconstruct_settings(c.settings, c.nb);
    EXPECT_EQ(s.line, c.line) << c.what;
    EXPECT_EQ(s.code, *c.line ? tsrecon::Status::Code::kRefused : tsrecon::Status::Code::kOk) << c.what;
  }

  // Calls refused before a pixel is written: the literal engine asked for by
  // the options or the environment, storage beyond the memory available.
  struct CallCase {
    const char* what;
    int32_t nb;
    tsrecon::Engine engine;
    const char* variable;  // TSRECON_ENGINE
    uint64_t memory;
    const char* line;  // a regular expression; "" when accepted
  };
  const CallCase calls[] = {
      {"literal engine", 201, tsrecon::Engine::kLiteral, nullptr, UINT64_MAX,
       "the literal engine takes series of at most 200 steps, not 201; the fast engine takes any length and gives "
       "the same products"},
      {"literal from the environment", 1000, tsrecon::Engine::kDefault, "literal", UINT64_MAX,
       "the literal engine takes series of at most 200 steps, not 1000; the fast engine takes any length and "
       "gives the same products"},
      {"too little memory", 1000, tsrecon::Engine::kFast, nullptr, 1 << 20,
       "series of 1000 steps need [0-9]+ MiB of working storage for 2 worker threads; this machine has 1 MiB "
       "available"},
      {"enough memory", 1000, tsrecon::Engine::kDefault, "fast", 8 << 20, ""},
      {"the executable's length", 200, tsrecon::Engine::kLiteral, nullptr, 2 << 20, ""},
  };
  for (const CallCase& c : calls) {
    tsr::testing::FakeEnv env;
    if (c.variable != nullptr) env.set("TSRECON_ENGINE", c.variable);
    env.set_memory(c.memory);
    const tsrecon::Settings settings = with([](auto& s) { s.nfunc = 2; });
    const std::vector<int16_t> data = tsr::testing::synthetic_cube(c.nb, 1, 2, settings.npoint, 3);
    tsr::testing::LibraryProducts out(settings, {c.nb, 1, 2});
    std::fill(out.fitted.begin(), out.fitted.end(), int16_t{-1});
    const tsrecon::Status s =
        tsr::reconstruct_with_env(env, settings, {data.data(), nullptr, {c.nb, 1, 2}}, out.products(),
                                  {2, c.engine, {}}, tsr::kMaxBands);
    EXPECT_THAT(s.line, ::testing::MatchesRegex(c.line)) << c.what;
    // Refused: nothing written; accepted: every value.
    EXPECT_EQ(std::count(out.fitted.begin(), out.fitted.end(), int16_t{-1}) == 0, s.ok()) << c.what;
  }
}

}  // namespace
