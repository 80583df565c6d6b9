// Whole runs in process, on the in-memory Env: how each fault ends a run
// (status, console, files), and that a run on the fake writes the same bytes
// as the executable on disk. A few black-box runs of the executable per fault
// class live in faults_test.cc and driver_test.cc.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "control/driver.h"
#include "domain/run_files.h"
#include "runtime/console.h"
#include "runtime/errors.h"
#include "support/fake_env.h"
#include "support/process.h"

namespace tsr {
namespace {

using testing::FakeEnv;
using testing::ProcessResult;
using testing::ScratchDir;

// A generated job (NB = 23, NL = 4, NS = 6, INTP = 1) run by the executable
// in a scratch directory: its inputs and what the executable wrote.
struct ReferenceRun {
  ScratchDir dir;
  ProcessResult result;
  ReferenceRun() {
    const ProcessResult gen = testing::generate_job(
        dir.path(), {"--nb", "23", "--nl", "4", "--ns", "6", "--npoint", "23", "--intp", "1", "--seed", "5"});
    EXPECT_EQ(gen.status, 0) << gen.err;
    inputs = {{"cntl.dat", dir.read("cntl.dat")}, {"data.bsq", dir.read("data.bsq")}};
    result = testing::run_process({testing::tsrecon_path()}, [this] {
      testing::ProcessOptions o = testing::in_directory(dir.path());
      o.unset_env = {"TSRECON_THREADS"};
      return o;
    }());
  }
  std::vector<std::pair<std::string, std::string>> inputs;
};

const ReferenceRun& reference() {
  static const ReferenceRun* run = new ReferenceRun();
  return *run;
}

void load_inputs(FakeEnv& env) {
  for (const auto& [name, bytes] : reference().inputs) env.put(name, bytes);
}

std::string console_of(std::initializer_list<ListItem> items) { return format_list_line(items); }

TEST(RunJobTest, SameConsoleAndBytesAsTheExecutable) {
  for (int threads : {1, 3}) {
    FakeEnv env("/job");
    load_inputs(env);
    env.set_cores(threads);
    ASSERT_TRUE(run_job(env).is_ok()) << env.errors();
    EXPECT_EQ(env.console(), reference().result.out);
    EXPECT_EQ(env.errors(), "");
    for (const JobFile& f : kRunFiles) {
      if (f.name == "mask.bsq") continue;
      EXPECT_EQ(env.contents(std::string(f.name)), reference().dir.read(std::string(f.name))) << f.name;
    }
  }
}

TEST(RunJobTest, EveryFaultEndsTheRunWithItsStatus) {
  struct Case {
    const char* what;
    std::function<void(FakeEnv&)> arrange;
    Status expected;
    std::string console_ends_with;  // the last console line, "" for none
  };
  const std::string progress1 = format_progress_line(1, 4);
  const Case cases[] = {
      {"no cntl.dat", [](FakeEnv& e) { e.put("data.bsq", ""); },
       Status::read_error(kErrEndOfFile, {1, "NB", "", "a value for NB; the file ends here"})
           .in_file(15, "/job/cntl.dat"),
       " READ CNTL.DAT\n"},
      {"no data.bsq", [](FakeEnv& e) { load_inputs(e), e.put("data.bsq", ""); },
       Status::runtime_error(kErrNonExistentRecord, 21, "/job/data.bsq"), progress1},
      {"read-only p.bsq", [](FakeEnv& e) { load_inputs(e), e.put("p.bsq", "old"), e.refuse_writing("p.bsq"); },
       Status::runtime_error(kErrWriteReadOnly, 50, "/job/p.bsq"), progress1},
      {"full disk", [](FakeEnv& e) { load_inputs(e), e.limit_size("f.bsq", 23 * 4 * 6 * 2 - 1); },
       Status::runtime_error(kErrWrite, 52, "/job/f.bsq"), format_progress_line(4, 4)},
      {"failing disk", [](FakeEnv& e) { load_inputs(e), e.fail_reads_from("data.bsq", 100); },
       Status::runtime_error(kErrRead, 21, "/job/data.bsq"), progress1},
      {"rejected byte order", [](FakeEnv& e) { load_inputs(e), e.set("FORT_CONVERT55", "CRAY"); },
       Status::runtime_error(kErrInconsistentOpen, 55, "/job/aic.dat"), " opening data bsq\n"},
      {"a directory named f.bsq", [](FakeEnv& e) { load_inputs(e), e.make_directory("f.bsq"); },
       Status::runtime_error(kErrPermissionDenied, 52, "/job/f.bsq"), " opening data bsq\n"},
      {"a missing directory", [](FakeEnv& e) { load_inputs(e), e.refuse_opening("max.dat", ENOENT); },
       Status::runtime_error(kErrFileNotFound, 62, "/job/max.dat"), " opening data bsq\n"},
      {"a negative value", [](FakeEnv& e) {
         load_inputs(e);
         std::string data = reference().inputs[1].second;
         const size_t at = 2 * (2 * 24 + 6 + 2);  // band 3, line 2, sample 3
         data[at] = '\xFB';
         data[at + 1] = '\xFF';
         e.put("data.bsq", data);
       },
       Status::refused("data.bsq band 3 line 2 sample 3 holds -5; values must be 0..32767"),
       console_of({int4_item(4), int4_item(6)})},
      {"NB out of range", [](FakeEnv& e) { e.put("cntl.dat", "2\n4 6\n&DATA /\n&CONTRL /\n&NPT /\n"); },
       Status::refused("NB = 2 in cntl.dat is outside the allowed range 3..200"), " CLOSE CNTL.DAT\n"},
      {"a thread count that is not one", [](FakeEnv& e) { load_inputs(e), e.set("TSRECON_THREADS", "two"); },
       Status::refused("TSRECON_THREADS must be a positive number of threads, not 'two'"), ""},
      {"too little memory", [](FakeEnv& e) { load_inputs(e), e.set_memory(3000); },
       Status::refused("NS = 6 and NB = 23 in cntl.dat need 0 MiB of line buffers; this machine has 0 MiB"),
       " CLOSE CNTL.DAT\n"},
      {"an interrupt in the line loop", [](FakeEnv& e) { load_inputs(e), e.interrupt_when_console_holds("    2/"); },
       Status::interrupted(2), format_progress_line(2, 4)},
      {"unwritten map records", [](FakeEnv& e) { load_inputs(e), e.limit_size("order.dat", 14); },
       Status::refused("order.dat has unwritten records (failed writes are listed on the console)"),
       " Program Deadified\n"},
  };
  for (const Case& c : cases) {
    FakeEnv env("/job");
    c.arrange(env);
    EXPECT_EQ(run_job(env), c.expected) << c.what;
    const std::string& out = env.console();
    const std::string& tail = c.console_ends_with;
    EXPECT_TRUE(out.size() >= tail.size() && out.compare(out.size() - tail.size(), tail.size(), tail) == 0)
        << c.what << ": console\n" << out << "expected to end with\n" << tail;
    EXPECT_EQ(env.errors(), "") << "run_job reports, it does not write: " << c.what;
  }
}

TEST(RunJobTest, OutputsOpenedBeforeAFailureExistAfterIt) {
  FakeEnv env("/job");
  load_inputs(env);
  env.put("data.bsq", "");
  EXPECT_EQ(run_job(env).number(), kErrNonExistentRecord);
  for (const JobFile& f : kRunFiles) {
    if (present_in_run(f, 1, 0)) {
      EXPECT_TRUE(env.exists(std::string(f.name))) << f.name;
    }
  }
  EXPECT_FALSE(env.exists("mask.bsq"));
}

}  // namespace
}  // namespace tsr
