#include "tools/tile/tile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_env.h"
#include "support/job.h"
#include "support/parameters.h"
#include "support/process.h"

namespace tsr::tile {
namespace {

using tsr::testing::FakeEnv;
using tsr::testing::parameters_of;
using tsr::testing::ScratchDir;

Manifest parsed(const std::string& text) {
  Manifest m;
  const Status s = parse_manifest(text, &m);
  EXPECT_TRUE(s.is_ok()) << s.message();
  return m;
}

// ---------------------------------------------------------------------------
// Block layout.

TEST(TilePlanBlocks, SizesAndFirstLines) {
  struct Case {
    int32_t nl, requested;
    std::vector<int32_t> sizes;
  };
  const Case cases[] = {
      {23, 4, {6, 6, 6, 5}}, {10, 3, {4, 3, 3}}, {5, 5, {1, 1, 1, 1, 1}}, {7, 1, {7}},
      {3, 8, {1, 1, 1}},     {1, 1, {1}},        {0, 3, {}},              {4, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.nl) + " lines in " + std::to_string(c.requested));
    const std::vector<Block> blocks = plan_blocks(c.nl, c.requested);
    ASSERT_EQ(blocks.size(), c.sizes.size());
    int32_t first = 1;
    for (size_t k = 0; k < blocks.size(); ++k) {
      EXPECT_EQ(blocks[k].name, block_name(static_cast<int32_t>(k + 1)));
      EXPECT_EQ(blocks[k].first_line, first);
      EXPECT_EQ(blocks[k].lines, c.sizes[k]);
      first += blocks[k].lines;
    }
  }
}

TEST(TilePlanBlocks, EveryLineOnceAndSizesEven) {
  for (int32_t nl = 1; nl <= 40; ++nl) {
    for (int32_t n = 1; n <= 45; ++n) {
      const std::vector<Block> blocks = plan_blocks(nl, n);
      ASSERT_EQ(static_cast<int32_t>(blocks.size()), std::min(nl, n));
      int32_t next = 1, smallest = nl, largest = 0;
      for (const Block& b : blocks) {
        ASSERT_EQ(b.first_line, next) << nl << " in " << n;
        next += b.lines;
        smallest = std::min(smallest, b.lines);
        largest = std::max(largest, b.lines);
      }
      EXPECT_EQ(next, nl + 1);
      EXPECT_LE(largest - smallest, 1) << nl << " in " << n;
      EXPECT_GE(smallest, 1);
    }
  }
}

TEST(TileBlockName, SortsByNumber) {
  EXPECT_EQ(block_name(1), "block-0001");
  EXPECT_EQ(block_name(37), "block-0037");
  EXPECT_EQ(block_name(9999), "block-9999");
  EXPECT_EQ(block_name(12345), "block-12345");
}

// ---------------------------------------------------------------------------
// The block's control file.

TEST(TileRewriteLineCount, ReplacesOnlyTheRecordsOfTheCounts) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;  // with NL = 5
  };
  const std::string groups = "&DATA NFUNC=4, NDEF=2 /\n&CONTRL NWIN=2, TCLD=0.1, INTP=1 /\n&NPT NPOINT=46 /\n5\n17\n";
  const Case cases[] = {
      {"plain", "46\n23 17\n" + groups, "46\n5 17\n" + groups},
      {"counts on two records", "46\n23\n17\n" + groups, "46\n5 17\n" + groups},
      {"blank records and comma", "46\n\n   23 ,  17  \n" + groups, "46\n5 17\n" + groups},
      {"text after the counts", "46 bands\n23 17 400 ignored\n" + groups, "46 bands\n5 17\n" + groups},
      {"repeat form", "46\n2*17\n" + groups, "46\n5 17\n" + groups},
      {"real spelling", "46\n23.9 17.2\n" + groups, "46\n5 17\n" + groups},
      {"carriage returns", "46\r\n23 17\r\n&DATA /\r\n&CONTRL /\r\n&NPT /\r\n",
       "46\r\n5 17\r\n&DATA /\r\n&CONTRL /\r\n&NPT /\r\n"},
      {"comments and dollar groups kept", "46\n23 17\n$DATA\n NFUNC=3 ! harmonics\n $END\n&CONTRL /\n&NPT /\n",
       "46\n5 17\n$DATA\n NFUNC=3 ! harmonics\n $END\n&CONTRL /\n&NPT /\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string rewritten;
    ASSERT_TRUE(rewrite_line_count(c.text, 5, 17, &rewritten).is_ok());
    EXPECT_EQ(rewritten, c.expected);
    const RunParameters whole = parameters_of(c.text);
    const RunParameters block = parameters_of(rewritten);
    EXPECT_EQ(block.NL, 5);
    EXPECT_TRUE(same_run_except_lines(whole, block));
  }
}

TEST(TileRewriteLineCount, TextThatEndsBeforeTheCountsIsAnError) {
  for (const char* text : {"", "46\n", "46\n23\n", "46\n23 17"}) {
    SCOPED_TRACE(text);
    std::string rewritten = "unchanged";
    EXPECT_EQ(rewrite_line_count(text, 5, 17, &rewritten).number(), 24);
    EXPECT_EQ(rewritten, "unchanged");
  }
}

TEST(TileSameRunExceptLines, EveryOtherValueCounts) {
  const RunParameters base = parameters_of("46\n23 17\n&DATA NDEF=2 /\n&CONTRL /\n&NPT /\n5\n9\n");
  RunParameters lines = base;
  lines.NL = 1;
  EXPECT_TRUE(same_run_except_lines(base, lines));

  const std::vector<std::pair<const char*, std::function<void(RunParameters&)>>> changes = {
      {"NB", [](RunParameters& p) { p.NB = 45; }},
      {"NS", [](RunParameters& p) { p.NS = 16; }},
      {"NFUNC", [](RunParameters& p) { p.NFUNC = 5; }},
      {"NWIN", [](RunParameters& p) { p.NWIN = 2; }},
      {"INTP", [](RunParameters& p) { p.INTP = 1; }},
      {"MMSW", [](RunParameters& p) { p.MMSW = 0; }},
      {"TCLD sign of zero", [](RunParameters& p) { p.TCLD = -0.0; }},
      {"TCLD last bit", [](RunParameters& p) { p.TCLD = 0.15; }},
      {"FITSW", [](RunParameters& p) { p.FITSW = 0; }},
      {"MASK", [](RunParameters& p) { p.MASK = 1; }},
      {"FITMD", [](RunParameters& p) { p.FITMD = 2; }},
      {"NPOINT", [](RunParameters& p) { p.NPOINT = 23; }},
      {"NP", [](RunParameters& p) { p.NP = 12; }},
      {"upper threshold", [](RunParameters& p) { p.upper_threshold = 0.3; }},
      {"excluded count", [](RunParameters& p) { p.excluded_count = 1; }},
      {"excluded band", [](RunParameters& p) { p.excluded_bands[1] = 10; }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    RunParameters other = base;
    change(other);
    EXPECT_FALSE(same_run_except_lines(base, other));
  }
}

// ---------------------------------------------------------------------------
// Manifest.

Manifest sample_manifest() {
  Manifest m;
  m.NB = 46;
  m.NL = 23;
  m.NS = 17;
  m.NP = 14;
  m.INTP = 1;
  m.MASK = 0;
  m.blocks = plan_blocks(23, 4);
  return m;
}

TEST(TileManifest, RoundTrip) {
  const Manifest m = sample_manifest();
  const Manifest back = parsed(format_manifest(m));
  EXPECT_EQ(back.NB, 46);
  EXPECT_EQ(back.NL, 23);
  EXPECT_EQ(back.NS, 17);
  EXPECT_EQ(back.NP, 14);
  EXPECT_EQ(back.INTP, 1);
  EXPECT_EQ(back.MASK, 0);
  ASSERT_EQ(back.blocks.size(), 4u);
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(back.blocks[k].name, m.blocks[k].name);
    EXPECT_EQ(back.blocks[k].first_line, m.blocks[k].first_line);
    EXPECT_EQ(back.blocks[k].lines, m.blocks[k].lines);
  }
}

TEST(TileManifest, RefusesWhatDoesNotDescribeTheCube) {
  const std::string head = "NB 46\nNL 23\nNS 17\nNP 14\nINTP 1\nMASK 0\n";
  const std::pair<const char*, std::string> cases[] = {
      {"missing key", "NB 46\nNL 23\nNS 17\nINTP 1\nMASK 0\nblocks 1\nblock b 1 23\n"},
      {"unknown key", head + "NQ 3\nblocks 1\nblock b 1 23\n"},
      {"count differs", head + "blocks 2\nblock b 1 23\n"},
      {"gap", head + "blocks 2\nblock a 1 10\nblock b 12 12\n"},
      {"overlap", head + "blocks 2\nblock a 1 12\nblock b 12 12\n"},
      {"too short", head + "blocks 2\nblock a 1 10\nblock b 11 12\n"},
      {"beyond the cube", head + "blocks 2\nblock a 1 10\nblock b 11 14\n"},
      {"empty block", head + "blocks 3\nblock a 1 10\nblock c 11 0\nblock b 11 13\n"},
      {"name leaves the folder", head + "blocks 1\nblock ../x 1 23\n"},
      {"same name twice", head + "blocks 2\nblock a 1 10\nblock a 11 13\n"},
      {"not a number", head + "blocks 1\nblock a 1 2x3\n"},
      {"no lines", "NB 46\nNL 0\nNS 17\nNP 14\nINTP 1\nMASK 0\nblocks 0\n"},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    Manifest m;
    const Status s = parse_manifest(text, &m);
    EXPECT_EQ(s.code(), Status::Code::kRefused);
    EXPECT_NE(s.message(), "");
  }
}

// ---------------------------------------------------------------------------
// Byte layout.

TEST(TileProducts, SetAndSizesFollowTheRun) {
  Manifest m = sample_manifest();
  std::vector<std::string> names;
  int64_t total = 0;
  for (const FileLayout& f : product_files(m)) {
    names.push_back(f.name);
    total += full_size(f, m.NL, m.NS);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"}));
  // 14 * 4 + 46 * 2 + 46 * 2 + 1 + 4 + 2 + 2 bytes per pixel.
  EXPECT_EQ(total, int64_t{23} * 17 * (56 + 92 + 92 + 1 + 4 + 2 + 2));
  m.INTP = 2;
  for (const FileLayout& f : product_files(m)) EXPECT_NE(f.name, "i.bsq");
  // The inputs: the mask cube only with MASK = 1.
  for (int mask : {0, 1}) {
    m.MASK = mask;
    std::vector<std::string> inputs;
    for (const FileLayout& f : input_files(m)) inputs.push_back(f.name + "/" + std::to_string(f.record_length));
    const std::vector<std::string> expected =
        mask == 1 ? std::vector<std::string>{"data.bsq/2", "mask.bsq/1"} : std::vector<std::string>{"data.bsq/2"};
    EXPECT_EQ(inputs, expected);
  }
}

TEST(TileBlockRuns, OffsetsOfOnePlanePerRun) {
  const FileLayout p{"p.bsq", 14, 4};
  const Block b{"block-0002", 7, 6};
  const std::vector<ByteRun> runs = block_runs(p, 23, 17, b);
  ASSERT_EQ(runs.size(), 14u);
  // Line 7 of band 1 starts at record 6 * 17 + 1; line 7 of band 14 at
  // record 13 * 23 * 17 + 6 * 17 + 1.
  EXPECT_EQ(runs[0].whole_offset, 6 * 17 * 4);
  EXPECT_EQ(runs[0].block_offset, 0);
  EXPECT_EQ(runs[0].length, 6 * 17 * 4);
  EXPECT_EQ(runs[13].whole_offset, (13 * 23 * 17 + 6 * 17) * 4);
  EXPECT_EQ(runs[13].block_offset, 13 * 6 * 17 * 4);
  // Beyond 2 GiB the offsets stay exact.
  const FileLayout big{"f.bsq", 200, 2};
  const std::vector<ByteRun> far = block_runs(big, 7500, 7500, {"b", 7001, 500});
  EXPECT_EQ(far[199].whole_offset, (int64_t{199} * 7500 + 7000) * 7500 * 2);
}

TEST(TileBlockRuns, BlocksTileTheWholeFileExactlyOnce) {
  for (const FileLayout& f : {FileLayout{"f.bsq", 5, 2}, FileLayout{"order.dat", 1, 1}, FileLayout{"aic.dat", 1, 4}}) {
    const int32_t nl = 11, ns = 3;
    std::vector<int> whole(static_cast<size_t>(full_size(f, nl, ns)), 0);
    for (const Block& b : plan_blocks(nl, 4)) {
      std::vector<int> part(static_cast<size_t>(full_size(f, b.lines, ns)), 0);
      for (const ByteRun& r : block_runs(f, nl, ns, b)) {
        for (int64_t k = 0; k < r.length; ++k) {
          ++whole.at(static_cast<size_t>(r.whole_offset + k));
          ++part.at(static_cast<size_t>(r.block_offset + k));
        }
      }
      for (int count : part) EXPECT_EQ(count, 1) << f.name << " " << b.name;
    }
    for (int count : whole) EXPECT_EQ(count, 1) << f.name;
  }
}

// ---------------------------------------------------------------------------
// Split and merge on real directories. The cube's bytes say where they belong,
// so every misplaced byte shows.

constexpr int32_t kNB = 3, kNL = 5, kNS = 2;

// Byte k of element (plane, line, sample) of a file with `record` bytes per
// element: a value that no other byte of the file has (for these sizes).
char element_byte(int32_t plane, int32_t line, int32_t sample, int32_t k, int salt) {
  return static_cast<char>(((plane * 31 + line) * 7 + sample) * 4 + k + salt);
}

// A file of the cube layout whose lines are lines first..first+lines-1 of the
// cube.
std::string cube_bytes(int32_t planes, int32_t first, int32_t lines, int32_t record, int salt) {
  std::string bytes;
  for (int32_t b = 1; b <= planes; ++b) {
    for (int32_t l = first; l < first + lines; ++l) {
      for (int32_t s = 1; s <= kNS; ++s) {
        for (int32_t k = 0; k < record; ++k) bytes += element_byte(b, l, s, k, salt);
      }
    }
  }
  return bytes;
}

std::string control_text(int mask, int intp, int32_t nl = kNL) {
  return testing::ControlFile{3, nl, 2, "NFUNC=1, NDEF=1",
                              "INTP=" + std::to_string(intp) + ", MASK=" + std::to_string(mask), 3, "2\n"}
      .text();
}

// What a split or a merge returned and the lines of its report.
struct Outcome {
  Status status;
  std::vector<std::string> lines;
  std::string err;  // the status's message and, of a merge, the unfinished products
};

Outcome run_split(Env& env, const std::string& dir, int32_t n, bool force = false) {
  SplitOptions o;
  o.dir = dir;
  o.requested = n;
  o.force = force;
  SplitReport report;
  Outcome r{split(env, o, &report), {}, {}};
  r.lines = split_lines(report);
  r.err = r.status.message();
  return r;
}
Outcome run_split(const ScratchDir& dir, int32_t n, bool force = false) {
  return run_split(*new_posix_env(), dir.path(), n, force);
}

Outcome run_merge(Env& env, const std::string& dir) {
  MergeOptions o;
  o.dir = dir;
  MergeReport report;
  Outcome r{merge(env, o, &report), {}, {}};
  r.lines = merge_lines(report);
  for (const std::string& line : unfinished_lines(report)) r.err += line + "\n";
  r.err += r.status.message();
  return r;
}
Outcome run_merge(const ScratchDir& dir) { return run_merge(*new_posix_env(), dir.path()); }

TEST(TileSplit, BlocksHoldTheirLinesOfEveryBand) {
  ScratchDir dir;
  dir.write("cntl.dat", control_text(1, 0));
  dir.write("data.bsq", cube_bytes(kNB, 1, kNL, 2, 0) + "trailing bytes are never read");
  dir.write("mask.bsq", cube_bytes(kNB, 1, kNL, 1, 100));
  const Outcome r = run_split(dir, 2);
  ASSERT_TRUE(r.status.is_ok()) << r.err;
  EXPECT_EQ(r.lines, (std::vector<std::string>{"block-0001: lines 1..3 (3 lines)", "block-0002: lines 4..5 (2 lines)",
                                               "split NB = 3, NL = 5, NS = 2 into 2 blocks in " + dir.path() +
                                                   "/blocks"}));

  const Manifest m = parsed(dir.read("blocks/manifest.txt"));
  EXPECT_EQ(m.MASK, 1);
  ASSERT_EQ(m.blocks.size(), 2u);
  for (const Block& b : m.blocks) {
    SCOPED_TRACE(b.name);
    const std::string folder = "blocks/" + b.name + "/";
    EXPECT_EQ(dir.read(folder + "data.bsq"), cube_bytes(kNB, b.first_line, b.lines, 2, 0));
    EXPECT_EQ(dir.read(folder + "mask.bsq"), cube_bytes(kNB, b.first_line, b.lines, 1, 100));
    EXPECT_EQ(dir.read(folder + "cntl.dat"), control_text(1, 0, b.lines));
  }
  EXPECT_EQ(m.blocks[0].lines, 3);
  EXPECT_EQ(m.blocks[1].lines, 2);
}

TEST(TileSplit, RefusesInputsThatCannotMakeBlocks) {
  const int64_t data_size = int64_t{kNB} * kNL * kNS * 2;
  struct Case {
    const char* name;
    std::string cntl;
    int64_t data_bytes;  // -1: no data.bsq
    int64_t mask_bytes;  // -1: no mask.bsq
    bool blocks_exist;
    const char* message;
  };
  const Case cases[] = {
      {"data one byte short", control_text(0, 0), data_size - 1, -1, false, "data.bsq holds 59 bytes"},
      {"data missing", control_text(0, 0), -1, -1, false, "data.bsq is missing"},
      {"mask short", control_text(1, 0), data_size, data_size / 2 - 1, false, "mask.bsq holds 29 bytes"},
      {"mask missing", control_text(1, 0), data_size, -1, false, "mask.bsq is missing"},
      {"no lines", control_text(0, 0, 0), data_size, -1, false, "no lines to split"},
      {"too few bands", "2\n5 2\n&DATA /\n&CONTRL /\n&NPT /\n", data_size, -1, false, "NB = 2"},
      {"unreadable control file", "3\n5 2\n&CONTRL /\n&NPT /\n", data_size, -1, false, "error 24"},
      {"earlier split", control_text(0, 0), data_size, -1, true, "already exists"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    dir.write("cntl.dat", c.cntl);
    if (c.data_bytes >= 0) dir.write("data.bsq", std::string(static_cast<size_t>(c.data_bytes), '\1'));
    if (c.mask_bytes >= 0) dir.write("mask.bsq", std::string(static_cast<size_t>(c.mask_bytes), '\1'));
    if (c.blocks_exist) dir.write("blocks", "");
    const Outcome r = run_split(dir, 2);
    EXPECT_EQ(r.status.code(), Status::Code::kRefused);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(dir.exists("blocks/manifest.txt"), false);
  }
}

TEST(TileSplit, ForceReplacesOnlyAnEarlierSplit) {
  ScratchDir dir;
  dir.write("cntl.dat", control_text(0, 0));
  dir.write("data.bsq", cube_bytes(kNB, 1, kNL, 2, 0));
  ASSERT_TRUE(run_split(dir, 5).status.is_ok());
  dir.write("blocks/block-0005/p.bsq", "stale product");
  const Outcome again = run_split(dir, 2, true);
  ASSERT_TRUE(again.status.is_ok()) << again.err;
  EXPECT_FALSE(dir.exists("blocks/block-0005"));
  EXPECT_EQ(parsed(dir.read("blocks/manifest.txt")).blocks.size(), 2u);

  ScratchDir other;
  other.write("cntl.dat", control_text(0, 0));
  other.write("data.bsq", cube_bytes(kNB, 1, kNL, 2, 0));
  ASSERT_EQ(new_posix_env()->create_directory(other.file("blocks")), 0);
  other.write("blocks/precious.txt", "not a split");
  const Outcome refused = run_split(other, 2, true);
  EXPECT_EQ(refused.status.code(), Status::Code::kRefused);
  EXPECT_NE(refused.err.find("not a blocks folder"), std::string::npos) << refused.err;
  EXPECT_EQ(other.read("blocks/precious.txt"), "not a split");
}

// Writes what a finished run of each block leaves: every product, its bytes
// naming their place in the whole cube.
void fake_block_products(const ScratchDir& dir, const Manifest& m) {
  int salt = 0;
  for (const FileLayout& f : product_files(m)) {
    salt += 3;
    for (const Block& b : m.blocks) {
      dir.write("blocks/" + b.name + "/" + f.name, cube_bytes(f.planes, b.first_line, b.lines, f.record_length, salt));
    }
  }
}

TEST(TileMerge, PutsEveryProductLineInItsPlace) {
  for (int intp : {0, 1}) {
    SCOPED_TRACE("INTP " + std::to_string(intp));
    ScratchDir dir;
    dir.write("cntl.dat", control_text(0, intp));
    dir.write("data.bsq", cube_bytes(kNB, 1, kNL, 2, 0));
    ASSERT_TRUE(run_split(dir, 3).status.is_ok());
    const Manifest m = parsed(dir.read("blocks/manifest.txt"));
    fake_block_products(dir, m);
    // An older, longer product keeps its tail, as a run over it would.
    const std::string old_tail = "older and longer";
    dir.write("f.bsq", std::string(static_cast<size_t>(kNB * kNL * kNS * 2), 'x') + old_tail);
    dir.write("i.bsq", "untouched unless INTP = 1");

    const Outcome r = run_merge(dir);
    ASSERT_TRUE(r.status.is_ok()) << r.err;
    EXPECT_EQ(r.lines.size(), product_files(m).size());
    EXPECT_EQ(r.lines.front(), "merged p.bsq: 4 planes of 5 x 2 from 3 blocks");
    int salt = 0;
    for (const FileLayout& f : product_files(m)) {
      salt += 3;
      SCOPED_TRACE(f.name);
      const std::string whole = cube_bytes(f.planes, 1, kNL, f.record_length, salt);
      EXPECT_EQ(dir.read(f.name), f.name == "f.bsq" ? whole + old_tail : whole);
    }
    if (intp != 1) {
      EXPECT_EQ(dir.read("i.bsq"), "untouched unless INTP = 1");
    }
  }
}

TEST(TileMerge, RefusesUnfinishedBlocksBeforeWritingAnything) {
  struct Case {
    const char* name;
    std::function<void(const ScratchDir&)> spoil;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"product missing", [](const ScratchDir& d) { std::remove(d.file("blocks/block-0002/max.dat").c_str()); },
       {"block-0002 did not finish: max.dat is missing"}},
      {"product short", [](const ScratchDir& d) { d.write("blocks/block-0003/f.bsq", std::string(11, '\0')); },
       {"block-0003 did not finish: f.bsq holds 11 of 12 bytes"}},
      {"two blocks",
       [](const ScratchDir& d) {
         std::remove(d.file("blocks/block-0001/p.bsq").c_str());
         d.write("blocks/block-0003/aic.dat", "");
       },
       {"block-0001 did not finish: p.bsq", "block-0003 did not finish: aic.dat holds 0 of 8"}},
      {"control file changed", [](const ScratchDir& d) { d.write("cntl.dat", control_text(0, 0, 6)); },
       {"no longer matches the split"}},
      {"no manifest", [](const ScratchDir& d) { std::remove(d.file("blocks/manifest.txt").c_str()); },
       {"manifest.txt is missing"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    dir.write("cntl.dat", control_text(0, 0));
    dir.write("data.bsq", cube_bytes(kNB, 1, kNL, 2, 0));
    ASSERT_TRUE(run_split(dir, 3).status.is_ok());
    fake_block_products(dir, parsed(dir.read("blocks/manifest.txt")));
    dir.write("p.bsq", "earlier product");
    c.spoil(dir);
    const Outcome r = run_merge(dir);
    EXPECT_EQ(r.status.code(), Status::Code::kRefused);
    for (const std::string& m : c.messages) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    EXPECT_EQ(dir.read("p.bsq"), "earlier product");
    EXPECT_FALSE(dir.exists("f.bsq"));
    EXPECT_TRUE(r.lines.empty());
  }
}

// Faults of the file system, in memory: every one ends the split or the merge
// with a refusal that names the file and the system's reason, and a split
// never leaves a manifest behind.
TEST(TileFaults, EachFailingCallIsRefusedWithItsFile) {
  using Call = FakeEnv::Call;
  struct Case {
    const char* name;
    std::function<void(FakeEnv&)> arrange;
    bool merge;  // fault the merge of a finished split instead of the split
    std::string message;
  };
  const Case cases[] = {
      {"blocks folder not made", [](FakeEnv& e) { e.fail_call(Call::kCreateDirectory, "blocks", EACCES); }, false,
       "cannot create /job/blocks: Permission denied"},
      {"block folder not made",
       [](FakeEnv& e) { e.fail_call(Call::kCreateDirectory, "blocks/block-0002", ENOSPC); }, false,
       "cannot create /job/blocks/block-0002: No space left on device"},
      {"input unreadable", [](FakeEnv& e) { e.fail_reads_from("data.bsq", 20); }, false,
       "cannot read /job/data.bsq: Input/output error"},
      {"block input cut short", [](FakeEnv& e) { e.limit_size("blocks/block-0001/data.bsq", 5); }, false,
       "cannot write /job/blocks/block-0001/data.bsq: No space left on device"},
      {"block input not closed", [](FakeEnv& e) { e.fail_call(Call::kClose, "blocks/block-0003/data.bsq", EIO); },
       false, "cannot close /job/blocks/block-0003/data.bsq: Input/output error"},
      {"manifest not renamed", [](FakeEnv& e) { e.fail_call(Call::kRename, "blocks/manifest.txt.part", EXDEV); },
       false, "cannot rename /job/blocks/manifest.txt.part: Invalid cross-device link"},
      {"control file not opened", [](FakeEnv& e) { e.refuse_opening("cntl.dat", EMFILE); }, false,
       "cannot open /job/cntl.dat: Too many open files"},
      {"product not opened", [](FakeEnv& e) { e.refuse_opening("f.bsq", EACCES); }, true,
       "cannot open /job/f.bsq: Permission denied"},
      {"block product unreadable", [](FakeEnv& e) { e.fail_reads_from("blocks/block-0002/p.bsq", 0); }, true,
       "cannot read /job/blocks/block-0002/p.bsq: Input/output error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnv env("/job");
    env.put("cntl.dat", control_text(0, 0));
    env.put("data.bsq", cube_bytes(kNB, 1, kNL, 2, 0));
    if (c.merge) {
      ASSERT_TRUE(run_split(env, "/job", 3).status.is_ok());
      for (const FileLayout& f : product_files(parsed(env.contents("blocks/manifest.txt")))) {
        for (const Block& b : plan_blocks(kNL, 3)) {
          env.put("blocks/" + b.name + "/" + f.name, cube_bytes(f.planes, b.first_line, b.lines, f.record_length, 1));
        }
      }
    }
    c.arrange(env);
    const Outcome r = c.merge ? run_merge(env, "/job") : run_split(env, "/job", 3);
    EXPECT_EQ(r.status, Status::refused(c.message));
    if (!c.merge) {
      EXPECT_FALSE(env.exists("blocks/manifest.txt"));
    }
  }
}

// An earlier split is replaced only as a whole: a folder that cannot be
// removed stops the split before anything of it is touched.
TEST(TileFaults, AnEarlierSplitThatCannotBeRemovedIsKept) {
  FakeEnv env("/job");
  env.put("cntl.dat", control_text(0, 0));
  env.put("data.bsq", cube_bytes(kNB, 1, kNL, 2, 0));
  ASSERT_TRUE(run_split(env, "/job", 2).status.is_ok());
  env.fail_call(FakeEnv::Call::kRemove, "blocks/block-0002", EBUSY);
  const Outcome r = run_split(env, "/job", 4, true);
  EXPECT_EQ(r.status, Status::refused("cannot remove the earlier split in /job/blocks: Device or resource busy"));
  EXPECT_TRUE(r.lines.empty());
  EXPECT_TRUE(env.exists("blocks/block-0002/data.bsq"));
}

}  // namespace
}  // namespace tsr::tile
