// Faults met by the real executable in the middle of its work: a disk that
// fills up while the cubes are written, a data cube cut short, directories
// that are missing, extreme but valid data, and cube sizes that no machine
// can hold. Each must end in its defined way: one line on standard error, the
// right exit status, and every product line completed before the end intact.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "runtime/console.h"
#include "support/bits.h"
#include "support/job.h"
#include "support/process.h"

namespace tsr {
namespace {

using testing::ProcessOptions;
using testing::ProcessResult;
using testing::ScratchDir;

// ---------------------------------------------------------------------------
// Products and their layout.

struct Product {
  std::string name;
  int unit;
  int planes;
  int record_length;
};

// The products of a run in the order a line is written.
std::vector<Product> products_of(int nb, int nfunc, bool interp) {
  std::vector<Product> list = {{"p.bsq", 50, 2 * nfunc + 2, 4}};
  if (interp) list.push_back({"i.bsq", 51, nb, 2});
  list.push_back({"f.bsq", 52, nb, 2});
  list.push_back({"order.dat", 54, 1, 1});
  list.push_back({"aic.dat", 55, 1, 4});
  list.push_back({"min.dat", 61, 1, 2});
  list.push_back({"max.dat", 62, 1, 2});
  return list;
}

// Byte offset of line `line` (from 1) of plane `plane` (from 1).
size_t line_offset(const Product& p, int nl, int ns, int plane, int line) {
  return (static_cast<size_t>(plane - 1) * static_cast<size_t>(nl) + static_cast<size_t>(line - 1)) *
         static_cast<size_t>(ns) * static_cast<size_t>(p.record_length);
}

size_t line_length(const Product& p, int ns) { return static_cast<size_t>(ns) * static_cast<size_t>(p.record_length); }

size_t complete_size(const Product& p, int nl, int ns) {
  return static_cast<size_t>(p.planes) * static_cast<size_t>(nl) * line_length(p, ns);
}

// What a file holds of one line of one plane: the bytes that exist.
std::string line_of(const std::string& file, const Product& p, int nl, int ns, int plane, int line) {
  const size_t at = line_offset(p, nl, ns, plane, line);
  if (at >= file.size()) return "";
  return file.substr(at, line_length(p, ns));
}

// How a line of a product of an ended run must look.
enum class LineState {
  kComplete,  // as in the complete run
  kBlank,     // never written: zeros, or missing at the end of the file
  kPartial,   // cut short by a failed write: the bytes present are those of the complete run
};

void expect_line(const std::string& complete, const std::string& ended, const Product& p, int nl, int ns, int plane,
                 int line, LineState state, const std::string& what) {
  const std::string got = line_of(ended, p, nl, ns, plane, line);
  const std::string where = what + ": " + p.name + " plane " + std::to_string(plane) + " line " + std::to_string(line);
  if (state == LineState::kComplete) {
    EXPECT_EQ(line_of(complete, p, nl, ns, plane, line), got) << where;
  } else if (state == LineState::kPartial) {
    EXPECT_EQ(line_of(complete, p, nl, ns, plane, line).substr(0, got.size()), got) << where;
  } else {
    EXPECT_EQ(std::string(got.size(), '\0'), got) << where;
  }
}

// ---------------------------------------------------------------------------
// Running.

std::string canonical(const ScratchDir& dir, const std::string& name) {
  return (std::filesystem::canonical(dir.path()) / name).string();
}

std::string severe_line(int number, const std::string& text, int unit, const std::string& path) {
  return "forrtl: severe (" + std::to_string(number) + "): " + text + ", unit " + std::to_string(unit) + ", file " +
         path + "\n";
}

ProcessResult run_in(const ScratchDir& dir, long file_size_limit = -1,
                     std::vector<std::pair<std::string, std::string>> env = {}) {
  ProcessOptions options;
  options.cwd = dir.path();
  options.env = std::move(env);
  options.unset_env = {"FORT0", "FORT6", "FORT_CONVERT21", "FORT_CONVERT22", "FORT_CONVERT50", "FORT_CONVERT51",
                       "FORT_CONVERT52", "FORT_CONVERT54", "FORT_CONVERT55", "FORT_CONVERT61", "FORT_CONVERT62"};
  options.file_size_limit = file_size_limit;
  return testing::run_process({testing::tsrecon_path()}, options);
}

// Writes a synthetic cube and its cntl.dat into `dir` with the generator.
void generate(const ScratchDir& dir, int nb, int nl, int ns, int intp, int mask = 0) {
  const ProcessResult r = testing::generate_job(
      dir.path(), {"--nb", std::to_string(nb), "--nl", std::to_string(nl), "--ns", std::to_string(ns), "--intp",
                   std::to_string(intp), "--mask", std::to_string(mask), "--seed", std::to_string(nb * 7 + nl)});
  ASSERT_EQ(0, r.status) << r.err;
}

// The last line a run wrote on its console.
std::string last_console_line(const std::string& out) {
  if (out.empty()) return "";
  const size_t end = out.size() - 1;
  const size_t start = out.rfind('\n', end - 1);
  return out.substr(start == std::string::npos ? 0 : start + 1);
}

// A complete run of the job in `dir`, which must succeed.
void run_complete(const ScratchDir& dir) {
  const ProcessResult r = run_in(dir);
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(" Program Deadified\n", last_console_line(r.out));
}

// ---------------------------------------------------------------------------
// A disk that fills up while the cubes are written.

TEST(FaultDiskFull, EndsWithTheWriteErrorAndKeepsTheCompletedLines) {
  // The file size limit cuts the largest cube in the middle of line `fail_line`
  // of its last plane (every line of a cube extends into its last plane, so
  // that plane's lines are the ones that grow the file). Smaller products
  // written before it in a line stay below the limit.
  struct Case {
    const char* name;
    int nb;
    int intp;
    const char* failing;  // the product that meets the limit first
    int unit;
  };
  const Case cases[] = {
      {"interpolated cube first in the line", 46, 1, "i.bsq", 51},
      {"fitted cube without i.bsq", 46, 0, "f.bsq", 52},
      {"parameters of a short series", 10, 1, "p.bsq", 50},
  };
  const int nl = 8, ns = 6, nfunc = 6, fail_line = 5;
  // Two threads, with the lines written beside the pixel work and without.
  for (const char* overlap : {"1", "0"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string("TSRECON_OVERLAP=") + overlap);
      ScratchDir complete_dir, dir;
      generate(complete_dir, c.nb, nl, ns, c.intp);
      run_complete(complete_dir);
      dir.write("cntl.dat", complete_dir.read("cntl.dat"));
      dir.write("data.bsq", complete_dir.read("data.bsq"));

      const std::vector<Product> products = products_of(c.nb, nfunc, c.intp == 1);
      size_t failing = 0;
      while (products[failing].name != c.failing) ++failing;
      const Product& f = products[failing];
      const long limit =
          static_cast<long>(line_offset(f, nl, ns, f.planes, fail_line) + line_length(f, ns) / 2);
      for (size_t k = 0; k < failing; ++k) {
        ASSERT_LT(complete_size(products[k], nl, ns), static_cast<size_t>(limit)) << c.name << ": bad setup";
      }

      const ProcessResult r = run_in(dir, limit, {{"TSRECON_THREADS", "2"}, {"TSRECON_OVERLAP", overlap}});
      EXPECT_EQ(38, r.status) << c.name;
      EXPECT_EQ(severe_line(38, "error during write", f.unit, canonical(dir, f.name)), r.err) << c.name;
      EXPECT_EQ(format_progress_line(fail_line, nl), last_console_line(r.out)) << c.name;

      for (size_t k = 0; k < products.size(); ++k) {
        const Product& p = products[k];
        const std::string complete = complete_dir.read(p.name);
        ASSERT_TRUE(dir.exists(p.name)) << c.name << " " << p.name;
        const std::string ended = dir.read(p.name);
        EXPECT_LE(ended.size(), static_cast<size_t>(limit)) << c.name << " " << p.name;
        for (int plane = 1; plane <= p.planes; ++plane) {
          for (int line = 1; line <= nl; ++line) {
            LineState state = LineState::kBlank;
            if (line < fail_line) state = LineState::kComplete;
            // In the failing line, the products before the failing one are
            // complete, and so are the planes of the failing one before the
            // last; its last plane holds what could be written before the limit.
            if (line == fail_line && (k < failing || (k == failing && plane < p.planes))) state = LineState::kComplete;
            if (line == fail_line && k == failing && plane == p.planes) state = LineState::kPartial;
            expect_line(complete, ended, p, nl, ns, plane, line, state, c.name);
          }
        }
      }

      // Rerunning without the limit over the ended products gives the complete run.
      const ProcessResult again = run_in(dir);
      EXPECT_EQ(0, again.status) << c.name;
      for (const Product& p : products) {
        EXPECT_EQ(complete_dir.read(p.name), dir.read(p.name)) << c.name << " " << p.name;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// A data cube cut short.

TEST(FaultCubeCutShort, EndsAtTheFirstLineThatNeedsMissingRecords) {
  // A line needs its records in every plane: a cut in the last plane stops
  // the run at the line of the cut, a cut in an earlier plane already at
  // line 1, which needs the next plane.
  struct Case {
    const char* name;
    int plane;          // plane in which the cut lies
    int line;           // line of that plane in which the cut lies
    size_t extra;       // bytes of that line kept before the cut
    int failing_line;   // the image line that cannot be read
  };
  const int nb = 23, nl = 7, ns = 5;
  const Case cases[] = {
      {"in the last plane, between records", nb, 4, 2 * 2, 4},
      {"in the last plane, inside a record", nb, 6, 2 * 3 + 1, 6},
      {"at the start of a line of the last plane", nb, 2, 0, 2},
      {"in the first plane", 1, 3, 2 * 1, 1},
      {"in the plane before the last", nb - 1, 7, 2 * 4, 1},
  };
  for (const Case& c : cases) {
    ScratchDir complete_dir, dir;
    generate(complete_dir, nb, nl, ns, 1);
    run_complete(complete_dir);
    const Product data{"data.bsq", 21, nb, 2};
    const size_t cut = line_offset(data, nl, ns, c.plane, c.line) + c.extra;
    dir.write("cntl.dat", complete_dir.read("cntl.dat"));
    dir.write("data.bsq", complete_dir.read("data.bsq").substr(0, cut));

    const ProcessResult r = run_in(dir);
    EXPECT_EQ(36, r.status) << c.name;
    EXPECT_EQ(severe_line(36, "attempt to access non-existent record", 21, canonical(dir, "data.bsq")), r.err)
        << c.name;
    EXPECT_EQ(format_progress_line(c.failing_line, nl), last_console_line(r.out)) << c.name;
    EXPECT_EQ(cut, dir.read("data.bsq").size()) << c.name << ": the input was changed";

    for (const Product& p : products_of(nb, 6, true)) {
      const std::string complete = complete_dir.read(p.name);
      const std::string ended = dir.read(p.name);
      for (int plane = 1; plane <= p.planes; ++plane) {
        for (int line = 1; line <= nl; ++line) {
          expect_line(complete, ended, p, nl, ns, plane, line,
                      line < c.failing_line ? LineState::kComplete : LineState::kBlank, c.name);
        }
      }
    }
  }
}

TEST(FaultCubeCutShort, HalfARecordAtTheEndReadsAsAZeroHighByte) {
  // Only the last byte is missing: the last record is partly present, which
  // is accepted, its missing high byte read as 0. The run completes and gives
  // the products of the cube whose last byte is 0.
  const int nb = 11, nl = 3, ns = 4;
  ScratchDir zeroed, cut;
  generate(zeroed, nb, nl, ns, 1);
  std::string data = zeroed.read("data.bsq");
  data.back() = '\0';
  zeroed.write("data.bsq", data);
  run_complete(zeroed);
  cut.write("cntl.dat", zeroed.read("cntl.dat"));
  cut.write("data.bsq", data.substr(0, data.size() - 1));

  const ProcessResult r = run_in(cut);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  for (const Product& p : products_of(nb, 6, true)) {
    EXPECT_EQ(zeroed.read(p.name), cut.read(p.name)) << p.name;
  }
}

// ---------------------------------------------------------------------------
// Missing directories.
//
// The program's file names are plain names in the working directory, so a
// directory can be missing in two ways only: the working directory itself was
// removed, or a name is a symbolic link into a directory that does not exist.
// Either fails at the open with "file not found"; a link through a plain file
// is refused as any other unusable name is.

TEST(FaultMissingDirectory, LinkIntoAMissingDirectoryFailsAtItsOpen) {
  // The file set in the order it is opened; mask.bsq and i.bsq take part
  // because the job has MASK=1 and INTP=1.
  const std::vector<std::pair<std::string, int>> opened = {
      {"data.bsq", 21}, {"mask.bsq", 22}, {"p.bsq", 50},   {"i.bsq", 51},  {"f.bsq", 52},
      {"order.dat", 54}, {"aic.dat", 55}, {"min.dat", 61}, {"max.dat", 62}};
  struct Case {
    std::string name;
    int unit;
    const char* target;
    int number;
    const char* text;
  };
  std::vector<Case> cases;
  cases.push_back({"cntl.dat", 15, "missing/cntl.dat", 29, "file not found"});
  for (const auto& [name, unit] : opened) cases.push_back({name, unit, "missing/dir/x", 29, "file not found"});
  cases.push_back({"f.bsq", 52, "cntl.dat/f.bsq", 9, "permission to access file denied"});

  for (const Case& c : cases) {
    ScratchDir dir;
    generate(dir, 5, 2, 3, 1, 1);
    const std::string control = dir.read("cntl.dat");
    const std::string data = dir.read("data.bsq");
    const std::string mask = dir.read("mask.bsq");
    ::unlink(dir.file(c.name).c_str());  // the products do not exist yet
    ASSERT_EQ(0, ::symlink(c.target, dir.file(c.name).c_str())) << c.name;

    const ProcessResult r = run_in(dir);
    const std::string what = c.name + " -> " + c.target;
    EXPECT_EQ(c.number, r.status) << what;
    EXPECT_EQ(severe_line(c.number, c.text, c.unit, canonical(dir, c.name)), r.err) << what;
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing"))) << what;
    if (c.unit == 15) {
      EXPECT_EQ("", r.out) << what;
      for (const auto& [name, unit] : opened) {
        if (name != "data.bsq" && name != "mask.bsq") {
          EXPECT_FALSE(dir.exists(name)) << what << " " << name;
        }
      }
      continue;
    }
    EXPECT_EQ(" opening data bsq\n", last_console_line(r.out)) << what;
    // Files opened before the failing one exist (products created empty);
    // later ones were never created. The inputs are unchanged.
    bool before = true;
    for (const auto& [name, unit] : opened) {
      if (name == c.name) {
        before = false;
        continue;
      }
      if (name == "data.bsq" || name == "mask.bsq") continue;
      if (before) {
        EXPECT_TRUE(dir.exists(name)) << what << " " << name;
        EXPECT_EQ("", dir.read(name)) << what << " " << name;
      } else {
        EXPECT_FALSE(dir.exists(name)) << what << " " << name;
      }
    }
    EXPECT_EQ(control, dir.read("cntl.dat")) << what;
    if (c.name != "data.bsq") {
      EXPECT_EQ(data, dir.read("data.bsq")) << what;
    }
    if (c.name != "mask.bsq") {
      EXPECT_EQ(mask, dir.read("mask.bsq")) << what;
    }
  }
}

TEST(FaultMissingDirectory, WorkingDirectoryRemovedBeforeTheStart) {
  // The shell enters the directory, removes it and becomes tsrecon: the
  // control file cannot even be created. With no working directory there is
  // no full path to show, so the message names the bare file.
  ScratchDir parent;
  const std::string gone = parent.file("job");
  ASSERT_EQ(0, ::mkdir(gone.c_str(), 0755));
  ProcessOptions options;
  options.unset_env = {"FORT0", "FORT6"};
  const ProcessResult r = testing::run_process(
      {"/bin/sh", "-c", "cd \"$1\" && rmdir \"$1\" && exec \"$2\"", "sh", gone, testing::tsrecon_path()}, options);
  EXPECT_EQ(29, r.status);
  EXPECT_EQ(severe_line(29, "file not found", 15, "cntl.dat"), r.err);
  EXPECT_EQ("", r.out);
  EXPECT_FALSE(std::filesystem::exists(gone));
}

// ---------------------------------------------------------------------------
// Extreme but valid data.

float real4_at(const std::string& file, size_t record) {
  float v;
  std::memcpy(&v, file.data() + record * 4, 4);
  return v;
}

int16_t int16_at(const std::string& file, size_t record) {
  return static_cast<int16_t>(static_cast<uint8_t>(file[record * 2]) |
                              (static_cast<uint16_t>(static_cast<uint8_t>(file[record * 2 + 1])) << 8));
}

TEST(FaultExtremeData, RunsToTheEndWithDefinedProducts) {
  // Every pixel of a case holds the same series (a cycle of raw values over
  // the bands), so every pixel must give the same records. Whatever the
  // series, the products are complete, p.bsq holds no NaN, an accepted fit
  // lies within 0..4096 raw units, and a pixel without a model has zeros in
  // p.bsq, f.bsq, min.dat and max.dat.
  enum class Outcome {
    kNoModel,  // nothing to fit, or fitted exactly: order NFUNC, every output zero
    kGaveUp,   // no cap gives a curve within 0..1: order -1, every output zero
    kModel,    // a model: order above 1, parameters not all zero
  };
  struct Case {
    const char* name;
    int nb, nl, ns;
    std::vector<int16_t> cycle;
    std::string contrl;
    int excluded;  // bands 1..excluded are listed in cntl.dat
    Outcome outcome;
  };
  std::vector<int16_t> spike(46, 0);
  spike[0] = 1536;
  // No screening and no filter: the fits see the series as it is.
  const std::string raw = "TCLD=10, MMSW=0, INTP=1";
  const Case cases[] = {
      {"zero everywhere", 46, 2, 3, {0}, "INTP=1", 0, Outcome::kNoModel},
      {"1536, the highest valid value", 46, 2, 3, {1536}, "INTP=1", 0, Outcome::kNoModel},
      {"1537, just above the ceiling", 46, 2, 3, {1537}, "INTP=1", 0, Outcome::kNoModel},
      {"32767 everywhere: all missing", 46, 2, 3, {32767}, "INTP=1", 0, Outcome::kNoModel},
      {"32767 and 0 alternating", 46, 2, 3, {32767, 0}, "INTP=1", 0, Outcome::kNoModel},
      {"three bands", 3, 2, 3, {800}, "INTP=1", 0, Outcome::kNoModel},
      {"three bands above the ceiling", 3, 2, 3, {32767}, "INTP=1", 0, Outcome::kNoModel},
      {"every band excluded", 5, 2, 3, {700, 100}, "INTP=1", 5, Outcome::kNoModel},
      {"all missing under a mask of zeros", 46, 1, 3, {32767}, "MASK=1, INTP=1", 0, Outcome::kNoModel},
      {"wider than 7500 samples, all missing", 3, 1, 7501, {32767}, "", 0, Outcome::kNoModel},
      {"window of 2147483647", 46, 2, 2, {1200, 0}, "NWIN=2147483647, INTP=1", 0, Outcome::kNoModel},
      {"one spike of 1536 in zeros", 46, 2, 2, spike, raw, 0, Outcome::kGaveUp},
      {"0 and 1536 alternating", 46, 2, 2, {0, 1536}, raw, 0, Outcome::kModel},
      {"saw of 0 to 1536", 46, 1, 3, {0, 512, 1024, 1536}, raw, 0, Outcome::kModel},
      {"two hundred bands", 200, 1, 2, {0, 512, 1024, 1536, 1536}, raw, 0, Outcome::kModel},
      // Peaks clipped over the whole series leave zeros and the last band.
      {"two hundred bands, widest clipping window", 200, 1, 2, {0, 1536, 1536},
       "TCLD=10, NWIN=2147483647, FITMD=1, INTP=1", 0, Outcome::kGaveUp},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    std::string bands;
    for (int b = 1; b <= c.excluded; ++b) bands += std::to_string(b) + "\n";
    dir.write("cntl.dat",
              testing::ControlFile{c.nb, c.nl, c.ns, "NDEF=" + std::to_string(c.excluded), c.contrl, 46, bands}.text());
    std::string data;
    for (int b = 1; b <= c.nb; ++b) {
      const auto v = static_cast<uint16_t>(c.cycle[static_cast<size_t>(b - 1) % c.cycle.size()]);
      for (int k = 0; k < c.nl * c.ns; ++k) {
        data += static_cast<char>(v & 0xFF);
        data += static_cast<char>(v >> 8);
      }
    }
    dir.write("data.bsq", data);
    const bool masked = c.contrl.find("MASK=1") != std::string::npos;
    if (masked) dir.write("mask.bsq", std::string(static_cast<size_t>(c.nb * c.nl * c.ns), '\0'));

    const ProcessResult r = run_in(dir);
    ASSERT_EQ(0, r.status) << c.name << "\n" << r.err;
    EXPECT_EQ("", r.err) << c.name;
    EXPECT_EQ(" Program Deadified\n", last_console_line(r.out)) << c.name;

    const bool interp = c.contrl.find("INTP=1") != std::string::npos;
    const std::vector<Product> products = products_of(c.nb, 6, interp);
    for (const Product& p : products) {
      EXPECT_EQ(complete_size(p, c.nl, c.ns), dir.read(p.name).size()) << c.name << " " << p.name;
    }
    const std::string params = dir.read("p.bsq");
    const std::string fit = dir.read("f.bsq");
    const std::string order = dir.read("order.dat");
    const std::string minimum = dir.read("min.dat");
    const std::string maximum = dir.read("max.dat");
    const size_t pixels = static_cast<size_t>(c.nl) * static_cast<size_t>(c.ns);
    ASSERT_EQ(pixels, order.size()) << c.name;
    for (size_t k = 0; k < params.size() / 4; ++k) EXPECT_FALSE(std::isnan(real4_at(params, k))) << c.name;

    // The same series everywhere: every pixel's records equal the first pixel's.
    for (const Product& p : products) {
      const std::string file = dir.read(p.name);
      const size_t len = static_cast<size_t>(p.record_length);
      for (int plane = 0; plane < p.planes; ++plane) {
        const std::string first = file.substr(plane * pixels * len, len);
        for (size_t px = 1; px < pixels; ++px) {
          ASSERT_EQ(first, file.substr((plane * pixels + px) * len, len))
              << c.name << " " << p.name << " plane " << plane + 1 << " pixel " << px;
        }
      }
    }

    // So the first pixel speaks for all.
    const int order_value = static_cast<int8_t>(order[0]);
    bool params_zero = true;
    for (int plane = 0; plane < 14; ++plane) {
      const float v = real4_at(params, plane * pixels);
      params_zero = params_zero && ::tsr::testing::bits(v) == 0;
    }
    bool fit_zero = true;
    for (int band = 0; band < c.nb; ++band) {
      const int16_t v = int16_at(fit, band * pixels);
      fit_zero = fit_zero && v == 0;
      EXPECT_GE(v, 0) << c.name << " band " << band + 1;
      EXPECT_LE(v, 4096) << c.name << " band " << band + 1;
    }
    const int16_t lo = int16_at(minimum, 0), hi = int16_at(maximum, 0);
    switch (c.outcome) {
      case Outcome::kNoModel:
      case Outcome::kGaveUp:
        EXPECT_EQ(c.outcome == Outcome::kGaveUp ? -1 : 6, order_value) << c.name;
        EXPECT_TRUE(params_zero) << c.name;
        EXPECT_TRUE(fit_zero) << c.name;
        EXPECT_EQ(0, lo) << c.name;
        EXPECT_EQ(0, hi) << c.name;
        break;
      case Outcome::kModel:
        EXPECT_GT(order_value, 1) << c.name;
        EXPECT_FALSE(params_zero) << c.name;
        EXPECT_LE(0, lo) << c.name;
        EXPECT_LE(lo, hi) << c.name;
        EXPECT_LE(hi, 4096) << c.name;
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// Cube sizes that no machine can hold.

TEST(FaultOversizedCube, LineBuffersBeyondMemoryAreRefusedBeforeAnyFile) {
  // The line buffers grow with NB and NS: sizes that need more memory than
  // the machine has end the run with one line and status 1 before the
  // function matrix is built, and no image file is created or changed.
  struct Case {
    const char* name;
    const char* sizes;
    int nb;
  };
  const Case cases[] = {
      {"NS = 2000000000", "1 2000000000", 46},
      {"largest NS and NB", "2147483647 2147483647", 200},
      {"NS = 2147483647 of three bands", "5 2147483647", 3},
      // Small enough lines, but the products would outgrow any file offset.
      {"products beyond any file offset", "2147483647 100000000", 3},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string control =
        std::to_string(c.nb) + "\n" + c.sizes + "\n&DATA /\n&CONTRL INTP=1, MASK=1 /\n&NPT /\n";
    dir.write("cntl.dat", control);
    dir.write("f.bsq", "bytes of an earlier run");
    const ProcessResult r = run_in(dir);
    EXPECT_EQ(1, r.status) << c.name;
    EXPECT_EQ(" READ CNTL.DAT\n CLOSE CNTL.DAT\n", r.out) << c.name;
    ASSERT_FALSE(r.err.empty()) << c.name;
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << c.name << ": not one line: " << r.err;
    EXPECT_EQ(0u, r.err.rfind("tsrecon: ", 0)) << c.name << ": " << r.err;
    EXPECT_NE(std::string::npos, r.err.find("NS = ")) << c.name << ": " << r.err;
    EXPECT_EQ(control, dir.read("cntl.dat")) << c.name;
    EXPECT_EQ("bytes of an earlier run", dir.read("f.bsq")) << c.name;
    for (const char* name : {"data.bsq", "mask.bsq", "p.bsq", "i.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}) {
      EXPECT_FALSE(dir.exists(name)) << c.name << " " << name;
    }
  }
}

TEST(FaultOversizedCube, HugeLineCountNeedsNoMoreMemory) {
  // NL does not enter the line buffers: a cube of 2147483647 lines of few
  // samples starts like any other. Band 2 of line 1 lies beyond 2^31 records
  // of 2 bytes, which are addressed without overflow, so a data.bsq that ends
  // after band 1 of line 1 stops the run with the non-existent-record error,
  // and nothing was written to the products.
  ScratchDir dir;
  const int nb = 4, ns = 3;
  const int nl = 2147483647;
  dir.write("cntl.dat", std::to_string(nb) + "\n" + std::to_string(nl) + " " + std::to_string(ns) +
                            "\n&DATA /\n&CONTRL /\n&NPT /\n");
  dir.write("data.bsq", std::string(2 * ns, '\x01'));
  const ProcessResult r = run_in(dir);
  EXPECT_EQ(36, r.status);
  EXPECT_EQ(severe_line(36, "attempt to access non-existent record", 21, canonical(dir, "data.bsq")), r.err);
  EXPECT_EQ(format_progress_line(1, nl), last_console_line(r.out));
  for (const char* name : {"p.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}) {
    EXPECT_TRUE(dir.exists(name)) << name;
    EXPECT_EQ(0u, dir.read(name).size()) << name;
  }
}

}  // namespace
}  // namespace tsr
