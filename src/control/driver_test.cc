// Whole runs of the real executable in scratch directories: the console, the
// error lines, the exit status and every byte of every product.
//
// The products of a run are checked against the same pixels reconstructed in
// this process (function matrix, reconstruct_pixel, the product conversions),
// laid out by the record formulas of the band-sequential files, so the
// addressing and the encodings of the whole file set are checked byte by byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control/run_parameters.h"
#include "io/conversions.h"
#include "lsq/function_matrix.h"
#include "pixel/reconstruct.h"
#include "support/bits.h"
#include "support/job.h"
#include "support/parameters.h"
#include "support/process.h"
#include "support/random.h"

namespace tsr {
namespace {

using testing::ProcessOptions;
using testing::ProcessResult;
using testing::ScratchDir;
using Job = testing::ControlFile;
using testing::synthetic_cube;
using testing::synthetic_mask;

// ---------------------------------------------------------------------------
// Inputs

// ---------------------------------------------------------------------------
// Products

struct Product {
  const char* name;
  int unit;
  int record_length;
  enum Planes { kParams, kBands, kOne } planes;
};
constexpr Product kProducts[] = {
    {"p.bsq", 50, 4, Product::kParams},  {"i.bsq", 51, 2, Product::kBands},   {"f.bsq", 52, 2, Product::kBands},
    {"order.dat", 54, 1, Product::kOne}, {"aic.dat", 55, 4, Product::kOne},   {"min.dat", 61, 2, Product::kOne},
    {"max.dat", 62, 2, Product::kOne},
};

// Products of a run reconstructed in this process, as complete files, plus
// the 16-bit map values the console shows for failed map writes.
struct Expected {
  RunParameters p;
  std::map<std::string, std::string> files;
  std::vector<int16_t> order, min, max;  // per pixel, line-major
  int32_t planes(const Product& product) const {
    return product.planes == Product::kParams ? p.NP : product.planes == Product::kBands ? p.NB : 1;
  }
  size_t size(const Product& product) const {
    return static_cast<size_t>(planes(product)) * static_cast<size_t>(p.NL) * static_cast<size_t>(p.NS) *
           static_cast<size_t>(product.record_length);
  }
};

void put16(std::string& file, size_t offset, uint16_t v) {
  file[offset] = static_cast<char>(v & 0xFF);
  file[offset + 1] = static_cast<char>(v >> 8);
}
void put32(std::string& file, size_t offset, uint32_t v) {
  for (int k = 0; k < 4; ++k) file[offset + k] = static_cast<char>((v >> (8 * k)) & 0xFF);
}

using testing::parameters_of;

// Pixels reconstructed one after another with the arrays of a run: the
// outputs and the workspace carry over from one pixel to the next.
struct InProcessPixels {
  explicit InProcessPixels(const RunParameters& parameters)
      : settings(pixel_settings(parameters)),
        x(std::make_unique<FunctionMatrix>()),
        ws(std::make_unique<PixelWorkspace>()),
        input(std::make_unique<PixelInput>()),
        result(std::make_unique<PixelResult>()) {
    build_function_matrix(parameters.NB, parameters.NPOINT, parameters.NFUNC, harmonic_frequencies, *x);
  }
  // `input` is staged afresh by the caller for every pixel.
  void reconstruct() { reconstruct_pixel(settings, *x, *input, *result, *ws); }
  const PixelSettings settings;
  std::unique_ptr<FunctionMatrix> x;
  std::unique_ptr<PixelWorkspace> ws;
  std::unique_ptr<PixelInput> input;
  std::unique_ptr<PixelResult> result;
};

// Reconstructs lines 1..`lines` (all when negative) of the cube in the order
// of a run: line by line, sample by sample.
Expected reconstruct_in_process(const std::string& control, const std::vector<int16_t>& data,
                                const std::string& mask, int32_t lines = -1) {
  Expected e;
  e.p = parameters_of(control);
  const RunParameters& p = e.p;
  const size_t nl = static_cast<size_t>(p.NL), ns = static_cast<size_t>(p.NS);
  for (const Product& product : kProducts) e.files[product.name] = std::string(e.size(product), '\0');

  InProcessPixels pixels(p);
  PixelInput& in = *pixels.input;
  const PixelResult& out = *pixels.result;
  const int32_t last_line = lines < 0 ? p.NL : lines;
  for (int32_t l = 1; l <= last_line; ++l) {
    for (int32_t s = 1; s <= p.NS; ++s) {
      // Record of band b, line l, sample s: (b - 1) * NL * NS + (l - 1) * NS + s.
      auto record = [&](int32_t b) { return (static_cast<size_t>(b) - 1) * nl * ns + (l - 1) * ns + s; };
      for (int32_t b = 1; b <= p.NB; ++b) {
        in.series[b - 1] = data[record(b) - 1];
        in.weights[b - 1] = p.MASK == 1 ? static_cast<int16_t>(static_cast<unsigned char>(mask[record(b) - 1])) : 1;
      }
      pixels.reconstruct();
      for (int32_t k = 1; k <= p.NP; ++k)
        put32(e.files["p.bsq"], (record(k) - 1) * 4, testing::bits(real4_value(out.params[k - 1])));
      for (int32_t b = 1; b <= p.NB; ++b) {
        put16(e.files["i.bsq"], (record(b) - 1) * 2,
              static_cast<uint16_t>(scaled_series_value(out.preliminary[b - 1])));
        put16(e.files["f.bsq"], (record(b) - 1) * 2, static_cast<uint16_t>(scaled_series_value(out.fitted[b - 1])));
      }
      const size_t r = record(1);  // maps: (l - 1) * NS + s
      e.files["order.dat"][r - 1] = static_cast<char>(static_cast<uint8_t>(static_cast<int16_t>(out.order) & 0xFF));
      put32(e.files["aic.dat"], (r - 1) * 4, testing::bits(aic_value(out.criterion)));
      put16(e.files["min.dat"], (r - 1) * 2, static_cast<uint16_t>(out.minimum));
      put16(e.files["max.dat"], (r - 1) * 2, static_cast<uint16_t>(out.maximum));
      e.order.push_back(static_cast<int16_t>(out.order));
      e.min.push_back(static_cast<int16_t>(out.minimum));
      e.max.push_back(static_cast<int16_t>(out.maximum));
    }
  }
  return e;
}

// The bytes of line `line` of a product: one run of NS records per plane.
std::string line_bytes(const std::string& file, const Expected& e, const Product& product, int32_t line) {
  std::string out;
  const size_t ns = static_cast<size_t>(e.p.NS), len = static_cast<size_t>(product.record_length);
  for (int32_t plane = 0; plane < e.planes(product); ++plane) {
    const size_t offset = ((static_cast<size_t>(plane) * e.p.NL + (line - 1)) * ns) * len;
    out += offset < file.size() ? file.substr(offset, ns * len) : std::string();
  }
  return out;
}

// Compares whole files, naming the first record that differs.
void expect_same_bytes(const std::string& expected, const std::string& actual, const std::string& what,
                       int record_length) {
  EXPECT_EQ(expected.size(), actual.size()) << what;
  const size_t n = std::min(expected.size(), actual.size());
  for (size_t i = 0; i < n; ++i) {
    if (expected[i] != actual[i]) {
      ADD_FAILURE() << what << ": first difference in record " << i / record_length + 1 << " (byte offset " << i
                    << ")";
      return;
    }
  }
}

std::string swap_records(std::string bytes, int record_length) {
  for (size_t i = 0; i + record_length <= bytes.size(); i += record_length)
    std::reverse(bytes.begin() + i, bytes.begin() + i + record_length);
  return bytes;
}

// ---------------------------------------------------------------------------
// Running

const std::vector<std::string> kRuntimeVariables = {
    "FORT0",          "FORT6",          "FORT_CONVERT21", "FORT_CONVERT22", "FORT_CONVERT50", "FORT_CONVERT51",
    "FORT_CONVERT52", "FORT_CONVERT54", "FORT_CONVERT55", "FORT_CONVERT61", "FORT_CONVERT62"};

ProcessResult run_in(const ScratchDir& dir, ProcessOptions options = {}) {
  options.cwd = dir.path();
  options.unset_env = kRuntimeVariables;
  return testing::run_process({testing::tsrecon_path()}, options);
}

ProcessResult run_with(const ScratchDir& dir, const std::string& variable, const std::string& value) {
  ProcessOptions options;
  options.env = {{variable, value}};
  return run_in(dir, options);
}

// Writes cntl.dat and data.bsq (and mask.bsq under MASK=1) of a job.
struct Inputs {
  std::string control;
  std::vector<int16_t> data;
  std::string mask;
};
Inputs make_inputs(const Job& job, uint64_t seed) {
  Inputs in;
  in.control = job.text();
  in.data = synthetic_cube(job.nb, job.nl, job.ns, job.npoint, seed);
  in.mask = synthetic_mask(in.data.size(), seed + 1);
  return in;
}
void write_inputs(const ScratchDir& dir, const Inputs& in, bool with_mask) {
  dir.write("cntl.dat", in.control);
  dir.write("data.bsq", testing::cube_file(in.data));
  if (with_mask) dir.write("mask.bsq", in.mask);
}

// The progress line: both numbers in five columns, asterisks when one needs more.
std::string progress(int32_t line, int32_t lines) {
  auto field = [](int32_t v) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%5d", v);
    return std::strlen(buffer) > 5 ? std::string("*****") : std::string(buffer);
  };
  return " " + field(line) + "/" + field(lines) + "line\n";
}

std::string console_head(const std::string& band_echo = "") {
  return " READ CNTL.DAT\n" + band_echo +
         " CLOSE CNTL.DAT\n MAKING FUNCTION MATRIX\n opening data bsq\n MAKING FUNCTION MATRIX LOOP\n";
}

// Progress lines of lines 1..last of a run of `lines` lines.
std::string progress_up_to(int32_t last, int32_t lines) {
  std::string out;
  for (int32_t l = 1; l <= last; ++l) out += progress(l, lines);
  return out;
}
std::string all_progress(int32_t lines) { return progress_up_to(lines, lines); }

std::string int4(int32_t v) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%12d", v);
  return buffer;
}
std::string int2(int16_t v) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%7d", v);
  return buffer;
}

std::string full_path(const ScratchDir& dir, const std::string& name) {
  return (std::filesystem::canonical(dir.path()) / name).string();
}

std::string severe_line(int number, const std::string& text, int unit, const ScratchDir& dir,
                        const std::string& name) {
  return "forrtl: severe (" + std::to_string(number) + "): " + text + ", unit " + std::to_string(unit) +
         ", file " + full_path(dir, name) + "\n";
}

// Every product of a complete run equals its in-process reconstruction.
void expect_products(const ScratchDir& dir, const Expected& e, bool with_interp, const std::string& what) {
  for (const Product& product : kProducts) {
    if (!with_interp && std::string(product.name) == "i.bsq") continue;
    ASSERT_TRUE(dir.exists(product.name)) << what << " " << product.name;
    expect_same_bytes(e.files.at(product.name), dir.read(product.name), what + " " + product.name,
                      product.record_length);
  }
}

// Takes write access to a file away, also from root (which chmod does not
// stop): by the immutable attribute when the process may set it.
class WriteProtection {
 public:
  explicit WriteProtection(std::string path) : path_(std::move(path)) {
    if (geteuid() != 0) {
      ok_ = ::chmod(path_.c_str(), 0444) == 0;
    } else {
      const int fd = ::open(path_.c_str(), O_RDONLY);
      int flags = 0;
      if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_IMMUTABLE_FL;
        immutable_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
      }
      if (fd >= 0) ::close(fd);
      ok_ = immutable_;
    }
    // It only counts when a write open really fails now.
    if (ok_) {
      const int probe = ::open(path_.c_str(), O_RDWR);
      if (probe >= 0) {
        ::close(probe);
        ok_ = false;
      }
    }
  }
  ~WriteProtection() {
    if (!immutable_) return;
    const int fd = ::open(path_.c_str(), O_RDONLY);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) ::close(fd);
  }
  WriteProtection(const WriteProtection&) = delete;
  WriteProtection& operator=(const WriteProtection&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
  bool immutable_ = false;
};

constexpr const char* kNoProtection =
    "cannot take write access away from a file here (running as root on a file system without the immutable "
    "attribute, or without CAP_LINUX_IMMUTABLE)";

// ---------------------------------------------------------------------------
// Complete runs

TEST(DriverRun, CompleteRunsMatchTheInProcessReconstruction) {
  struct Case {
    const char* name;
    Job job;
    std::string band_echo;
    const char* directory_in_the_way;  // a name the run must not open
  };
  const Case cases[] = {
      {"defaults with i.bsq", {23, 3, 5, "NFUNC=4", "NWIN=2, INTP=1", 23, ""}, "", nullptr},
      {"excluded bands, FITMD 1, MASK 2",
       {46, 2, 4, "NFUNC=6, NDEF=2", "TCLD=0.1, FITMD=1, INTP=1, MASK=2", 46, "5\n17\n"},
       " ----\n" + int4(2) + "\n" + int4(1) + int4(5) + "\n" + int4(2) + int4(17) + "\n ----\n",
       "mask.bsq"},
      {"weights from mask.bsq, FITMD 2", {23, 2, 4, "NFUNC=3", "NWIN=1, FITMD=2, INTP=1, MASK=1", 23, ""}, "",
       nullptr},
      {"INTP 0, no envelope filter", {23, 2, 3, "NFUNC=2", "MMSW=0, FITSW=0", 23, ""}, "", "i.bsq"},
      {"INTP 2, MASK -1", {23, 2, 3, "NFUNC=5", "INTP=2, MASK=-1, FITMD=7", 23, ""}, "", nullptr},
      {"one sample per line", {3, 2, 1, "NFUNC=1", "INTP=1", 3, ""}, "", nullptr},
  };
  uint64_t seed = 11;
  for (const Case& c : cases) {
    ScratchDir dir;
    const Inputs in = make_inputs(c.job, seed++);
    const bool mask = c.job.contrl_group.find("MASK=1") != std::string::npos;
    const bool interp = c.job.contrl_group.find("INTP=1") != std::string::npos;
    write_inputs(dir, in, mask);
    if (c.directory_in_the_way != nullptr) {
      ASSERT_EQ(0, ::mkdir(dir.file(c.directory_in_the_way).c_str(), 0755));
    }

    const ProcessResult r = run_in(dir);
    EXPECT_EQ(console_head(c.band_echo) + all_progress(c.job.nl) + " Program Deadified\n", r.out) << c.name;
    EXPECT_EQ("", r.err) << c.name;
    EXPECT_EQ(0, r.status) << c.name;

    const Expected e = reconstruct_in_process(in.control, in.data, in.mask);
    for (const Product& product : kProducts) {
      if (!interp && std::string(product.name) == "i.bsq") continue;
      EXPECT_EQ(e.size(product), dir.read(product.name).size()) << c.name << " " << product.name;
    }
    expect_products(dir, e, interp, c.name);
    if (!mask && c.directory_in_the_way == nullptr) {
      EXPECT_FALSE(dir.exists("mask.bsq")) << c.name;
    }
    if (!interp && c.directory_in_the_way == nullptr) {
      EXPECT_FALSE(dir.exists("i.bsq")) << c.name;
    }
    // The inputs are only read.
    EXPECT_EQ(testing::cube_file(in.data), dir.read("data.bsq")) << c.name;
    if (mask) {
      EXPECT_EQ(in.mask, dir.read("mask.bsq")) << c.name;
    }
  }
}

// More samples per line than the classic 7500: the line buffers follow NS.
TEST(DriverRun, LinesWiderThan7500Samples) {
  ScratchDir dir;
  const Job job{8, 1, 8000, "NFUNC=2", "INTP=1", 8, ""};
  const Inputs in = make_inputs(job, 5);
  write_inputs(dir, in, false);
  const ProcessResult r = run_in(dir);
  EXPECT_EQ(console_head() + progress(1, 1) + " Program Deadified\n", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(0, r.status);
  expect_products(dir, reconstruct_in_process(in.control, in.data, in.mask), true, "NS 8000");
}

TEST(DriverRun, NoLinesOpensAndClosesTheFileSet) {
  struct Case {
    const char* name;
    const char* contrl;
    std::vector<std::string> created;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {"INTP 1", "INTP=1",
       {"data.bsq", "p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"},
       {"mask.bsq"}},
      {"MASK 1, INTP 0", "MASK=1",
       {"data.bsq", "mask.bsq", "p.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"},
       {"i.bsq"}},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("cntl.dat", Job{23, 0, 5, "", c.contrl, 23, ""}.text());
    const ProcessResult r = run_in(dir);
    EXPECT_EQ(console_head() + " Program Deadified\n", r.out) << c.name;
    EXPECT_EQ("", r.err) << c.name;
    EXPECT_EQ(0, r.status) << c.name;
    for (const auto& name : c.created) {
      EXPECT_TRUE(dir.exists(name)) << c.name << " " << name;
      EXPECT_EQ("", dir.read(name)) << c.name << " " << name;
    }
    for (const auto& name : c.absent) EXPECT_FALSE(dir.exists(name)) << c.name << " " << name;
  }
}

TEST(DriverRun, InterpZeroLeavesAnExistingInterpolatedCubeAlone) {
  ScratchDir dir;
  const Job job{23, 2, 3, "NFUNC=4", "INTP=0", 23, ""};
  const Inputs in = make_inputs(job, 21);
  write_inputs(dir, in, false);
  const std::string old_interp = "an older i.bsq of another size\n";
  dir.write("i.bsq", old_interp);
  const ProcessResult r = run_in(dir);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(old_interp, dir.read("i.bsq"));
  expect_products(dir, reconstruct_in_process(in.control, in.data, in.mask), false, "INTP 0");
}

// Products are overwritten in place: a smaller second run leaves each file at
// its old length with the first run's bytes beyond its own records.
TEST(DriverRun, SmallerSecondRunKeepsTheOldTails) {
  ScratchDir dir;
  const Job first{23, 3, 5, "NFUNC=3", "INTP=1", 23, ""};
  const Inputs in1 = make_inputs(first, 31);
  write_inputs(dir, in1, false);
  ASSERT_EQ(0, run_in(dir).status);
  std::map<std::string, std::string> old;
  for (const Product& product : kProducts) old[product.name] = dir.read(product.name);

  const Job second{23, 3, 3, "NFUNC=3", "INTP=1", 23, ""};
  const Inputs in2 = make_inputs(second, 32);
  write_inputs(dir, in2, false);
  const ProcessResult r = run_in(dir);
  ASSERT_EQ(0, r.status) << r.err;
  const Expected e = reconstruct_in_process(in2.control, in2.data, in2.mask);
  for (const Product& product : kProducts) {
    const std::string& fresh = e.files.at(product.name);
    const std::string expected = fresh + old[product.name].substr(fresh.size());
    expect_same_bytes(expected, dir.read(product.name), std::string("second run ") + product.name,
                      product.record_length);
  }
}

// ---------------------------------------------------------------------------
// Byte order

TEST(DriverRun, ByteOrderOfEachImageFile) {
  struct Case {
    const char* variable;
    const char* value;
    bool big_endian_input;
    const char* swapped_product;  // the product written big-endian, if any
  };
  const Case cases[] = {
      {"FORT_CONVERT21", "BIG_ENDIAN", true, nullptr},     {"FORT_CONVERT21", "big_endian", true, nullptr},
      {"FORT_CONVERT21", "LITTLE_ENDIAN", false, nullptr}, {"FORT_CONVERT21", "Native", false, nullptr},
      {"FORT_CONVERT50", "BIG_ENDIAN", false, "p.bsq"},    {"FORT_CONVERT51", "BIG_ENDIAN", false, "i.bsq"},
      {"FORT_CONVERT52", "BIG_ENDIAN", false, "f.bsq"},    {"FORT_CONVERT54", "BIG_ENDIAN", false, "order.dat"},
      {"FORT_CONVERT55", "BIG_ENDIAN", false, "aic.dat"},  {"FORT_CONVERT61", "BIG_ENDIAN", false, "min.dat"},
      {"FORT_CONVERT62", "BIG_ENDIAN", false, "max.dat"},
  };
  const Job job{23, 2, 3, "NFUNC=4", "INTP=1", 23, ""};
  const Inputs in = make_inputs(job, 41);
  const Expected e = reconstruct_in_process(in.control, in.data, in.mask);
  for (const Case& c : cases) {
    const std::string what = std::string(c.variable) + "=" + c.value;
    ScratchDir dir;
    dir.write("cntl.dat", in.control);
    dir.write("data.bsq", testing::cube_file(in.data, c.big_endian_input));
    const ProcessResult r = run_with(dir, c.variable, c.value);
    EXPECT_EQ(0, r.status) << what << " " << r.err;
    for (const Product& product : kProducts) {
      const bool swapped = c.swapped_product != nullptr && std::string(c.swapped_product) == product.name;
      const std::string& plain = e.files.at(product.name);
      expect_same_bytes(swapped ? swap_records(plain, product.record_length) : plain, dir.read(product.name),
                        what + " " + product.name, product.record_length);
    }
  }
}

// ---------------------------------------------------------------------------
// Runs that end with a run-time error

TEST(DriverRun, RunTimeErrorsOfTheImageFiles) {
  enum Setup { kNoData, kShortMask, kDirectoryFit, kPlain, kMaskInput };
  struct Case {
    const char* name;
    Setup setup;
    std::vector<std::pair<std::string, std::string>> env;
    long file_size_limit;
    int number;
    const char* text;
    int unit;
    const char* file;
    bool in_line_1;  // the error comes after the first progress line, not at an open
    std::vector<std::string> present, absent;
  };
  const char* const kNonExistent = "attempt to access non-existent record";
  const char* const kInconsistent = "inconsistent OPEN/CLOSE parameters";
  const Case cases[] = {
      {"missing data.bsq", kNoData, {}, -1, 36, kNonExistent, 21, "data.bsq", true,
       {"data.bsq", "p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}, {"mask.bsq"}},
      {"mask.bsq one band short", kShortMask, {}, -1, 36, kNonExistent, 22, "mask.bsq", true,
       {"p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}, {}},
      {"directory named f.bsq", kDirectoryFit, {}, -1, 9, "permission to access file denied", 52, "f.bsq", false,
       {"p.bsq", "i.bsq"}, {"order.dat", "aic.dat", "min.dat", "max.dat"}},
      {"IBM reals for data.bsq", kPlain, {{"FORT_CONVERT21", "IBM"}}, -1, 46, kInconsistent, 21, "data.bsq", false,
       {}, {"p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}},
      {"VAXD for mask.bsq", kMaskInput, {{"FORT_CONVERT22", "VAXD"}}, -1, 46, kInconsistent, 22, "mask.bsq", false,
       {}, {"p.bsq"}},
      {"unknown conversion of max.dat", kPlain, {{"FORT_CONVERT62", "LITTLE"}}, -1, 46, kInconsistent, 62,
       "max.dat", false, {"p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat"}, {"max.dat"}},
      {"p.bsq beyond the file size limit", kPlain, {}, 100, 38, "error during write", 50, "p.bsq", true,
       {"p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}, {}},
  };
  const Job plain{23, 2, 3, "NFUNC=2", "INTP=1", 23, ""};
  const Job masked{23, 2, 3, "NFUNC=2", "INTP=1, MASK=1", 23, ""};
  for (const Case& c : cases) {
    ScratchDir dir;
    const bool mask = c.setup == kShortMask || c.setup == kMaskInput;
    const Job& job = mask ? masked : plain;
    const Inputs in = make_inputs(job, 51);
    write_inputs(dir, in, mask);
    if (c.setup == kNoData) {
      ASSERT_EQ(0, ::unlink(dir.file("data.bsq").c_str()));
      dir.write("p.bsq", "old bytes");  // an existing product stays as it was
    }
    if (c.setup == kShortMask) dir.write("mask.bsq", in.mask.substr(0, in.mask.size() / job.nb * (job.nb - 1)));
    if (c.setup == kDirectoryFit) {
      ASSERT_EQ(0, ::mkdir(dir.file("f.bsq").c_str(), 0755));
    }

    ProcessOptions options;
    options.env = c.env;
    options.file_size_limit = c.file_size_limit;
    const ProcessResult r = run_in(dir, options);
    // An open fails before the line loop is announced; a transfer fails in line 1.
    const std::string head = console_head();
    const std::string out = c.in_line_1 ? head + progress(1, job.nl)
                                        : head.substr(0, head.find(" MAKING FUNCTION MATRIX LOOP"));
    EXPECT_EQ(out, r.out) << c.name;
    EXPECT_EQ(severe_line(c.number, c.text, c.unit, dir, c.file), r.err) << c.name;
    EXPECT_EQ(c.number, r.status) << c.name;
    for (const auto& name : c.present) EXPECT_TRUE(dir.exists(name)) << c.name << " " << name;
    for (const auto& name : c.absent) EXPECT_FALSE(dir.exists(name)) << c.name << " " << name;
    if (c.setup == kNoData) {
      EXPECT_EQ("", dir.read("data.bsq"));
      EXPECT_EQ("old bytes", dir.read("p.bsq"));
      for (const char* name : {"i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"})
        EXPECT_EQ("", dir.read(name)) << name;
    }
  }
}

// A product that may only be read ends the run at its first write; the
// products written before it in a line (p.bsq, i.bsq, f.bsq, order.dat,
// aic.dat, min.dat, max.dat, in this order) hold that line.
TEST(DriverRun, ReadOnlyProductEndsTheRunAtItsFirstWrite) {
  const char* const kWriteOrder[] = {"p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"};
  const Job job{23, 2, 3, "NFUNC=2", "INTP=1", 23, ""};
  const Inputs in = make_inputs(job, 61);
  const Expected e = reconstruct_in_process(in.control, in.data, in.mask, 1);
  for (const Product& protected_product : kProducts) {
    const std::string name = protected_product.name;
    if (name == "order.dat" || name == "min.dat" || name == "max.dat") continue;  // maps carry on
    ScratchDir dir;
    write_inputs(dir, in, false);
    dir.write(name, "kept");
    WriteProtection protection(dir.file(name));
    if (!protection.ok()) GTEST_SKIP() << kNoProtection;
    const ProcessResult r = run_in(dir);
    EXPECT_EQ(console_head() + progress(1, 2), r.out) << name;
    EXPECT_EQ(severe_line(47, "write to READONLY file", protected_product.unit, dir, name), r.err);
    EXPECT_EQ(47, r.status) << name;
    EXPECT_EQ("kept", dir.read(name));
    bool before = true;
    for (const char* other : kWriteOrder) {
      if (other == name) {
        before = false;
        continue;
      }
      const Product& product = *std::find_if(std::begin(kProducts), std::end(kProducts),
                                             [&](const Product& p) { return p.name == std::string(other); });
      const std::string actual = dir.read(other);
      if (before) {
        EXPECT_EQ(line_bytes(e.files.at(other), e, product, 1), line_bytes(actual, e, product, 1))
            << name << " protected: " << other;
      } else {
        EXPECT_EQ("", actual) << name << " protected: " << other;
      }
    }
  }
}

// A map that cannot be written is reported line by line and the run carries
// on; the end of the run names every such map and fails.
TEST(DriverRun, UnwritableMapsAreReportedAndTheRunGoesOn) {
  struct Case {
    std::vector<std::string> maps;  // in the order they are written
    const char* err;
  };
  const Case cases[] = {
      {{"min.dat"}, "tsrecon: min.dat has unwritten records (failed writes are listed on the console)\n"},
      {{"order.dat", "max.dat"},
       "tsrecon: order.dat, max.dat have unwritten records (failed writes are listed on the console)\n"},
  };
  const Job job{23, 3, 2, "NFUNC=3", "INTP=1", 23, ""};
  const Inputs in = make_inputs(job, 71);
  const Expected e = reconstruct_in_process(in.control, in.data, in.mask);
  for (const Case& c : cases) {
    ScratchDir dir;
    write_inputs(dir, in, false);
    std::vector<std::unique_ptr<WriteProtection>> protections;
    for (const auto& name : c.maps) {
      dir.write(name, "");
      protections.push_back(std::make_unique<WriteProtection>(dir.file(name)));
      if (!protections.back()->ok()) GTEST_SKIP() << kNoProtection;
    }
    const ProcessResult r = run_in(dir);

    // Each failed line shows the line, the first sample not written and its value.
    std::string out = console_head();
    for (int32_t l = 1; l <= job.nl; ++l) {
      const size_t first_sample = static_cast<size_t>(l - 1) * job.ns;
      out += progress(l, job.nl);
      for (const auto& name : c.maps) {
        const auto& values = name == "order.dat" ? e.order : name == "min.dat" ? e.min : e.max;
        out += int4(l) + int4(1) + int2(values[first_sample]) + "\n";
      }
    }
    out += " Program Deadified\n";
    EXPECT_EQ(out, r.out) << c.err;
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(1, r.status) << c.err;
    for (const Product& product : kProducts) {
      const bool failed = std::find(c.maps.begin(), c.maps.end(), product.name) != c.maps.end();
      expect_same_bytes(failed ? std::string() : e.files.at(product.name), dir.read(product.name),
                        std::string(c.err) + product.name, product.record_length);
    }
  }
}

// A negative value in data.bsq ends the run inside the reader: the console
// line with NL and NS, one line naming the place, status 1, and the lines
// written before stay.
TEST(DriverRun, NegativeDataValueEndsTheRun) {
  struct Case {
    int32_t band, line, sample;
    int16_t value;
  };
  const Case cases[] = {{2, 2, 3, -1}, {23, 1, 5, -32768}, {1, 3, 1, -12345}};
  const Job job{23, 3, 5, "NFUNC=3", "INTP=1", 23, ""};
  const Inputs in = make_inputs(job, 81);
  const Expected e = reconstruct_in_process(in.control, in.data, in.mask, 2);
  for (const Case& c : cases) {
    const std::string what = "line " + std::to_string(c.line) + " band " + std::to_string(c.band);
    ScratchDir dir;
    std::vector<int16_t> data = in.data;
    data[(static_cast<size_t>(c.band - 1) * job.nl + (c.line - 1)) * job.ns + (c.sample - 1)] = c.value;
    dir.write("cntl.dat", in.control);
    dir.write("data.bsq", testing::cube_file(data));
    const ProcessResult r = run_in(dir);
    EXPECT_EQ(console_head() + progress_up_to(c.line, job.nl) + int4(job.nl) + int4(job.ns) + "\n", r.out) << what;
    EXPECT_EQ("tsrecon: data.bsq band " + std::to_string(c.band) + " line " + std::to_string(c.line) + " sample " +
                  std::to_string(c.sample) + " holds " + std::to_string(c.value) + "; values must be 0..32767\n",
              r.err)
        << what;
    EXPECT_EQ(1, r.status) << what;
    for (const Product& product : kProducts) {
      const std::string actual = dir.read(product.name);
      for (int32_t l = 1; l < c.line; ++l) {
        EXPECT_EQ(line_bytes(e.files.at(product.name), e, product, l), line_bytes(actual, e, product, l))
            << what << " " << product.name << " line " << l;
      }
      // Nothing of the stopped line or later was written.
      const std::string later = line_bytes(actual, e, product, c.line);
      EXPECT_EQ(std::string::npos, later.find_first_not_of('\0')) << what << " " << product.name;
    }
  }
}

// Offsets are 64-bit: a cube of 400 million lines of one sample puts band 8
// of data.bsq, f.bsq and i.bsq beyond record 2^31 and band 6 of p.bsq near
// 8 GB. The files are sparse; a negative value in line 2 ends the run after
// line 1.
TEST(DriverRun, FilesBeyondTwoGiB) {
  ScratchDir dir;
  const int32_t nl = 400000000;
  const int64_t plane = nl;  // NS = 1
  const Job job{8, nl, 1, "NFUNC=2", "INTP=1", 8, ""};
  dir.write("cntl.dat", job.text());
  const int16_t line1[8] = {900, 1100, 1300, 1400, 1350, 1200, 1000, 950};
  {
    const int fd = ::open(dir.file("data.bsq").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    if (::ftruncate(fd, 8 * plane * 2) != 0) {
      ::close(fd);
      GTEST_SKIP() << "the temporary file system holds no 6.4 GB sparse file";
    }
    for (int b = 0; b < 8; ++b) {
      const std::string bytes = testing::cube_file({line1[b]});
      ASSERT_EQ(2, ::pwrite(fd, bytes.data(), 2, b * plane * 2));
    }
    const std::string negative = testing::cube_file({-1});
    ASSERT_EQ(2, ::pwrite(fd, negative.data(), 2, 2));  // band 1, line 2
    ::close(fd);
  }
  const ProcessResult r = run_in(dir);
  EXPECT_EQ(console_head() + progress(1, nl) + progress(2, nl) + int4(nl) + int4(1) + "\n", r.out);
  EXPECT_EQ("tsrecon: data.bsq band 1 line 2 sample 1 holds -1; values must be 0..32767\n", r.err);
  EXPECT_EQ(1, r.status);

  const RunParameters p = parameters_of(job.text());
  InProcessPixels pixels(p);
  for (int b = 0; b < 8; ++b) {
    pixels.input->series[b] = line1[b];
    pixels.input->weights[b] = 1;
  }
  pixels.reconstruct();
  const PixelResult& pixel = *pixels.result;
  ASSERT_NE(0.0, pixel.fitted[7]) << "the pixel must have a model for the check to mean anything";
  auto bytes_at = [&](const char* name, int64_t offset, size_t size) {
    std::string out(size, '\0');
    const int fd = ::open(dir.file(name).c_str(), O_RDONLY);
    const ssize_t n = fd >= 0 ? ::pread(fd, out.data(), size, offset) : -1;
    if (fd >= 0) ::close(fd);
    return n == static_cast<ssize_t>(size) ? out : std::string("unreadable");
  };
  auto file_size = [&](const char* name) {
    struct stat st {};
    return ::stat(dir.file(name).c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  };
  std::string expected(4, '\0');
  for (int32_t k = 1; k <= p.NP; ++k) {
    put32(expected, 0, testing::bits(real4_value(pixel.params[k - 1])));
    EXPECT_EQ(expected, bytes_at("p.bsq", (k - 1) * plane * 4, 4)) << "p.bsq band " << k;
  }
  EXPECT_EQ((5 * plane + 1) * 4, file_size("p.bsq"));
  for (int32_t b = 1; b <= 8; ++b) {
    expected.assign(2, '\0');
    put16(expected, 0, static_cast<uint16_t>(scaled_series_value(pixel.fitted[b - 1])));
    EXPECT_EQ(expected, bytes_at("f.bsq", (b - 1) * plane * 2, 2)) << "f.bsq band " << b;
    put16(expected, 0, static_cast<uint16_t>(scaled_series_value(pixel.preliminary[b - 1])));
    EXPECT_EQ(expected, bytes_at("i.bsq", (b - 1) * plane * 2, 2)) << "i.bsq band " << b;
  }
  EXPECT_EQ((7 * plane + 1) * 2, file_size("f.bsq"));
  EXPECT_EQ((7 * plane + 1) * 2, file_size("i.bsq"));
  EXPECT_EQ(std::string(1, static_cast<char>(pixel.order & 0xFF)), dir.read("order.dat"));
  expected.assign(4, '\0');
  put32(expected, 0, testing::bits(aic_value(pixel.criterion)));
  EXPECT_EQ(expected, dir.read("aic.dat"));
  expected.assign(2, '\0');
  put16(expected, 0, static_cast<uint16_t>(pixel.minimum));
  EXPECT_EQ(expected, dir.read("min.dat"));
  put16(expected, 0, static_cast<uint16_t>(pixel.maximum));
  EXPECT_EQ(expected, dir.read("max.dat"));
}

// ---------------------------------------------------------------------------
// Interrupts

TEST(DriverRun, InterruptKeepsTheCompletedLines) {
  struct Case {
    int signal;
    const char* event;
  };
  const Case cases[] = {{SIGINT, "control-C"}, {SIGTERM, "unknown"}, {SIGQUIT, "control-BREAK"}, {SIGHUP, "menu-CLOSE"}};
  // Lines long enough that the signal arrives while line 2 is in progress: the
  // literal engine on one thread takes a few milliseconds per pixel here.
  const Job job{46, 8, 60, "NFUNC=6", "INTP=1", 46, ""};
  const Inputs in = make_inputs(job, 91);
  const Expected e = reconstruct_in_process(in.control, in.data, in.mask, 1);
  for (const Case& c : cases) {
    ScratchDir dir;
    write_inputs(dir, in, false);
    ProcessOptions options;
    options.interrupt_signal = c.signal;
    options.interrupt_when_output_contains = progress(2, job.nl);
    options.env = {{"TSRECON_ENGINE", "literal"}, {"TSRECON_THREADS", "1"}};
    const ProcessResult r = run_in(dir, options);
    const std::string head = console_head() + progress(1, job.nl) + progress(2, job.nl);
    EXPECT_EQ(head, r.out.substr(0, head.size())) << c.event;
    EXPECT_EQ(std::string::npos, r.out.find("Program Deadified")) << c.event;
    EXPECT_EQ(std::string("forrtl: error (200): program aborting due to ") + c.event + " event\n", r.err);
    EXPECT_EQ(128 + c.signal, r.status) << c.event;
    for (const Product& product : kProducts) {
      EXPECT_EQ(line_bytes(e.files.at(product.name), e, product, 1), line_bytes(dir.read(product.name), e, product, 1))
          << c.event << " " << product.name;
    }
  }
}

// Lines without samples read and write nothing; a line wider than the
// machine can buffer is refused before any image file is touched.
TEST(DriverRun, SampleCountsAtTheEdges) {
  {
    ScratchDir dir;
    dir.write("cntl.dat", Job{23, 2, 0, "", "INTP=1", 23, ""}.text());
    const ProcessResult r = run_in(dir);  // no data.bsq: it is never read
    EXPECT_EQ(console_head() + all_progress(2) + " Program Deadified\n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0, r.status);
    for (const char* name : {"data.bsq", "p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}) {
      EXPECT_TRUE(dir.exists(name)) << name;
      EXPECT_EQ("", dir.read(name)) << name;
    }
  }
  {
    ScratchDir dir;
    dir.write("cntl.dat", Job{200, 1, 2147483647, "", "INTP=1", 23, ""}.text());
    const ProcessResult r = run_in(dir);
    EXPECT_EQ(" READ CNTL.DAT\n CLOSE CNTL.DAT\n", r.out);
    EXPECT_EQ(0u, r.err.rfind("tsrecon: NS = 2147483647 and NB = 200 in cntl.dat need ", 0)) << r.err;
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;
    EXPECT_EQ(1, r.status);
    EXPECT_FALSE(dir.exists("data.bsq"));
    EXPECT_FALSE(dir.exists("p.bsq"));
  }
}

// FORT6 takes the console lines, FORT0 the error lines (appended).
TEST(DriverRun, ConsoleAndErrorLinesToFiles) {
  ScratchDir dir;
  dir.write("cntl.dat", Job{23, 2, 3, "", "", 23, ""}.text());
  dir.write("errors.txt", "earlier line\n");
  ProcessOptions options;
  options.env = {{"FORT6", dir.file("console.txt")}, {"FORT0", dir.file("errors.txt")}};
  const ProcessResult r = run_in(dir, options);  // no data.bsq: error 36 in line 1
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(36, r.status);
  EXPECT_EQ(console_head() + progress(1, 2), dir.read("console.txt"));
  EXPECT_EQ("earlier line\n" + severe_line(36, "attempt to access non-existent record", 21, dir, "data.bsq"),
            dir.read("errors.txt"));
}

// ---------------------------------------------------------------------------
// Command line

TEST(DriverRun, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out_starts_with;  // nullptr: nothing on standard output
  };
  const Case cases[] = {
      {{"--help"}, 0, "Usage: tsrecon"},
      {{"-h"}, 0, "Usage: tsrecon"},
      {{"--version"}, 0, "tsrecon "},
      {{"--verbose"}, 2, nullptr},
      {{"cntl.dat"}, 2, nullptr},
      {{"--help", "--version"}, 2, nullptr},
      {{""}, 2, nullptr},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    std::vector<std::string> argv = {testing::tsrecon_path()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessOptions options;
    options.cwd = dir.path();
    const ProcessResult r = testing::run_process(argv, options);
    const std::string what = c.args[0];
    EXPECT_EQ(c.status, r.status) << what;
    if (c.out_starts_with != nullptr) {
      EXPECT_EQ(0u, r.out.rfind(c.out_starts_with, 0)) << what << ": " << r.out;
      EXPECT_EQ("", r.err) << what;
    } else {
      EXPECT_EQ("", r.out) << what;
      // One line telling what is wrong.
      ASSERT_FALSE(r.err.empty()) << what;
      EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << what;
    }
    // No run was started: nothing was created in the working directory.
    EXPECT_FALSE(dir.exists("cntl.dat")) << what;
  }
}

}  // namespace
}  // namespace tsr
