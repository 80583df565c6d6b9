// Whole runs on the in-memory Env with the lines read and written beside the
// pixel work: whatever ends a run (a failed read or write, a negative value,
// a map that cannot be written, an interrupt at any step, too little memory)
// leaves the console, the error stream, the status and every byte of every
// file exactly as the run one line after another on one thread leaves them.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "control/driver.h"
#include "runtime/console.h"
#include "runtime/errors.h"
#include "support/fake_env.h"
#include "support/job.h"

namespace tsr {
namespace {

using testing::FakeEnv;

// NB = 23, NL = 5, NS = 7 with a mask and i.bsq: every file of the table.
constexpr int kNB = 23, kNL = 5, kNS = 7;

const std::string& control_text() {
  static const std::string text = testing::ControlFile{kNB, kNL, kNS, "NFUNC=6", "INTP=1, MASK=1", 23, ""}.text();
  return text;
}

std::string data_bytes() { return testing::cube_file(testing::synthetic_cube(kNB, kNL, kNS, 23, 11)); }

// Byte offset of record (band, line, sample), all from 1, of a cube of kNL x
// kNS records of `length` bytes.
size_t record_at(int band, int line, int sample, int length) {
  return static_cast<size_t>(((band - 1) * kNL + (line - 1)) * kNS + (sample - 1)) * static_cast<size_t>(length);
}

void load_job(FakeEnv& env) {
  env.put("cntl.dat", control_text());
  env.put("data.bsq", data_bytes());
  env.put("mask.bsq", testing::synthetic_mask(static_cast<size_t>(kNB * kNL * kNS), 12));
}

// What a run leaves behind.
struct Outcome {
  Status status;
  std::string console, errors;
  std::vector<std::pair<std::string, std::string>> files;
  bool operator==(const Outcome&) const = default;
};

using Variables = std::vector<std::pair<std::string, std::string>>;

Outcome run_with(const std::function<void(FakeEnv&)>& arrange, const Variables& variables, uint64_t memory = 0) {
  FakeEnv env("/job");
  arrange(env);
  for (const auto& [name, value] : variables) env.set(name, value);
  if (memory != 0) env.set_memory(memory);
  Outcome o;
  o.status = run_job(env);
  o.console = env.console();
  o.errors = env.errors();
  for (const std::string& name : env.files()) o.files.emplace_back(name, env.contents(name));
  return o;
}

// The least memory the job's line buffers are granted in.
uint64_t least_memory() {
  uint64_t low = 0, high = 1 << 24;  // refused at low, accepted at high
  while (high - low > 1) {
    const uint64_t mid = low + (high - low) / 2;
    FakeEnv env("/job");
    load_job(env);
    env.set_memory(mid);
    env.set("TSRECON_THREADS", "1");
    env.interrupt_when_console_holds(" MAKING FUNCTION MATRIX\n");
    (run_job(env).code() == Status::Code::kRefused ? low : high) = mid;
  }
  return high;
}

// The line a failed map write of line `line` at sample `sample` starts with.
std::string map_failure_start(int line, int sample) {
  std::string text = format_list_line({int4_item(line), int4_item(sample)});
  text.pop_back();
  return text;
}

TEST(LineOrder, EveryEndOfARunIsTheSameWithTheLinesBesideThePixelWork) {
  struct Case {
    const char* what;
    std::function<void(FakeEnv&)> arrange;
    Status::Code ends;  // how the yardstick ends, so that the case does what it says
  };
  const auto with = [](std::function<void(FakeEnv&)> more) {
    return [more](FakeEnv& e) { load_job(e), more(e); };
  };
  const auto negative_at = [](int line) {
    return [line](FakeEnv& e) {
      std::string data = data_bytes();
      const size_t at = record_at(3, line, 2, 2);
      data[at] = '\xFB';
      data[at + 1] = '\xFF';
      e.put("data.bsq", data);
    };
  };
  using C = Status::Code;
  const Case cases[] = {
      {"complete", load_job, C::kOk},
      {"all missing", with([](FakeEnv& e) {
         std::string data;
         for (int k = 0; k < kNB * kNL * kNS; ++k) data += "\xFF\x7F";
         e.put("data.bsq", data);
       }),
       C::kOk},
      {"data.bsq cut in line 3",
       with([](FakeEnv& e) { e.put("data.bsq", data_bytes().substr(0, record_at(kNB, 3, 3, 2))); }),
       C::kRuntimeError},
      {"data.bsq failing from line 4", with([](FakeEnv& e) { e.fail_reads_from("data.bsq", record_at(kNB, 4, 5, 2)); }),
       C::kRuntimeError},
      {"mask.bsq failing from line 2", with([](FakeEnv& e) { e.fail_reads_from("mask.bsq", record_at(kNB, 2, 1, 1)); }),
       C::kRuntimeError},
      {"a negative value in line 2", with(negative_at(2)), C::kRefused},
      {"a negative value in line 5", with(negative_at(5)), C::kRefused},
      {"f.bsq full in line 2", with([](FakeEnv& e) { e.limit_size("f.bsq", record_at(kNB, 2, 3, 2)); }),
       C::kRuntimeError},
      {"p.bsq full in line 4", with([](FakeEnv& e) { e.limit_size("p.bsq", record_at(14, 4, 6, 4) + 1); }),
       C::kRuntimeError},
      {"aic.dat read-only", with([](FakeEnv& e) { e.put("aic.dat", "old"), e.refuse_writing("aic.dat"); }),
       C::kRuntimeError},
      {"min.dat in a missing directory", with([](FakeEnv& e) { e.refuse_opening("min.dat", ENOENT); }),
       C::kRuntimeError},
      {"max.dat full from line 3", with([](FakeEnv& e) { e.limit_size("max.dat", record_at(1, 3, 4, 2) + 1); }),
       C::kRefused},
      {"interrupt before line 1",
       with([](FakeEnv& e) { e.interrupt_when_console_holds(" MAKING FUNCTION MATRIX LOOP\n"); }), C::kInterrupted},
      {"interrupt at line 1", with([](FakeEnv& e) { e.interrupt_when_console_holds(format_progress_line(1, kNL)); }),
       C::kInterrupted},
      {"interrupt at line 3", with([](FakeEnv& e) { e.interrupt_when_console_holds(format_progress_line(3, kNL)); }),
       C::kInterrupted},
      {"interrupt at the last line",
       with([](FakeEnv& e) { e.interrupt_when_console_holds(format_progress_line(kNL, kNL)); }), C::kInterrupted},
      {"interrupt at a failed map write of line 4", with([](FakeEnv& e) {
         e.limit_size("max.dat", record_at(1, 4, 1, 2));
         e.interrupt_when_console_holds(map_failure_start(4, 1));
       }),
       C::kInterrupted},
      {"interrupt at a failed map write of the last line", with([](FakeEnv& e) {
         e.limit_size("max.dat", record_at(1, kNL, 1, 2));
         e.interrupt_when_console_holds(map_failure_start(kNL, 1));
       }),
       C::kInterrupted},
      {"interrupt after a negative value", [&](FakeEnv& e) {
         load_job(e), negative_at(3)(e);
         e.interrupt_when_console_holds(format_list_line({int4_item(kNL), int4_item(kNS)}));
       },
       C::kRefused},
  };
  const uint64_t one_set = least_memory();
  struct Setting {
    const char* what;
    Variables variables;
    uint64_t memory;
  };
  const Setting settings[] = {
      {"3 threads, one line after another", {{"TSRECON_THREADS", "3"}, {"TSRECON_OVERLAP", "0"}}, 0},
      {"2 threads beside the lines", {{"TSRECON_THREADS", "2"}}, 0},
      {"3 threads beside the lines, two sets", {{"TSRECON_THREADS", "3"}}, 2 * one_set},
      {"2 threads, memory for one set", {{"TSRECON_THREADS", "2"}}, 2 * one_set - 1},
  };
  for (const Case& c : cases) {
    const Outcome want = run_with(c.arrange, {{"TSRECON_THREADS", "1"}});
    EXPECT_EQ(want.status.code(), c.ends) << c.what << ": " << want.status.message();
    for (const Setting& s : settings) {
      const Outcome got = run_with(c.arrange, s.variables, s.memory);
      EXPECT_EQ(got.status, want.status) << c.what << ", " << s.what;
      EXPECT_EQ(got.console, want.console) << c.what << ", " << s.what;
      EXPECT_EQ(got.errors, want.errors) << c.what << ", " << s.what;
      EXPECT_TRUE(got.files == want.files) << c.what << ", " << s.what << ": the files differ";
    }
  }
}

// TSRECON_PROFILE=1 adds one line on the error stream and changes nothing
// else; it names the order the run took, which follows the threads, the
// lines, TSRECON_OVERLAP and the memory beside the first set of line buffers.
TEST(LineOrder, TheProfileNamesTheOrderAndChangesNothingElse) {
  const uint64_t one_set = least_memory();
  struct Case {
    Variables variables;
    uint64_t memory;
    const char* order;
  };
  const Case cases[] = {
      {{{"TSRECON_THREADS", "1"}}, 0, "pixel threads 1, line buffers 1 (one line after another)"},
      {{{"TSRECON_THREADS", "2"}, {"TSRECON_OVERLAP", "0"}}, 0, "pixel threads 2, line buffers 1 (one line"},
      {{{"TSRECON_THREADS", "2"}}, 0, "pixel threads 2, line buffers 3 (read and written beside the pixel work)"},
      {{{"TSRECON_THREADS", "2"}, {"TSRECON_OVERLAP", "1"}}, 3 * one_set, "line buffers 3 (read"},
      {{{"TSRECON_THREADS", "2"}}, 3 * one_set - 1, "line buffers 2 (read"},
      {{{"TSRECON_THREADS", "2"}}, 2 * one_set, "line buffers 2 (read"},
      {{{"TSRECON_THREADS", "2"}}, 2 * one_set - 1, "pixel threads 2, line buffers 1 (one line"},
  };
  const Outcome plain = run_with(load_job, {{"TSRECON_THREADS", "1"}});
  ASSERT_TRUE(plain.status.is_ok());
  for (const Case& c : cases) {
    Variables variables = c.variables;
    variables.emplace_back("TSRECON_PROFILE", "1");
    const Outcome got = run_with(load_job, variables, c.memory);
    const std::string what = variables[0].second + " threads, memory " + std::to_string(c.memory);
    EXPECT_TRUE(got.status.is_ok()) << what;
    EXPECT_EQ(got.console, plain.console) << what;
    EXPECT_TRUE(got.files == plain.files) << what;
    EXPECT_EQ(got.errors.rfind("tsrecon profile: lines 5, samples 7, ", 0), 0u) << what << ": " << got.errors;
    EXPECT_EQ(got.errors.find('\n'), got.errors.size() - 1) << what << ": not one line";
    EXPECT_NE(got.errors.find(c.order), std::string::npos) << what << ": " << got.errors;
  }
}

}  // namespace
}  // namespace tsr
