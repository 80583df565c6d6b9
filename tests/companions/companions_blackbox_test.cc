// Black-box tests of tsrecon-plot and tsrecon-hdr: real runs of tsrecon on
// generated cubes, then the companions in the same working directory, with
// GDAL's command-line tools reading the result where they are installed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/bits.h"
#include "support/process.h"
#include "tools/common/envi_header.h"

namespace tsr::tools {
namespace {

using tsr::testing::ProcessOptions;
using tsr::testing::ProcessResult;
using tsr::testing::run_process;
using tsr::testing::ScratchDir;
using tsr::testing::tool_path;
using tsr::testing::tsrecon_path;

ProcessResult run_in(const ScratchDir& dir, std::vector<std::string> argv,
                     std::vector<std::pair<std::string, std::string>> env = {}) {
  ProcessOptions o;
  o.cwd = dir.path();
  o.env = std::move(env);
  return run_process(argv, o);
}

// Generates a cube with tsrecon-gen and runs tsrecon on it.
void make_run(const ScratchDir& dir, const std::vector<std::string>& gen_args) {
  std::vector<std::string> argv = {tool_path("tsrecon-gen"), "--dir", dir.path()};
  argv.insert(argv.end(), gen_args.begin(), gen_args.end());
  const ProcessResult gen = run_in(dir, argv);
  ASSERT_EQ(gen.status, 0) << gen.err;
  const ProcessResult run = run_in(dir, {tsrecon_path()});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
}

// Path of a program on PATH, or "" when it is not installed.
std::string on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "");
  for (std::string d; std::getline(ss, d, ':');) {
    const std::filesystem::path p = std::filesystem::path(d) / name;
    if (::access(p.c_str(), X_OK) == 0) return p.string();
  }
  return {};
}

int16_t i16(const std::string& bytes, int64_t index) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + 2 * index;
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

uint32_t u32(const std::string& bytes, int64_t index) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + 4 * index;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}


// The numbers tsrecon-plot --values prints, by their leading word.
struct Values {
  std::vector<std::vector<std::string>> bands, params;
  std::map<std::string, std::vector<std::string>> single;  // order, criterion, min, max
};

Values parse_values(const std::string& out) {
  Values v;
  std::stringstream ss(out);
  for (std::string line; std::getline(ss, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::stringstream ls(line);
    std::vector<std::string> words;
    for (std::string w; ls >> w;) words.push_back(w);
    if (words[0] == "band") v.bands.push_back(words);
    else if (words[0] == "param") v.params.push_back(words);
    else v.single[words[0]] = words;
  }
  return v;
}

struct Dims {
  int nb, nl, ns, np;
};

// Compares what tsrecon-plot computes for every pixel with the products of
// the run, value by value and bit by bit. Returns the number of pixels whose
// fit gave up.
int compare_all_pixels(const ScratchDir& dir, const Dims& d, bool intp) {
  const std::string f = dir.read("f.bsq"), i = intp ? dir.read("i.bsq") : "", p = dir.read("p.bsq");
  const std::string order = dir.read("order.dat"), aic = dir.read("aic.dat");
  const std::string mn = dir.read("min.dat"), mx = dir.read("max.dat");
  const int64_t plane = int64_t{d.nl} * d.ns;
  int failed = 0;
  for (int l = 1; l <= d.nl; ++l) {
    for (int s = 1; s <= d.ns; ++s) {
      SCOPED_TRACE("line " + std::to_string(l) + " sample " + std::to_string(s));
      const ProcessResult r =
          run_in(dir, {tool_path("tsrecon-plot"), "--values", std::to_string(l), std::to_string(s)});
      EXPECT_EQ(r.status, 0) << r.err;
      const Values v = parse_values(r.out);
      const int64_t at = int64_t{l - 1} * d.ns + (s - 1);
      EXPECT_EQ(v.bands.size(), static_cast<size_t>(d.nb));
      for (size_t b = 0; b < v.bands.size(); ++b) {
        const std::vector<std::string>& w = v.bands[b];
        if (w.size() != 11u) {
          ADD_FAILURE() << "band line with " << w.size() << " words";
          continue;
        }
        // The fitted double, converted as the writer converts it, is what f.bsq holds.
        EXPECT_EQ(std::stoi(w[9]), i16(f, static_cast<int64_t>(b) * plane + at)) << "band " << b + 1;
        if (intp) {
          EXPECT_EQ(std::stoi(w[8]), i16(i, static_cast<int64_t>(b) * plane + at)) << "band " << b + 1;
        }
      }
      EXPECT_EQ(v.params.size(), static_cast<size_t>(d.np));
      for (size_t k = 0; k < v.params.size(); ++k) {
        const double value = std::strtod(v.params[k][3].c_str(), nullptr);
        EXPECT_EQ(::tsr::testing::bits(static_cast<float>(value)), u32(p, static_cast<int64_t>(k) * plane + at))
            << "parameter " << k + 1;
      }
      if (v.single.count("order") != 1u || v.single.count("criterion") != 1u || v.single.count("min") != 1u ||
          v.single.count("max") != 1u) {
        ADD_FAILURE() << "incomplete output:\n" << r.out;
        continue;
      }
      const int ord = std::stoi(v.single.at("order")[1]);
      EXPECT_EQ(std::stoi(v.single.at("order")[2]), static_cast<unsigned char>(order[static_cast<size_t>(at)]));
      EXPECT_EQ(static_cast<int8_t>(order[static_cast<size_t>(at)]), ord);
      const float aic_written = std::strtof(v.single.at("criterion")[2].c_str(), nullptr);
      EXPECT_EQ(::tsr::testing::bits(aic_written), u32(aic, at));
      EXPECT_EQ(std::stoi(v.single.at("min")[1]), i16(mn, at));
      EXPECT_EQ(std::stoi(v.single.at("max")[1]), i16(mx, at));
      if (ord <= 1) ++failed;
    }
  }
  return failed;
}

TEST(PlotBlackBox, EveryPixelAgreesWithTheProducts) {
  struct Case {
    const char* name;
    std::vector<std::string> gen;
    Dims dims;
    bool intp;
    bool expect_failures;
  };
  const Case cases[] = {
      {"defaults with long no-data runs", {"--nb", "46", "--nl", "6", "--ns", "10", "--seed", "3", "--nodata", "0.6"},
       {46, 6, 10, 14}, true, true},
      {"mask and excluded bands",
       {"--nb", "46", "--nl", "5", "--ns", "8", "--seed", "5", "--mask", "1", "--exclude", "5,17"},
       {46, 5, 8, 14}, true, false},
      {"short series, three harmonics, no i.bsq",
       {"--nb", "23", "--nl", "4", "--ns", "9", "--seed", "9", "--npoint", "23", "--nfunc", "3", "--intp", "0",
        "--exclude", "2", "--cloud", "0.3"},
       {23, 4, 9, 8}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run(dir, c.gen);
    const int failed = compare_all_pixels(dir, c.dims, c.intp);
    if (c.expect_failures) {
      EXPECT_GT(failed, 0);
      EXPECT_LT(failed, c.dims.nl * c.dims.ns);
    }
  }
}

TEST(PlotBlackBox, ReadsBigEndianCubesAsTsreconDoes) {
  ScratchDir dir;
  make_run(dir, {"--nb", "46", "--nl", "3", "--ns", "4", "--seed", "11"});
  const ProcessResult little = run_in(dir, {tool_path("tsrecon-plot"), "--values", "2", "3"});
  ASSERT_EQ(little.status, 0) << little.err;
  std::string data = dir.read("data.bsq");
  for (size_t k = 0; k + 1 < data.size(); k += 2) std::swap(data[k], data[k + 1]);
  dir.write("data.bsq", data);
  const ProcessResult big =
      run_in(dir, {tool_path("tsrecon-plot"), "--values", "2", "3"}, {{"FORT_CONVERT21", "BIG_ENDIAN"}});
  ASSERT_EQ(big.status, 0) << big.err;
  EXPECT_EQ(big.out, little.out);
  const ProcessResult rejected =
      run_in(dir, {tool_path("tsrecon-plot"), "--values", "2", "3"}, {{"FORT_CONVERT21", "VAXD"}});
  EXPECT_EQ(rejected.status, 1);
  EXPECT_NE(rejected.err.find("FORT_CONVERT21"), std::string::npos);
}

TEST(PlotBlackBox, WritesTheSvgAndRefusesWhatItCannotDraw) {
  ScratchDir dir;
  make_run(dir, {"--nb", "46", "--nl", "3", "--ns", "4", "--seed", "2"});
  const std::string plot = tool_path("tsrecon-plot");

  ProcessResult r = run_in(dir, {plot, "3", "4"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "wrote pixel_3_4.svg\n");
  const std::string svg = dir.read("pixel_3_4.svg");
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  EXPECT_NE(svg.find("Pixel line 3, sample 4"), std::string::npos);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");

  r = run_in(dir, {plot, "-o", "one.svg", "--values", "1", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(dir.exists("one.svg"));
  EXPECT_NE(r.out.find("band 46 "), std::string::npos);

  struct Bad {
    std::vector<std::string> args;
    int status;
    const char* message;  // part of standard error
  };
  const Bad bad[] = {
      {{}, 2, "tsrecon-plot: give LINE and SAMPLE, two whole numbers from 1 (0 arguments given)"},
      {{"1"}, 2, "give LINE and SAMPLE"},
      {{"0", "1"}, 2, "tsrecon-plot: LINE must be a whole number from 1, not '0'"},
      {{"1", "x"}, 2, "SAMPLE must be a whole number from 1, not 'x'"},
      {{"1", "2", "3"}, 2, "(3 arguments given)"},
      {{"-o"}, 2, "-o needs a FILE"},
      {{"--factor", "0", "1", "1"}, 2, "--factor must be a positive number (raw per unit), not '0'"},
      {{"4", "1"}, 1, "outside the cube of 3 lines and 4 samples"},
      {{"1", "5"}, 1, "outside the cube"},
  };
  for (const Bad& b : bad) {
    std::vector<std::string> argv = {plot};
    argv.insert(argv.end(), b.args.begin(), b.args.end());
    r = run_in(dir, argv);
    EXPECT_EQ(r.status, b.status) << argv.size();
    EXPECT_NE(r.err.find(b.message), std::string::npos) << r.err;
    // What is wrong comes first, then how the command goes.
    if (b.status == 2) {
      EXPECT_GT(r.err.find("Usage"), r.err.find(b.message)) << r.err;
    }
  }

  // A negative value stops tsrecon; the plot refuses the pixel with the place.
  std::string data = dir.read("data.bsq");
  const int64_t plane = 3 * 4, at = int64_t{1} * 4 + 2;  // line 2, sample 3
  data[static_cast<size_t>(2 * (4 * plane + at))] = static_cast<char>(0xFB);  // band 5: -5
  data[static_cast<size_t>(2 * (4 * plane + at)) + 1] = static_cast<char>(0xFF);
  dir.write("data.bsq", data);
  r = run_in(dir, {plot, "2", "3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("data.bsq band 5 line 2 sample 3 holds -5"), std::string::npos) << r.err;

  // A cube shorter than cntl.dat says.
  dir.write("data.bsq", data.substr(0, data.size() / 2));
  r = run_in(dir, {plot, "1", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("data.bsq ends before band 24"), std::string::npos) << r.err;

  dir.write("cntl.dat", "2\n3 4\n&DATA /\n&CONTRL /\n&NPT /\n");
  r = run_in(dir, {plot, "1", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("NB = 2"), std::string::npos) << r.err;
  dir.write("cntl.dat", "46\n");
  r = run_in(dir, {plot, "1", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("severe (24)"), std::string::npos) << r.err;
}

TEST(GenBlackBox, HelpAndAMissingDirectory) {
  ScratchDir dir;
  ProcessResult r = run_in(dir, {tool_path("tsrecon-gen"), "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: tsrecon-gen", 0), 0u) << r.out;
  EXPECT_EQ(r.err, "");
  r = run_in(dir, {tool_path("tsrecon-gen"), "--dir", "new/job", "--nb", "5", "--nl", "2", "--ns", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.read("new/job/data.bsq").size(), 5u * 2 * 3 * 2);
  EXPECT_EQ(dir.read("new/job/cntl.dat").rfind("5\n2 3\n", 0), 0u);
  r = run_in(dir, {tool_path("tsrecon-gen"), "--nb"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage: tsrecon-gen"), std::string::npos);
}

// Names, sizes and modification times of the files of a directory.
std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>> listing(const ScratchDir& dir) {
  std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>> out;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    out[e.path().filename().string()] = {e.is_regular_file() ? e.file_size() : 0, e.last_write_time()};
  return out;
}

TEST(CheckBlackBox, ReadyOrNotChangingNothing) {
  ScratchDir dir;
  ASSERT_EQ(run_in(dir, {tool_path("tsrecon-gen"), "--dir", dir.path(), "--nb", "23", "--nl", "5", "--ns", "6",
                         "--npoint", "23", "--nfunc", "5", "--nodata", "0"}).status, 0);
  const std::string check = tool_path("tsrecon-check");
  auto before = listing(dir);
  ProcessResult r = run_in(dir, {check});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("job in " + std::filesystem::canonical(dir.path()).string() + "\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\n  run time: "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1, 5), "ready") << r.out;
  EXPECT_EQ(listing(dir), before);

  // NL and NS swapped, as a header of the cube shows; checked from elsewhere.
  dir.write("data.hdr", "ENVI\nsamples = 5\nlines = 6\nbands = 23\ndata type = 2\ninterleave = bsq\n");
  before = listing(dir);
  ProcessOptions elsewhere;
  elsewhere.cwd = "/";
  r = run_process({check, dir.path()}, elsewhere);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("error: data.hdr describes 6 lines of 5 samples, cntl.dat 5 lines of 6 samples: NL and NS "
                       "look swapped"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nnot ready: 1 error, "), std::string::npos) << r.out;
  EXPECT_EQ(listing(dir), before);

  r = run_in(dir, {check, "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: tsrecon-check [DIR]", 0), 0u);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"a", "b"}, {"--bogus"}, {"no-such-dir"}}) {
    std::vector<std::string> argv = {check};
    argv.insert(argv.end(), args.begin(), args.end());
    r = run_in(dir, argv);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_NE(r.err.find("tsrecon-check: "), std::string::npos) << r.err;
  }
}

std::map<std::string, std::string> header_entries(const ScratchDir& dir, const std::string& name) {
  std::map<std::string, std::string> e;
  EXPECT_TRUE(parse_envi_header(dir.read(name), e)) << name;
  return e;
}

constexpr const char* kGeoHeader =
    "ENVI\n"
    "description = {\n"
    "data.bsq}\n"
    "samples = 4\n"
    "lines   = 3\n"
    "bands   = 46\n"
    "header offset = 0\n"
    "file type = ENVI Standard\n"
    "data type = 2\n"
    "interleave = bsq\n"
    "byte order = 0\n"
    "map info = {UTM, 1, 1, 500000, 4000000, 30, 30, 33, North,WGS-84}\n"
    "coordinate system string = {PROJCS[\"WGS_1984_UTM_Zone_33N\",GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\","
    "SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]],"
    "PROJECTION[\"Transverse_Mercator\"],PARAMETER[\"False_Easting\",500000.0],PARAMETER[\"False_Northing\",0.0],"
    "PARAMETER[\"Central_Meridian\",15.0],PARAMETER[\"Scale_Factor\",0.9996],PARAMETER[\"Latitude_Of_Origin\",0.0],"
    "UNIT[\"Meter\",1.0]]}\n"
    "data ignore value = 32767\n";

TEST(HdrBlackBox, HeadersForEveryProductPresent) {
  struct Case {
    const char* name;
    std::vector<std::string> gen;
    std::vector<std::string> expect_written;
    std::vector<std::string> expect_absent;
    const char* parameter_bands;
  };
  const Case cases[] = {
      {"all products", {"--intp", "1"},
       {"data.hdr", "p.hdr", "i.hdr", "f.hdr", "order.hdr", "order.vrt", "aic.hdr", "min.hdr", "max.hdr"},
       {"mask.hdr"}, "14"},
      {"no i.bsq, with a mask", {"--intp", "0", "--mask", "1", "--nfunc", "2"},
       {"data.hdr", "mask.hdr", "p.hdr", "f.hdr", "order.hdr"},
       {"i.hdr"}, "6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    std::vector<std::string> gen = {"--nb", "46", "--nl", "3", "--ns", "4", "--seed", "4"};
    gen.insert(gen.end(), c.gen.begin(), c.gen.end());
    make_run(dir, gen);
    const ProcessResult r = run_in(dir, {tool_path("tsrecon-hdr")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string& name : c.expect_written) {
      EXPECT_TRUE(dir.exists(name)) << name;
      EXPECT_NE(r.out.find("wrote " + name + " ("), std::string::npos) << name;
    }
    for (const std::string& name : c.expect_absent) EXPECT_FALSE(dir.exists(name)) << name;
    auto p = header_entries(dir, "p.hdr");
    EXPECT_EQ(p["bands"], c.parameter_bands);
    EXPECT_EQ(p["data type"], "4");
    EXPECT_EQ(p["samples"], "4");
    EXPECT_EQ(p["lines"], "3");
    EXPECT_EQ(p["band names"].substr(0, 22), "{\nconstant,\ntrend,\namp");
    auto order = header_entries(dir, "order.hdr");
    EXPECT_EQ(order["data type"], "1");
    EXPECT_NE(order["description"].find("255 means -1"), std::string::npos);
    auto f = header_entries(dir, "f.hdr");
    EXPECT_EQ(f["bands"], "46");
    EXPECT_EQ(f["data type"], "2");
    EXPECT_EQ(header_entries(dir, "aic.hdr")["data type"], "4");
    EXPECT_EQ(header_entries(dir, "data.hdr")["data type"], "2");
    EXPECT_NE(r.out.find("no georeferencing"), std::string::npos);
  }
}

TEST(HdrBlackBox, InputHeadersAreKeptAndTheirGeoreferencingCarried) {
  for (const char* header_name : {"data.hdr", "data.bsq.hdr"}) {
    SCOPED_TRACE(header_name);
    ScratchDir dir;
    make_run(dir, {"--nb", "46", "--nl", "3", "--ns", "4", "--seed", "6", "--mask", "1"});
    dir.write(header_name, kGeoHeader);
    dir.write("mask.hdr", "ENVI\nsamples = 4\nlines = 3\nbands = 46\ndata type = 1\ninterleave = bsq\n");
    const ProcessResult r = run_in(dir, {tool_path("tsrecon-hdr")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir.read(header_name), kGeoHeader);
    EXPECT_EQ(dir.read("mask.hdr"), "ENVI\nsamples = 4\nlines = 3\nbands = 46\ndata type = 1\ninterleave = bsq\n");
    EXPECT_NE(r.out.find(std::string("kept ") + header_name), std::string::npos);
    for (const char* product : {"p.hdr", "f.hdr", "order.hdr", "aic.hdr", "min.hdr", "max.hdr"}) {
      auto e = header_entries(dir, product);
      // 32767 is no-data in the input only: in a product it is a value.
      EXPECT_EQ(e.count("data ignore value"), 0u) << product;
      EXPECT_EQ(e["map info"], "{UTM, 1, 1, 500000, 4000000, 30, 30, 33, North,WGS-84}") << product;
      EXPECT_EQ(e["coordinate system string"].rfind("{PROJCS[\"WGS_1984_UTM_Zone_33N\"", 0), 0u) << product;
    }
    EXPECT_NE(dir.read("order.vrt").find("<GeoTransform>500000, 30, 0, 4000000, 0, -30</GeoTransform>"),
              std::string::npos);
  }
}

TEST(HdrBlackBox, WarnsAndRefuses) {
  ScratchDir dir;
  make_run(dir, {"--nb", "46", "--nl", "3", "--ns", "4", "--seed", "6"});
  std::string wrong = kGeoHeader;
  wrong.replace(wrong.find("samples = 4"), 11, "samples = 5");
  dir.write("data.hdr", wrong);
  // A product cut short, as an interrupted run leaves a map.
  dir.write("min.dat", dir.read("min.dat").substr(0, 10));
  // p.bsq of an earlier run with more harmonics: its last planes stay.
  dir.write("p.bsq", dir.read("p.bsq") + std::string(4 * 12, '\0'));
  ProcessResult r = run_in(dir, {tool_path("tsrecon-hdr")});
  // The header and cntl.dat describe different cubes: the run's headers are
  // written all the same, but the exit status says something is wrong.
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("tsrecon-hdr: data.hdr: samples is 5 but NS in cntl.dat is 4: the header and cntl.dat "
                       "describe different cubes"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("warning: min.dat holds 10 bytes, less than the 24"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("warning: p.bsq holds 720 bytes, more than the 672 that cntl.dat gives it: bytes of an "
                       "earlier run with other sizes stay beyond the end"), std::string::npos) << r.err;
  EXPECT_TRUE(dir.exists("f.hdr"));

  r = run_in(dir, {tool_path("tsrecon-hdr"), "extra"});
  EXPECT_EQ(r.status, 2);
  dir.write("cntl.dat", "46\n3 4\n&DATA NFUNC=7 /\n&CONTRL /\n&NPT /\n");
  r = run_in(dir, {tool_path("tsrecon-hdr")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("NFUNC = 7"), std::string::npos) << r.err;
  std::filesystem::remove(dir.file("cntl.dat"));
  r = run_in(dir, {tool_path("tsrecon-hdr")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot read cntl.dat"), std::string::npos) << r.err;
  EXPECT_FALSE(dir.exists("cntl.dat"));  // not created, unlike tsrecon
}

// The dates of data.hdr name the bands of the series, for GDAL too.
TEST(HdrBlackBox, DatesOfTheInputNameTheBandsOfTheSeries) {
  ScratchDir dir;
  make_run(dir, {"--nb", "23", "--nl", "3", "--ns", "4", "--npoint", "23", "--nfunc", "5", "--seed", "8"});
  std::string names, header = kGeoHeader;
  for (int k = 0; k < 23; ++k) {
    char date[16];
    std::snprintf(date, sizeof date, "2014-%02d-%02d", 1 + k / 2, 1 + 16 * (k % 2));
    names += (k ? ", " : "") + std::string(date);
  }
  header.replace(header.find("bands   = 46"), 12, "bands   = 23");
  dir.write("data.hdr", header + "band names = {" + names + "}\n");
  const ProcessResult r = run_in(dir, {tool_path("tsrecon-hdr")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("dates of data.hdr as band names of the series: 2014-01-01 .. 2014-12-01"), std::string::npos)
      << r.out;
  for (const char* series : {"f.hdr", "i.hdr"}) {
    const std::vector<std::string> bands = envi_list(header_entries(dir, series)["band names"]);
    ASSERT_EQ(bands.size(), 23u) << series;
    EXPECT_EQ(bands[1], "2014-01-17");
    EXPECT_EQ(bands[22], "2014-12-01");
  }
  EXPECT_EQ(envi_list(header_entries(dir, "p.hdr")["band names"])[0], "constant");
  const std::string gdalinfo = on_path("gdalinfo");
  if (gdalinfo.empty()) return;
  const ProcessResult info = run_in(dir, {gdalinfo, "f.bsq"}, {{"GDAL_PAM_ENABLED", "NO"}});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Description = 2014-12-01"), std::string::npos) << info.out;
}

// The plot in the units and dates of data.hdr, or of --factor; the numbers
// of --values stay the program's own, whatever the header says.
TEST(PlotBlackBox, UserUnitsFromTheHeaderOrTheCommandLine) {
  ScratchDir dir;
  make_run(dir, {"--nb", "23", "--nl", "2", "--ns", "3", "--npoint", "23", "--nfunc", "5", "--seed", "4"});
  const std::string plot = tool_path("tsrecon-plot");
  const ProcessResult before = run_in(dir, {plot, "--values", "2", "3"});
  ASSERT_EQ(before.status, 0) << before.err;
  std::string names;
  for (int k = 0; k < 23; ++k) {
    char date[16];
    std::snprintf(date, sizeof date, "2014-%02d-%02d", 1 + k / 2, 1 + 16 * (k % 2));
    names += (k ? ", " : "") + std::string(date);
  }
  dir.write("data.hdr", "ENVI\nsamples = 3\nlines = 2\nbands = 23\ndata type = 2\ninterleave = bsq\n"
                        "band names = {" + names + "}\ndata ignore value = 32767\ntsrecon factor = 1600\n"
                        "tsrecon units = NDVI\n");
  ProcessResult r = run_in(dir, {plot, "-o", "ndvi.svg", "--values", "2", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, before.out);
  const std::string ndvi = dir.read("ndvi.svg");
  EXPECT_NE(ndvi.find(">NDVI (raw / 1600)</text>"), std::string::npos);
  EXPECT_NE(ndvi.find(">2014-01-01</text>"), std::string::npos);
  r = run_in(dir, {plot, "--factor", "10000", "-o", "other.svg", "2", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(dir.read("other.svg").find(">value (raw / 10000)</text>"), std::string::npos);
  std::filesystem::remove(dir.file("data.hdr"));
  r = run_in(dir, {plot, "-o", "scaled.svg", "2", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(dir.read("scaled.svg").find(">value (raw / 4096)</text>"), std::string::npos);
  EXPECT_NE(dir.read("scaled.svg").find(">time step (band)</text>"), std::string::npos);
}

// GDAL reads the products through the headers exactly as the bytes say.
TEST(HdrBlackBox, GdalOpensTheProducts) {
  const std::string gdalinfo = on_path("gdalinfo");
  const std::string locationinfo = on_path("gdallocationinfo");
  if (gdalinfo.empty() || locationinfo.empty()) GTEST_SKIP() << "GDAL command-line tools are not installed";
  ScratchDir dir;
  make_run(dir, {"--nb", "46", "--nl", "3", "--ns", "4", "--seed", "3", "--nodata", "0.8"});
  dir.write("data.hdr", kGeoHeader);
  ASSERT_EQ(run_in(dir, {tool_path("tsrecon-hdr")}).status, 0);
  const std::vector<std::pair<std::string, std::string>> env = {{"GDAL_PAM_ENABLED", "NO"}};

  ProcessResult r = run_in(dir, {gdalinfo, "p.bsq"}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Driver: ENVI/"), std::string::npos);
  EXPECT_NE(r.out.find("Size is 4, 3"), std::string::npos);
  EXPECT_NE(r.out.find("Origin = (500000.000000000000000,4000000.000000000000000)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("UTM zone 33N"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Band 14 Block=4x1 Type=Float32"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Description = amplitude_1"), std::string::npos) << r.out;

  // Values at every pixel through GDAL: f.bsq exactly, p.bsq to float precision.
  const std::string f = dir.read("f.bsq"), p = dir.read("p.bsq");
  for (int l = 1; l <= 3; ++l) {
    for (int s = 1; s <= 4; ++s) {
      const int64_t at = int64_t{l - 1} * 4 + (s - 1);
      r = run_in(dir, {locationinfo, "-valonly", "f.bsq", std::to_string(s - 1), std::to_string(l - 1)}, env);
      ASSERT_EQ(r.status, 0) << r.err;
      std::stringstream fs(r.out);
      for (int b = 0; b < 46; ++b) {
        int v = 0;
        ASSERT_TRUE(fs >> v);
        EXPECT_EQ(v, i16(f, b * 12 + at)) << "f.bsq band " << b + 1;
      }
      r = run_in(dir, {locationinfo, "-valonly", "p.bsq", std::to_string(s - 1), std::to_string(l - 1)}, env);
      std::stringstream ps(r.out);
      for (int k = 0; k < 14; ++k) {
        double v = 0;
        ASSERT_TRUE(ps >> v);
        const uint32_t bits = u32(p, k * 12 + at);
        float expect;
        std::memcpy(&expect, &bits, sizeof expect);
        EXPECT_NEAR(v, expect, 1e-6 * std::fabs(expect) + 1e-12) << "p.bsq band " << k + 1;
      }
    }
  }

  // order.vrt shows the signed orders.
  int lowest = 127;
  for (char c : dir.read("order.dat")) lowest = std::min(lowest, static_cast<int>(static_cast<int8_t>(c)));
  ASSERT_EQ(lowest, -1) << "the cube should hold a pixel whose fit gave up";
  r = run_in(dir, {gdalinfo, "-mm", "order.vrt"}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Computed Min/Max=-1.000,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Origin = (500000.000000000000000,4000000.000000000000000)"), std::string::npos);
}

}  // namespace
}  // namespace tsr::tools

namespace tsr::tools {
namespace {

// tsrecon-seasons after a run, given the job's directory: the maps are NaN
// exactly where the stored products have no model; tsrecon-hdr keeps their
// header (or writes one), tsrecon-plot marks the seasons of a pixel that has
// them, GDAL reads NaN as no-data; refusals and wrong command lines.
TEST(SeasonsBlackBox, MapsOfARunAndTheCompanionsThatKnowThem) {
  ScratchDir dir;
  make_run(dir, {"--nb", "46", "--nl", "3", "--ns", "4", "--npoint", "23", "--nfunc", "4", "--seed", "3",
                 "--nodata", "0.5"});
  std::string header = kGeoHeader;
  header += "tsrecon factor = 1600\ntsrecon units = NDVI\n";
  dir.write("data.hdr", header);
  const std::string seasons = tool_path("tsrecon-seasons");
  ProcessResult r = run_process({seasons, dir.path()}, {});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("values in NDVI (raw / 1600) from data.hdr"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no dates in data.hdr: season dates are steps"), std::string::npos) << r.out;
  const std::string maps = dir.read("seasons.bsq"), p = dir.read("p.bsq"), order = dir.read("order.dat");
  ASSERT_EQ(maps.size(), 32u * 12 * 4);
  int with_seasons = 0, without_model = 0, with_seasons_pixel = 0, no_model_pixel = 0;
  for (int64_t i = 0; i < 12; ++i) {
    bool model = static_cast<int8_t>(order[static_cast<size_t>(i)]) >= 2, any = false;
    for (int64_t j = 0; j < 10; ++j) any |= u32(p, j * 12 + i) != 0;
    model = model && any;
    float n;
    const uint32_t bits = u32(maps, i);
    std::memcpy(&n, &bits, 4);
    EXPECT_EQ(std::isnan(n), !model) << "pixel " << i;
    if (!model) ++without_model, no_model_pixel = static_cast<int>(i);
    if (n >= 1) ++with_seasons, with_seasons_pixel = static_cast<int>(i);
  }
  ASSERT_GT(with_seasons, 0);
  EXPECT_NE(r.out.find("12 pixels: no model at " + std::to_string(without_model)), std::string::npos) << r.out;

  // tsrecon-hdr keeps the header tsrecon-seasons wrote; writes one when there is none.
  const std::string written = dir.read("seasons.hdr");
  r = run_in(dir, {tool_path("tsrecon-hdr")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("kept seasons.hdr (header of seasons.bsq"), std::string::npos) << r.out;
  EXPECT_EQ(dir.read("seasons.hdr"), written);
  std::filesystem::remove(dir.file("seasons.hdr"));
  r = run_in(dir, {tool_path("tsrecon-hdr")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("wrote seasons.hdr (seasons.bsq: 32 bands of float32, 3 lines x 4 samples)"),
            std::string::npos) << r.out;
  auto e = header_entries(dir, "seasons.hdr");
  EXPECT_EQ(e["data ignore value"], "nan");
  EXPECT_EQ(e["map info"], "{UTM, 1, 1, 500000, 4000000, 30, 30, 33, North,WGS-84}");
  EXPECT_NE(e["description"].find("written by tsrecon-hdr"), std::string::npos);

  // The plot marks the seasons of a pixel that has them, and none elsewhere.
  auto plot = [&](int pixel) {
    const std::string l = std::to_string(pixel / 4 + 1), s = std::to_string(pixel % 4 + 1);
    EXPECT_EQ(run_in(dir, {tool_path("tsrecon-plot"), "-o", "x.svg", l, s}).status, 0);
    return dir.read("x.svg");
  };
  const std::string marked = plot(with_seasons_pixel);
  EXPECT_NE(marked.find("<line class=\"peak\""), std::string::npos);
  EXPECT_NE(marked.find("Season 1 of "), std::string::npos);
  if (without_model > 0) EXPECT_EQ(plot(no_model_pixel).find("id=\"seasons\""), std::string::npos);

  const std::string gdalinfo = on_path("gdalinfo");
  if (!gdalinfo.empty()) {
    r = run_in(dir, {gdalinfo, "seasons.bsq"}, {{"GDAL_PAM_ENABLED", "NO"}});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* piece : {"NoData Value=nan", "Description = s2_integral_above_base", "UTM zone 33N"})
      EXPECT_NE(r.out.find(piece), std::string::npos) << piece << "\n" << r.out;
  }

  struct Bad {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Bad bad[] = {
      {{"--min-share", "2"}, 2, "tsrecon-seasons: --min-share must be 0..1, not '2'"},
      {{"--min-amplitude", "x"}, 2, "--min-amplitude needs a number, not 'x'"},
      {{"--factor"}, 2, "--factor needs a number"},
      {{"--bogus"}, 2, "unexpected argument '--bogus'"},
      {{".", "."}, 2, "unexpected argument '.'"},
      {{"no-such-dir"}, 2, "'no-such-dir' is not a directory"},
  };
  for (const Bad& b : bad) {
    std::vector<std::string> argv = {seasons};
    argv.insert(argv.end(), b.args.begin(), b.args.end());
    r = run_in(dir, argv);
    EXPECT_EQ(r.status, b.status);
    EXPECT_NE(r.err.find(b.message), std::string::npos) << r.err;
  }
  // Refused in one line: products shorter than cntl.dat gives them.
  dir.write("order.dat", order.substr(0, 11));
  r = run_in(dir, {seasons});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tsrecon-seasons: order.dat holds 11 bytes, less than the 12 that cntl.dat gives it (an "
                   "unfinished run, or another cube?): run tsrecon to the end first\n");
  EXPECT_EQ(dir.read("seasons.bsq"), maps);  // the maps of before stay
}

}  // namespace
}  // namespace tsr::tools
