// Cutting a job into blocks of whole image lines and putting the products
// back together.
//
// tsrecon reconstructs every line of the cube on its own and writes each
// product line at a fixed place of a plain band-sequential file. A cube can
// therefore be cut into blocks of consecutive lines, each block run as a job
// of its own (anywhere), and the products of the blocks copied back to their
// places: the result is byte for byte what one run over the whole cube writes.
//
// A split leaves, beside the inputs, a blocks folder:
//   blocks/manifest.txt          the cube's sizes and the block layout
//   blocks/block-0001/cntl.dat   the job's control file with the block's NL
//   blocks/block-0001/data.bsq   the block's lines of every band
//   blocks/block-0001/mask.bsq   (MASK = 1) the same lines of the mask cube
// Every block folder is a complete working directory for tsrecon.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/run_parameters.h"
#include "runtime/env.h"
#include "runtime/status.h"

namespace tsr::tile {

// One block: a run of consecutive whole lines of the cube.
struct Block {
  std::string name;        // folder below the blocks folder, "block-0001", ...
  int32_t first_line = 0;  // first line of the cube in the block, from 1
  int32_t lines = 0;       // number of lines
};

// "block-0001" for 1: four digits at least, so that names sort by number up
// to 9999 blocks.
std::string block_name(int32_t index);

// Cuts `nl` lines into blocks of consecutive lines: min(requested, nl) blocks
// whose sizes differ by at most one line, the larger ones first. Needs
// nl >= 1 and requested >= 1.
std::vector<Block> plan_blocks(int32_t nl, int32_t requested);

// The control file text with the records that the read of NL and NS takes
// replaced by the single record "nl ns" (with the line end of the last record
// replaced, CR LF or LF), into `rewritten`. Every other byte is kept: the
// band count, the groups, the band list, comments and spacing. Returns the
// reader's run-time error (with its detail, no file) when the text does not
// read that far.
Status rewrite_line_count(std::string_view cntl_text, int32_t nl, int32_t ns, std::string* rewritten);

// True when the two records describe the same run apart from the line count:
// every value read from the control file and every derived value.
bool same_run_except_lines(const RunParameters& a, const RunParameters& b);

// What merge (and the run scripts) need to know about a split: the sizes and
// switches of the whole run, and its blocks.
struct Manifest {
  int32_t NB = 0, NL = 0, NS = 0, NP = 0;
  int32_t INTP = 0, MASK = 0;
  std::vector<Block> blocks;
};

// Plain text, one "KEY value" per line, then one "block NAME FIRST LINES"
// line per block; lines starting with '#' are comments.
std::string format_manifest(const Manifest& m);

// Reads a manifest written by format_manifest into `m` and checks that its
// blocks cover lines 1..NL in order without gaps or overlaps; refuses it with
// the reason when it does not.
Status parse_manifest(std::string_view text, Manifest* m);

// Where one of a run's files keeps its bytes: `planes` planes of NL lines of
// NS records of `record_length` bytes.
struct FileLayout {
  std::string name;
  int32_t planes = 0;
  int32_t record_length = 0;
};

// The products one run writes, in the order the program writes them:
// p.bsq, i.bsq (only when INTP = 1), f.bsq, order.dat, aic.dat, min.dat,
// max.dat.
std::vector<FileLayout> product_files(const Manifest& m);

// The inputs one run reads: data.bsq and, when MASK = 1, mask.bsq.
std::vector<FileLayout> input_files(const Manifest& m);

// Size of the complete file for `lines` lines of `ns` samples.
int64_t full_size(const FileLayout& f, int32_t lines, int32_t ns);

// A run of consecutive bytes that one block shares with the whole cube: one
// plane's part of the block.
struct ByteRun {
  int64_t whole_offset = 0;  // in the file of the whole cube
  int64_t block_offset = 0;  // in the block's file
  int64_t length = 0;
};

// The runs of `block` in a file of the cube layout, plane 1 first.
std::vector<ByteRun> block_runs(const FileLayout& f, int32_t nl, int32_t ns, const Block& block);

struct SplitOptions {
  std::string dir = ".";    // working directory with cntl.dat, data.bsq (mask.bsq)
  std::string blocks_dir;   // empty: dir + "/blocks"
  int32_t requested = 0;    // number of blocks asked for
  bool force = false;       // replace an earlier split in blocks_dir
};

struct MergeOptions {
  std::string dir = ".";    // where the products of the whole cube go
  std::string blocks_dir;   // empty: dir + "/blocks"
};

// How far a split came.
struct SplitReport {
  int32_t requested = 0;      // blocks asked for
  std::string blocks_dir;     // where the blocks go
  Manifest manifest;          // the whole cube; its blocks once planned
  size_t blocks_written = 0;  // blocks complete so far, in the manifest's order
  bool done = false;          // the manifest is written: the split is complete
};

// A product that a block has not finished (missing: size -1).
struct UnfinishedProduct {
  std::string block, file, path;
  int64_t size = -1, needed = 0;
};

// How far a merge came.
struct MergeReport {
  Manifest manifest;
  std::vector<UnfinishedProduct> unfinished;  // when not empty, nothing was merged
  std::vector<FileLayout> merged;             // products merged so far, in order
};

// Cuts the job of options.dir into blocks (see the top of this file). The
// Env's names are taken as given, relative to its working directory. A
// refusal names the reason; `report` says how far the split came.
Status split(Env& env, const SplitOptions& options, SplitReport* report);
// Copies the products of every finished block into their places in
// options.dir. Refuses, writing nothing, while a block has not finished
// (listed in the report's `unfinished`).
Status merge(Env& env, const MergeOptions& options, MergeReport* report);

enum class FileSet { kInputs, kProducts };
// The names of the files of `which` each block's run reads or writes, from
// the split's manifest.
Status list_files(Env& env, const MergeOptions& options, FileSet which, std::vector<std::string>* names);

// The console lines of a report (without line ends): what was done, in order.
std::vector<std::string> split_lines(const SplitReport& r);
std::vector<std::string> merge_lines(const MergeReport& r);
// The lines that name every unfinished product of a refused merge.
std::vector<std::string> unfinished_lines(const MergeReport& r);

}  // namespace tsr::tile
