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
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "control/run_parameters.h"

namespace tsr::tile {

// A refusal: the operation stops with this one-line reason.
class TileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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
// replaced, CR LF or LF). Every other byte is kept: the band count, the
// groups, the band list, comments and spacing. Throws ControlFileError when
// the text does not read that far.
std::string rewrite_line_count(std::string_view cntl_text, int32_t nl, int32_t ns);

// True when the two records describe the same run apart from the line count:
// every value read from the control file and every derived value.
bool same_run_except_lines(const RunParameters& a, const RunParameters& b);

// What merge (and the run scripts) need to know about a split.
struct Manifest {
  int32_t NB = 0;
  int32_t NL = 0;
  int32_t NS = 0;
  int32_t NP = 0;
  int32_t INTP = 0;
  int32_t MASK = 0;
  std::vector<Block> blocks;
};

// Plain text, one "KEY value" per line, then one "block NAME FIRST LINES"
// line per block; lines starting with '#' are comments.
std::string format_manifest(const Manifest& m);

// Reads a manifest written by format_manifest and checks that its blocks
// cover lines 1..NL in order without gaps or overlaps. Throws TileError with
// the reason when it does not.
Manifest parse_manifest(std::string_view text);

// A file laid out like the cube: `planes` planes of NL lines of NS records of
// `record_length` bytes.
struct CubeFile {
  std::string name;
  int32_t planes = 0;
  int32_t record_length = 0;
};

// The products one run writes, in the order the program writes them:
// p.bsq, i.bsq (only when INTP = 1), f.bsq, order.dat, aic.dat, min.dat,
// max.dat.
std::vector<CubeFile> product_files(const Manifest& m);

// The inputs one run reads: data.bsq and, when MASK = 1, mask.bsq.
std::vector<CubeFile> input_files(const Manifest& m);

// Size of the complete file for `lines` lines of `ns` samples.
int64_t full_size(const CubeFile& f, int32_t lines, int32_t ns);

// A run of consecutive bytes that one block shares with the whole cube: one
// plane's part of the block.
struct ByteRun {
  int64_t whole_offset = 0;  // in the file of the whole cube
  int64_t block_offset = 0;  // in the block's file
  int64_t length = 0;
};

// The runs of `block` in a file of the cube layout, plane 1 first.
std::vector<ByteRun> block_runs(const CubeFile& f, int32_t nl, int32_t ns, const Block& block);

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

// Each writes what it did to `out` and returns the exit status: 0 when done,
// 1 after a refusal (one line per reason on `err`, starting "tsrecon-tile: ").
int split(const SplitOptions& options, std::ostream& out, std::ostream& err);
int merge(const MergeOptions& options, std::ostream& out, std::ostream& err);
// Writes the names of the inputs each block reads (`inputs`) or of the
// products it writes, one a line, from the split's manifest.
int list_files(const MergeOptions& options, bool inputs, std::ostream& out, std::ostream& err);

}  // namespace tsr::tile
