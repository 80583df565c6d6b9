#include "tools/tile/tile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "control/control_syntax.h"
#include "domain/run_files.h"
#include "runtime/env.h"

namespace tsr::tile {
namespace {

namespace fs = std::filesystem;

constexpr const char* kManifestName = "manifest.txt";
constexpr const char* kManifestHeader = "# tsrecon-tile manifest: a cube cut into blocks of whole lines";
// Bytes moved per transfer while copying: the cube never sits in memory.
constexpr size_t kCopyBuffer = size_t{1} << 20;

const ConsoleSink kQuiet = [](std::initializer_list<ListItem>) {};

std::string errno_text(int err) { return std::strerror(err); }

// ---------------------------------------------------------------------------
// Files.

// The one Env through which the blocks' files are read and written.
Env& files() {
  static const std::unique_ptr<Env> env = new_posix_env();
  return *env;
}

std::unique_ptr<File> open_or_fail(const std::string& path, OpenMode mode) {
  OpenResult opened = files().open(path, mode);
  if (opened.file == nullptr) throw TileError("cannot open " + path + ": " + errno_text(opened.error));
  return std::move(opened.file);
}

void close_or_fail(File& file, const std::string& path) {
  if (const int err = file.close(); err != 0) throw TileError("cannot close " + path + ": " + errno_text(err));
}

// Size of a regular file, or -1 when there is none.
int64_t file_size(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return -1;
  const auto size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

std::string read_whole_file(const std::string& path) {
  const std::unique_ptr<File> file = open_or_fail(path, OpenMode::kReadOnly);
  std::string text;
  char chunk[65536];
  for (;;) {
    const Transfer got = file->read_at(static_cast<int64_t>(text.size()), chunk, sizeof chunk);
    text.append(chunk, got.bytes);
    if (got.error != 0) throw TileError("cannot read " + path + ": " + errno_text(got.error));
    if (got.bytes < sizeof chunk) return text;
  }
}

// Writes the file under a temporary name and renames it into place, so a
// reader never sees half of it.
void write_whole_file(const std::string& path, std::string_view bytes) {
  const std::string temp = path + ".part";
  std::error_code ec;
  fs::remove(temp, ec);
  {
    const std::unique_ptr<File> file = open_or_fail(temp, OpenMode::kReadWriteCreate);
    const Transfer put = file->write_at(0, bytes.data(), bytes.size());
    if (put.bytes < bytes.size()) throw TileError("cannot write " + temp + ": " + errno_text(put.error));
    close_or_fail(*file, temp);
  }
  fs::rename(temp, path, ec);
  if (ec) throw TileError("cannot rename " + temp + ": " + ec.message());
}

// Copies `length` bytes from offset `from` of one file to offset `to` of
// another through `buffer`.
void copy_bytes(File& src, const std::string& src_path, int64_t from, File& dst, const std::string& dst_path,
                int64_t to, int64_t length, std::vector<char>& buffer) {
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(length, static_cast<int64_t>(buffer.size())));
    const Transfer got = src.read_at(from, buffer.data(), want);
    if (got.error != 0) throw TileError("cannot read " + src_path + ": " + errno_text(got.error));
    if (got.bytes < want) throw TileError(src_path + " ended while it was being read (did it shrink?)");
    const Transfer put = dst.write_at(to, buffer.data(), want);
    if (put.bytes < want) throw TileError("cannot write " + dst_path + ": " + errno_text(put.error));
    from += static_cast<int64_t>(want);
    to += static_cast<int64_t>(want);
    length -= static_cast<int64_t>(want);
  }
}

std::string blocks_folder(const std::string& dir, const std::string& blocks_dir) {
  return blocks_dir.empty() ? dir + "/blocks" : blocks_dir;
}

// The run parameters of a control file text, completed as tsrecon completes
// them; a text tsrecon would not run with is refused.
RunParameters read_parameters(std::string_view text, const std::string& path) {
  RunParameters p;
  try {
    read_control_text(text, p, kQuiet);
  } catch (const ControlFileError& e) {
    throw TileError(path + " cannot be read (tsrecon would stop with error " + std::to_string(e.number()) + ")");
  }
  const Status derived = derive_run_parameters(p);
  if (!derived.is_ok()) {
    std::string reason = derived.line();
    constexpr std::string_view kPrefix = "tsrecon: ";
    if (std::string_view(reason).substr(0, kPrefix.size()) == kPrefix) reason.erase(0, kPrefix.size());
    throw TileError(path + ": tsrecon would not run: " + reason);
  }
  return p;
}

std::string sizes_text(int32_t nb, int32_t nl, int32_t ns) {
  return "NB = " + std::to_string(nb) + ", NL = " + std::to_string(nl) + ", NS = " + std::to_string(ns);
}

// Refuses an input that holds fewer bytes than the run reads from it.
void check_input(const std::string& path, const CubeFile& f, const RunParameters& p) {
  const int64_t need = full_size(f, p.NL, p.NS);
  const int64_t have = file_size(path);
  if (have < 0) throw TileError(path + " is missing");
  if (have < need) {
    throw TileError(path + " holds " + std::to_string(have) + " bytes, but cntl.dat (" + sizes_text(p.NB, p.NL, p.NS) +
                    ") needs " + std::to_string(need));
  }
}

void copy_block_input(const std::string& whole_path, File& whole, const CubeFile& f, const RunParameters& p,
                      const Block& block, const std::string& block_path, std::vector<char>& buffer) {
  const std::unique_ptr<File> out = open_or_fail(block_path, OpenMode::kReadWriteCreate);
  for (const ByteRun& run : block_runs(f, p.NL, p.NS, block)) {
    copy_bytes(whole, whole_path, run.whole_offset, *out, block_path, run.block_offset, run.length, buffer);
  }
  close_or_fail(*out, block_path);
}

void remove_earlier_split(const std::string& blocks) {
  std::error_code ec;
  if (!fs::exists(blocks, ec)) return;
  if (file_size(blocks + "/" + kManifestName) < 0) {
    throw TileError(blocks + " exists and holds no " + kManifestName + ": not a blocks folder, left alone");
  }
  fs::remove_all(blocks, ec);
  if (ec) throw TileError("cannot remove the earlier split in " + blocks + ": " + ec.message());
}

int refuse(std::ostream& err, const std::string& reason) {
  err << "tsrecon-tile: " << reason << '\n';
  return 1;
}

// Parses a non-negative or signed decimal integer that fits 4 bytes.
bool parse_int32(std::string_view text, int32_t& value) {
  if (text.empty() || text.size() > 11) return false;
  size_t i = 0;
  const bool negative = text[0] == '-';
  if (negative) i = 1;
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool valid_block_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string block_name(int32_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "block-%04d", static_cast<int>(index));
  return name;
}

std::vector<Block> plan_blocks(int32_t nl, int32_t requested) {
  std::vector<Block> blocks;
  if (nl < 1 || requested < 1) return blocks;
  const int32_t count = requested < nl ? requested : nl;
  const int32_t base = nl / count;
  const int32_t longer = nl % count;  // this many blocks get one line more
  int32_t first = 1;
  for (int32_t k = 0; k < count; ++k) {
    const int32_t lines = base + (k < longer ? 1 : 0);
    blocks.push_back({block_name(k + 1), first, lines});
    first += lines;
  }
  return blocks;
}

std::string rewrite_line_count(std::string_view cntl_text, int32_t nl, int32_t ns) {
  ControlReader reader(cntl_text, kQuiet);
  int32_t nb = 0, old_nl = 0, old_ns = 0;
  reader.read_value_list({&nb});
  const size_t begin = reader.position();
  reader.read_value_list({&old_nl, &old_ns});
  const size_t end = reader.position();
  // The read took whole records, so the span ends just past a line feed.
  const bool crlf = end >= begin + 2 && cntl_text[end - 2] == '\r';
  std::string text(cntl_text.substr(0, begin));
  text += std::to_string(nl) + " " + std::to_string(ns) + (crlf ? "\r\n" : "\n");
  text += cntl_text.substr(end);
  return text;
}

bool same_run_except_lines(const RunParameters& a, const RunParameters& b) {
  RunParameters b_with_lines_of_a = b;
  b_with_lines_of_a.NL = a.NL;
  return a == b_with_lines_of_a;
}

std::string format_manifest(const Manifest& m) {
  std::string text = std::string(kManifestHeader) + "\n";
  const std::pair<const char*, int32_t> values[] = {{"NB", m.NB},   {"NL", m.NL},     {"NS", m.NS},
                                                    {"NP", m.NP},   {"INTP", m.INTP}, {"MASK", m.MASK}};
  for (const auto& [key, value] : values) text += std::string(key) + " " + std::to_string(value) + "\n";
  text += "blocks " + std::to_string(m.blocks.size()) + "\n";
  text += "# block NAME FIRST_LINE LINES\n";
  for (const Block& b : m.blocks) {
    text += "block " + b.name + " " + std::to_string(b.first_line) + " " + std::to_string(b.lines) + "\n";
  }
  return text;
}

Manifest parse_manifest(std::string_view text) {
  Manifest m;
  int32_t* const fields[] = {&m.NB, &m.NL, &m.NS, &m.NP, &m.INTP, &m.MASK};
  const char* const keys[] = {"NB", "NL", "NS", "NP", "INTP", "MASK"};
  bool seen[6] = {};
  int32_t count = -1;
  int line_number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string_view> words;
    for (size_t i = 0; i < line.size();) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      const size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
      if (i > start) words.push_back(line.substr(start, i - start));
    }
    const std::string where = "manifest line " + std::to_string(line_number);
    if (words.empty()) continue;
    if (words[0] == "block") {
      Block b;
      if (words.size() != 4 || !valid_block_name(words[1]) || !parse_int32(words[2], b.first_line) ||
          !parse_int32(words[3], b.lines)) {
        throw TileError(where + ": expected \"block NAME FIRST_LINE LINES\"");
      }
      b.name = std::string(words[1]);
      m.blocks.push_back(b);
      continue;
    }
    if (words.size() != 2) throw TileError(where + ": expected \"KEY value\"");
    if (words[0] == "blocks") {
      if (!parse_int32(words[1], count)) throw TileError(where + ": bad block count");
      continue;
    }
    bool known = false;
    for (int k = 0; k < 6; ++k) {
      if (words[0] != keys[k]) continue;
      if (!parse_int32(words[1], *fields[k])) throw TileError(where + ": bad value of " + keys[k]);
      seen[k] = known = true;
    }
    if (!known) throw TileError(where + ": unknown key " + std::string(words[0]));
  }
  for (int k = 0; k < 6; ++k) {
    if (!seen[k]) throw TileError(std::string("manifest lacks ") + keys[k]);
  }
  if (m.NB < 1 || m.NL < 1 || m.NS < 1 || m.NP < 1) throw TileError("manifest gives an empty cube");
  if (count < 0 || static_cast<size_t>(count) != m.blocks.size()) {
    throw TileError("manifest lists " + std::to_string(m.blocks.size()) + " blocks but says " +
                    (count < 0 ? std::string("nothing") : std::to_string(count)));
  }
  int32_t next = 1;
  for (const Block& b : m.blocks) {
    if (b.first_line != next || b.lines < 1 || b.lines > m.NL - next + 1) {
      throw TileError("manifest: " + b.name + " does not continue at line " + std::to_string(next) +
                      " within the cube's " + std::to_string(m.NL) + " lines");
    }
    for (const Block& other : m.blocks) {
      if (&other != &b && other.name == b.name) throw TileError("manifest names " + b.name + " twice");
    }
    next += b.lines;
  }
  if (next != m.NL + 1) throw TileError("manifest: the blocks end at line " + std::to_string(next - 1) + " of " +
                                        std::to_string(m.NL));
  return m;
}

CubeFile cube_file(const JobFile& entry, const Manifest& m) {
  return {std::string(entry.name), planes_of(entry, m.NB, m.NP), element_size(entry.type)};
}

std::vector<CubeFile> product_files(const Manifest& m) {
  std::vector<CubeFile> files;
  for (const JobFile& entry : kRunFiles) {
    if (!is_input(entry) && present_in_run(entry, m.INTP, m.MASK)) files.push_back(cube_file(entry, m));
  }
  return files;
}

std::vector<CubeFile> input_files(const Manifest& m) {
  std::vector<CubeFile> files;
  for (const JobFile& entry : kRunFiles) {
    if (is_input(entry) && present_in_run(entry, m.INTP, m.MASK)) files.push_back(cube_file(entry, m));
  }
  return files;
}

int64_t full_size(const CubeFile& f, int32_t lines, int32_t ns) {
  return int64_t{f.planes} * lines * ns * f.record_length;
}

std::vector<ByteRun> block_runs(const CubeFile& f, int32_t nl, int32_t ns, const Block& block) {
  std::vector<ByteRun> runs;
  const int64_t line_bytes = int64_t{ns} * f.record_length;
  for (int64_t plane = 0; plane < f.planes; ++plane) {
    ByteRun run;
    run.whole_offset = (plane * nl + (block.first_line - 1)) * line_bytes;
    run.block_offset = plane * block.lines * line_bytes;
    run.length = block.lines * line_bytes;
    runs.push_back(run);
  }
  return runs;
}

int split(const SplitOptions& options, std::ostream& out, std::ostream& err) {
  try {
    const std::string cntl_path = options.dir + "/cntl.dat";
    if (file_size(cntl_path) < 0) throw TileError(cntl_path + " is missing");
    const std::string cntl_text = read_whole_file(cntl_path);
    const RunParameters p = read_parameters(cntl_text, cntl_path);
    if (p.NL < 1 || p.NS < 1) {
      throw TileError(cntl_path + " gives " + sizes_text(p.NB, p.NL, p.NS) + ": no lines to split");
    }
    if (options.requested < 1) throw TileError("the number of blocks must be at least 1");

    Manifest m;
    m.NB = p.NB;
    m.NL = p.NL;
    m.NS = p.NS;
    m.NP = p.NP;
    m.INTP = p.INTP;
    m.MASK = p.MASK;
    const std::vector<CubeFile> inputs = input_files(m);
    for (const CubeFile& f : inputs) check_input(options.dir + "/" + f.name, f, p);

    const std::string blocks = blocks_folder(options.dir, options.blocks_dir);
    std::error_code ec;
    if (fs::exists(blocks, ec)) {
      if (!options.force) {
        throw TileError(blocks + " already exists; remove it, or give --force to replace an earlier split");
      }
      remove_earlier_split(blocks);
    }

    m.blocks = plan_blocks(p.NL, options.requested);
    if (options.requested > p.NL) {
      out << options.requested << " blocks asked for, but the cube has " << p.NL << " lines: making " << p.NL
          << " blocks of one line\n";
    }

    fs::create_directories(blocks, ec);
    if (ec) throw TileError("cannot create " + blocks + ": " + ec.message());
    std::vector<std::unique_ptr<File>> whole;
    for (const CubeFile& f : inputs) whole.push_back(open_or_fail(options.dir + "/" + f.name, OpenMode::kReadOnly));
    std::vector<char> buffer(kCopyBuffer);
    for (const Block& b : m.blocks) {
      const std::string folder = blocks + "/" + b.name;
      fs::create_directory(folder, ec);
      if (ec) throw TileError("cannot create " + folder + ": " + ec.message());
      const std::string block_cntl = rewrite_line_count(cntl_text, b.lines, p.NS);
      // The block must be the same job on fewer lines; check by reading it back.
      const RunParameters q = read_parameters(block_cntl, folder + "/cntl.dat");
      if (q.NL != b.lines || !same_run_except_lines(p, q)) {
        throw TileError("the control file of " + b.name + " does not read back as the same job");
      }
      write_whole_file(folder + "/cntl.dat", block_cntl);
      for (size_t i = 0; i < inputs.size(); ++i) {
        copy_block_input(options.dir + "/" + inputs[i].name, *whole[i], inputs[i], p, b,
                         folder + "/" + inputs[i].name, buffer);
      }
      out << b.name << ": lines " << b.first_line << ".." << (b.first_line + b.lines - 1) << " (" << b.lines
          << " lines)\n";
    }
    // The manifest comes last: a folder without one is an unfinished split.
    write_whole_file(blocks + "/" + kManifestName, format_manifest(m));
    out << "split " << sizes_text(p.NB, p.NL, p.NS) << " into " << m.blocks.size() << " blocks in " << blocks
        << "\n";
    return 0;
  } catch (const TileError& e) {
    return refuse(err, e.what());
  } catch (const ControlFileError& e) {
    return refuse(err, e.what());
  }
}

static Manifest read_manifest(const std::string& blocks) {
  const std::string manifest_path = blocks + "/" + kManifestName;
  if (file_size(manifest_path) < 0) throw TileError(manifest_path + " is missing: nothing was split there");
  return parse_manifest(read_whole_file(manifest_path));
}

int list_files(const MergeOptions& options, bool inputs, std::ostream& out, std::ostream& err) {
  try {
    const Manifest m = read_manifest(blocks_folder(options.dir, options.blocks_dir));
    for (const CubeFile& f : inputs ? input_files(m) : product_files(m)) out << f.name << "\n";
    return 0;
  } catch (const TileError& e) {
    return refuse(err, e.what());
  }
}

int merge(const MergeOptions& options, std::ostream& out, std::ostream& err) {
  try {
    const std::string blocks = blocks_folder(options.dir, options.blocks_dir);
    const Manifest m = read_manifest(blocks);

    // The products go where the whole job lives; when its control file is
    // there, it must still describe the cube that was split.
    const std::string cntl_path = options.dir + "/cntl.dat";
    if (file_size(cntl_path) >= 0) {
      const RunParameters p = read_parameters(read_whole_file(cntl_path), cntl_path);
      if (p.NB != m.NB || p.NL != m.NL || p.NS != m.NS || p.NP != m.NP || p.INTP != m.INTP) {
        throw TileError(cntl_path + " (" + sizes_text(p.NB, p.NL, p.NS) + ", NP = " + std::to_string(p.NP) +
                        ", INTP = " + std::to_string(p.INTP) + ") no longer matches the split in " + blocks);
      }
    }

    // Every block must have finished before anything is written: each
    // product present and at least as long as a complete run makes it.
    const std::vector<CubeFile> products = product_files(m);
    std::vector<std::string> problems;
    for (const Block& b : m.blocks) {
      for (const CubeFile& f : products) {
        const std::string path = blocks + "/" + b.name + "/" + f.name;
        const int64_t need = full_size(f, b.lines, m.NS);
        const int64_t have = file_size(path);
        if (have < 0) {
          problems.push_back(b.name + " did not finish: " + f.name + " is missing (" + path + ")");
        } else if (have < need) {
          problems.push_back(b.name + " did not finish: " + f.name + " holds " + std::to_string(have) + " of " +
                             std::to_string(need) + " bytes (" + path + ")");
        }
      }
    }
    if (!problems.empty()) {
      for (const std::string& p : problems) err << "tsrecon-tile: " << p << '\n';
      err << "tsrecon-tile: nothing merged; run the unfinished blocks again, then merge\n";
      return 1;
    }

    // Written in place like the program writes: an existing, longer product
    // keeps its bytes beyond the complete size.
    std::vector<char> buffer(kCopyBuffer);
    for (const CubeFile& f : products) {
      const std::string whole_path = options.dir + "/" + f.name;
      const std::unique_ptr<File> whole = open_or_fail(whole_path, OpenMode::kReadWriteCreate);
      for (const Block& b : m.blocks) {
        const std::string path = blocks + "/" + b.name + "/" + f.name;
        const std::unique_ptr<File> part = open_or_fail(path, OpenMode::kReadOnly);
        for (const ByteRun& run : block_runs(f, m.NL, m.NS, b)) {
          copy_bytes(*part, path, run.block_offset, *whole, whole_path, run.whole_offset, run.length, buffer);
        }
      }
      close_or_fail(*whole, whole_path);
      out << "merged " << f.name << ": " << f.planes << (f.planes == 1 ? " plane" : " planes") << " of " << m.NL
          << " x " << m.NS << " from " << m.blocks.size() << " blocks\n";
    }
    return 0;
  } catch (const TileError& e) {
    return refuse(err, e.what());
  }
}

}  // namespace tsr::tile
