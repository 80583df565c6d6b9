#include "tools/tile/tile.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

#include "control/control_syntax.h"
#include "domain/run_files.h"

namespace tsr::tile {
namespace {

constexpr const char* kManifestName = "manifest.txt";
constexpr const char* kManifestHeader = "# tsrecon-tile manifest: a cube cut into blocks of whole lines";
// Bytes moved per transfer while copying: the cube never sits in memory.
constexpr size_t kCopyBuffer = size_t{1} << 20;

const ConsoleSink kQuiet = [](std::initializer_list<ListItem>) {};

Status refuse(std::string reason) { return Status::refused(std::move(reason)); }

// ---------------------------------------------------------------------------
// Files, through the Env.

Status open_file(Env& env, const std::string& path, OpenMode mode, std::unique_ptr<File>* file) {
  OpenResult opened = env.open(path, mode);
  if (opened.file == nullptr) return refuse("cannot open " + path + ": " + error_text(opened.error));
  *file = std::move(opened.file);
  return Status::ok();
}

Status close_file(File& file, const std::string& path) {
  if (const int err = file.close(); err != 0) return refuse("cannot close " + path + ": " + error_text(err));
  return Status::ok();
}

// Size of a regular file, or -1 when there is none.
int64_t file_size(Env& env, const std::string& path) {
  FileInfo info;
  if (env.file_info(path, &info) != 0 || info.type != FileType::kRegular) return -1;
  return info.size;
}

bool exists(Env& env, const std::string& path) {
  FileInfo info;
  return env.file_info(path, &info) == 0;
}

Status read_whole_file(Env& env, const std::string& path, std::string* text) {
  std::unique_ptr<File> file;
  TSR_RETURN_IF_ERROR(open_file(env, path, OpenMode::kReadOnly, &file));
  text->clear();
  char chunk[65536];
  for (;;) {
    const Transfer got = file->read_at(static_cast<int64_t>(text->size()), chunk, sizeof chunk);
    text->append(chunk, got.bytes);
    if (got.error != 0) return refuse("cannot read " + path + ": " + error_text(got.error));
    if (got.bytes < sizeof chunk) return Status::ok();
  }
}

// Writes the file under a temporary name and renames it into place, so a
// reader never sees half of it.
Status write_whole_file(Env& env, const std::string& path, std::string_view bytes) {
  const std::string temp = path + ".part";
  env.remove_file(temp);
  {
    std::unique_ptr<File> file;
    TSR_RETURN_IF_ERROR(open_file(env, temp, OpenMode::kReadWriteCreate, &file));
    const Transfer put = file->write_at(0, bytes.data(), bytes.size());
    if (put.bytes < bytes.size()) return refuse("cannot write " + temp + ": " + error_text(put.error));
    TSR_RETURN_IF_ERROR(close_file(*file, temp));
  }
  if (const int err = env.rename_file(temp, path); err != 0) {
    return refuse("cannot rename " + temp + ": " + error_text(err));
  }
  return Status::ok();
}

// One side of a copy: an open file and its name for messages.
struct CopyEnd {
  File& file;
  const std::string& path;
  int64_t offset;
};

// Copies `length` bytes from one file to another through `buffer`.
Status copy_bytes(CopyEnd from, CopyEnd to, int64_t length, std::vector<char>& buffer) {
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(length, static_cast<int64_t>(buffer.size())));
    const Transfer got = from.file.read_at(from.offset, buffer.data(), want);
    if (got.error != 0) return refuse("cannot read " + from.path + ": " + error_text(got.error));
    if (got.bytes < want) return refuse(from.path + " ended while it was being read (did it shrink?)");
    const Transfer put = to.file.write_at(to.offset, buffer.data(), want);
    if (put.bytes < want) return refuse("cannot write " + to.path + ": " + error_text(put.error));
    from.offset += static_cast<int64_t>(want);
    to.offset += static_cast<int64_t>(want);
    length -= static_cast<int64_t>(want);
  }
  return Status::ok();
}

std::string blocks_folder(const std::string& dir, const std::string& blocks_dir) {
  return blocks_dir.empty() ? dir + "/blocks" : blocks_dir;
}

// The run parameters of a control file text, completed as tsrecon completes
// them; a text tsrecon would not run with is refused.
Status read_parameters(std::string_view text, const std::string& path, RunParameters* p) {
  const Status read = read_control_text(text, *p, kQuiet);
  if (!read.is_ok()) {
    return refuse(path + " cannot be read (tsrecon would stop with error " + std::to_string(read.number()) + ")");
  }
  const Status derived = derive_run_parameters(*p);
  if (!derived.is_ok()) return refuse(path + ": tsrecon would not run: " + derived.message());
  return Status::ok();
}

std::string sizes_text(int32_t nb, int32_t nl, int32_t ns) {
  return "NB = " + std::to_string(nb) + ", NL = " + std::to_string(nl) + ", NS = " + std::to_string(ns);
}

// Refuses an input that holds fewer bytes than the run reads from it.
Status check_input(Env& env, const std::string& path, const FileLayout& f, const RunParameters& p) {
  const int64_t need = full_size(f, p.NL, p.NS);
  const int64_t have = file_size(env, path);
  if (have < 0) return refuse(path + " is missing");
  if (have < need) {
    return refuse(path + " holds " + std::to_string(have) + " bytes, but cntl.dat (" + sizes_text(p.NB, p.NL, p.NS) +
                  ") needs " + std::to_string(need));
  }
  return Status::ok();
}

Status copy_block_input(Env& env, CopyEnd whole, const FileLayout& f, const RunParameters& p, const Block& block,
                        const std::string& block_path, std::vector<char>& buffer) {
  std::unique_ptr<File> out;
  TSR_RETURN_IF_ERROR(open_file(env, block_path, OpenMode::kReadWriteCreate, &out));
  for (const ByteRun& run : block_runs(f, p.NL, p.NS, block)) {
    TSR_RETURN_IF_ERROR(copy_bytes({whole.file, whole.path, run.whole_offset}, {*out, block_path, run.block_offset},
                                   run.length, buffer));
  }
  return close_file(*out, block_path);
}

Status remove_earlier_split(Env& env, const std::string& blocks) {
  if (!exists(env, blocks)) return Status::ok();
  if (file_size(env, blocks + "/" + kManifestName) < 0) {
    return refuse(blocks + " exists and holds no " + kManifestName + ": not a blocks folder, left alone");
  }
  if (const int err = remove_tree(env, blocks); err != 0) {
    return refuse("cannot remove the earlier split in " + blocks + ": " + error_text(err));
  }
  return Status::ok();
}

Status read_manifest(Env& env, const std::string& blocks, Manifest* m) {
  const std::string manifest_path = blocks + "/" + kManifestName;
  if (file_size(env, manifest_path) < 0) return refuse(manifest_path + " is missing: nothing was split there");
  std::string text;
  TSR_RETURN_IF_ERROR(read_whole_file(env, manifest_path, &text));
  return parse_manifest(text, m);
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

Status rewrite_line_count(std::string_view cntl_text, int32_t nl, int32_t ns, std::string* rewritten) {
  ControlReader reader(cntl_text, kQuiet);
  int32_t nb = 0, old_nl = 0, old_ns = 0;
  TSR_RETURN_IF_ERROR(reader.read_value_list({&nb}));
  const size_t begin = reader.position();
  TSR_RETURN_IF_ERROR(reader.read_value_list({&old_nl, &old_ns}));
  const size_t end = reader.position();
  // The read took whole records, so the span ends just past a line feed.
  const bool crlf = end >= begin + 2 && cntl_text[end - 2] == '\r';
  std::string text(cntl_text.substr(0, begin));
  text += std::to_string(nl) + " " + std::to_string(ns) + (crlf ? "\r\n" : "\n");
  text += cntl_text.substr(end);
  *rewritten = std::move(text);
  return Status::ok();
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

Status parse_manifest(std::string_view text, Manifest* out) {
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
        return refuse(where + ": expected \"block NAME FIRST_LINE LINES\"");
      }
      b.name = std::string(words[1]);
      m.blocks.push_back(b);
      continue;
    }
    if (words.size() != 2) return refuse(where + ": expected \"KEY value\"");
    if (words[0] == "blocks") {
      if (!parse_int32(words[1], count)) return refuse(where + ": bad block count");
      continue;
    }
    bool known = false;
    for (int k = 0; k < 6; ++k) {
      if (words[0] != keys[k]) continue;
      if (!parse_int32(words[1], *fields[k])) return refuse(where + ": bad value of " + keys[k]);
      seen[k] = known = true;
    }
    if (!known) return refuse(where + ": unknown key " + std::string(words[0]));
  }
  for (int k = 0; k < 6; ++k) {
    if (!seen[k]) return refuse(std::string("manifest lacks ") + keys[k]);
  }
  if (m.NB < 1 || m.NL < 1 || m.NS < 1 || m.NP < 1) return refuse("manifest gives an empty cube");
  if (count < 0 || static_cast<size_t>(count) != m.blocks.size()) {
    return refuse("manifest lists " + std::to_string(m.blocks.size()) + " blocks but says " +
                    (count < 0 ? std::string("nothing") : std::to_string(count)));
  }
  int32_t next = 1;
  for (const Block& b : m.blocks) {
    if (b.first_line != next || b.lines < 1 || b.lines > m.NL - next + 1) {
      return refuse("manifest: " + b.name + " does not continue at line " + std::to_string(next) +
                      " within the cube's " + std::to_string(m.NL) + " lines");
    }
    for (const Block& other : m.blocks) {
      if (&other != &b && other.name == b.name) return refuse("manifest names " + b.name + " twice");
    }
    next += b.lines;
  }
  if (next != m.NL + 1) return refuse("manifest: the blocks end at line " + std::to_string(next - 1) + " of " +
                                        std::to_string(m.NL));
  *out = std::move(m);
  return Status::ok();
}

FileLayout layout_of(const JobFile& entry, const Manifest& m) {
  return {std::string(entry.name), planes_of(entry, m.NB, m.NP), element_size(entry.type)};
}

std::vector<FileLayout> product_files(const Manifest& m) {
  std::vector<FileLayout> files;
  for (const JobFile& entry : kRunFiles) {
    if (!is_input(entry) && present_in_run(entry, m.INTP, m.MASK)) files.push_back(layout_of(entry, m));
  }
  return files;
}

std::vector<FileLayout> input_files(const Manifest& m) {
  std::vector<FileLayout> files;
  for (const JobFile& entry : kRunFiles) {
    if (is_input(entry) && present_in_run(entry, m.INTP, m.MASK)) files.push_back(layout_of(entry, m));
  }
  return files;
}

int64_t full_size(const FileLayout& f, int32_t lines, int32_t ns) {
  return int64_t{f.planes} * lines * ns * f.record_length;
}

std::vector<ByteRun> block_runs(const FileLayout& f, int32_t nl, int32_t ns, const Block& block) {
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

Status split(Env& env, const SplitOptions& options, SplitReport* report) {
  report->requested = options.requested;
  report->blocks_dir = blocks_folder(options.dir, options.blocks_dir);
  const std::string& blocks = report->blocks_dir;
  const std::string cntl_path = options.dir + "/cntl.dat";
  if (file_size(env, cntl_path) < 0) return refuse(cntl_path + " is missing");
  std::string cntl_text;
  TSR_RETURN_IF_ERROR(read_whole_file(env, cntl_path, &cntl_text));
  RunParameters p;
  TSR_RETURN_IF_ERROR(read_parameters(cntl_text, cntl_path, &p));
  if (p.NL < 1 || p.NS < 1) return refuse(cntl_path + " gives " + sizes_text(p.NB, p.NL, p.NS) + ": no lines to split");
  if (options.requested < 1) return refuse("the number of blocks must be at least 1");

  Manifest& m = report->manifest;
  m = Manifest{p.NB, p.NL, p.NS, p.NP, p.INTP, p.MASK, {}};
  const std::vector<FileLayout> inputs = input_files(m);
  for (const FileLayout& f : inputs) TSR_RETURN_IF_ERROR(check_input(env, options.dir + "/" + f.name, f, p));

  if (exists(env, blocks)) {
    if (!options.force) return refuse(blocks + " already exists; remove it, or give --force to replace an earlier split");
    TSR_RETURN_IF_ERROR(remove_earlier_split(env, blocks));
  }
  m.blocks = plan_blocks(p.NL, options.requested);

  if (const int err = create_directories(env, blocks); err != 0) {
    return refuse("cannot create " + blocks + ": " + error_text(err));
  }
  std::vector<std::unique_ptr<File>> whole(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    TSR_RETURN_IF_ERROR(open_file(env, options.dir + "/" + inputs[i].name, OpenMode::kReadOnly, &whole[i]));
  }
  std::vector<char> buffer(kCopyBuffer);
  for (const Block& b : m.blocks) {
    const std::string folder = blocks + "/" + b.name;
    if (const int err = create_directories(env, folder); err != 0) {
      return refuse("cannot create " + folder + ": " + error_text(err));
    }
    std::string block_cntl;
    if (const Status s = rewrite_line_count(cntl_text, b.lines, p.NS, &block_cntl); !s.is_ok()) {
      return refuse(cntl_path + " cannot be read (tsrecon would stop with error " + std::to_string(s.number()) + ")");
    }
    // The block must be the same job on fewer lines; check by reading it back.
    RunParameters q;
    TSR_RETURN_IF_ERROR(read_parameters(block_cntl, folder + "/cntl.dat", &q));
    if (q.NL != b.lines || !same_run_except_lines(p, q)) {
      return refuse("the control file of " + b.name + " does not read back as the same job");
    }
    TSR_RETURN_IF_ERROR(write_whole_file(env, folder + "/cntl.dat", block_cntl));
    for (size_t i = 0; i < inputs.size(); ++i) {
      const std::string whole_path = options.dir + "/" + inputs[i].name;
      TSR_RETURN_IF_ERROR(copy_block_input(env, {*whole[i], whole_path, 0}, inputs[i], p, b,
                                           folder + "/" + inputs[i].name, buffer));
    }
    ++report->blocks_written;
  }
  // The manifest comes last: a folder without one is an unfinished split.
  TSR_RETURN_IF_ERROR(write_whole_file(env, blocks + "/" + kManifestName, format_manifest(m)));
  report->done = true;
  return Status::ok();
}

Status list_files(Env& env, const MergeOptions& options, FileSet which, std::vector<std::string>* names) {
  Manifest m;
  TSR_RETURN_IF_ERROR(read_manifest(env, blocks_folder(options.dir, options.blocks_dir), &m));
  names->clear();
  for (const FileLayout& f : which == FileSet::kInputs ? input_files(m) : product_files(m)) names->push_back(f.name);
  return Status::ok();
}

Status merge(Env& env, const MergeOptions& options, MergeReport* report) {
  const std::string blocks = blocks_folder(options.dir, options.blocks_dir);
  Manifest& m = report->manifest;
  TSR_RETURN_IF_ERROR(read_manifest(env, blocks, &m));

  // The products go where the whole job lives; when its control file is
  // there, it must still describe the cube that was split.
  const std::string cntl_path = options.dir + "/cntl.dat";
  if (file_size(env, cntl_path) >= 0) {
    std::string text;
    TSR_RETURN_IF_ERROR(read_whole_file(env, cntl_path, &text));
    RunParameters p;
    TSR_RETURN_IF_ERROR(read_parameters(text, cntl_path, &p));
    if (p.NB != m.NB || p.NL != m.NL || p.NS != m.NS || p.NP != m.NP || p.INTP != m.INTP) {
      return refuse(cntl_path + " (" + sizes_text(p.NB, p.NL, p.NS) + ", NP = " + std::to_string(p.NP) +
                    ", INTP = " + std::to_string(p.INTP) + ") no longer matches the split in " + blocks);
    }
  }

  // Every block must have finished before anything is written: each
  // product present and at least as long as a complete run makes it.
  const std::vector<FileLayout> products = product_files(m);
  for (const Block& b : m.blocks) {
    for (const FileLayout& f : products) {
      const std::string path = blocks + "/" + b.name + "/" + f.name;
      const int64_t need = full_size(f, b.lines, m.NS);
      const int64_t have = file_size(env, path);
      if (have < need) report->unfinished.push_back({b.name, f.name, path, have, need});
    }
  }
  if (!report->unfinished.empty()) return refuse("nothing merged; run the unfinished blocks again, then merge");

  // Written in place like the program writes: an existing, longer product
  // keeps its bytes beyond the complete size.
  std::vector<char> buffer(kCopyBuffer);
  for (const FileLayout& f : products) {
    const std::string whole_path = options.dir + "/" + f.name;
    std::unique_ptr<File> whole;
    TSR_RETURN_IF_ERROR(open_file(env, whole_path, OpenMode::kReadWriteCreate, &whole));
    for (const Block& b : m.blocks) {
      const std::string path = blocks + "/" + b.name + "/" + f.name;
      std::unique_ptr<File> part;
      TSR_RETURN_IF_ERROR(open_file(env, path, OpenMode::kReadOnly, &part));
      for (const ByteRun& run : block_runs(f, m.NL, m.NS, b)) {
        TSR_RETURN_IF_ERROR(copy_bytes({*part, path, run.block_offset}, {*whole, whole_path, run.whole_offset},
                                       run.length, buffer));
      }
    }
    TSR_RETURN_IF_ERROR(close_file(*whole, whole_path));
    report->merged.push_back(f);
  }
  return Status::ok();
}

std::vector<std::string> split_lines(const SplitReport& r) {
  std::vector<std::string> lines;
  const Manifest& m = r.manifest;
  if (m.blocks.empty()) return lines;
  if (r.requested > m.NL) {
    lines.push_back(std::to_string(r.requested) + " blocks asked for, but the cube has " + std::to_string(m.NL) +
                    " lines: making " + std::to_string(m.NL) + " blocks of one line");
  }
  for (size_t k = 0; k < r.blocks_written && k < m.blocks.size(); ++k) {
    const Block& b = m.blocks[k];
    lines.push_back(b.name + ": lines " + std::to_string(b.first_line) + ".." +
                    std::to_string(b.first_line + b.lines - 1) + " (" + std::to_string(b.lines) + " lines)");
  }
  if (r.done) {
    lines.push_back("split " + sizes_text(m.NB, m.NL, m.NS) + " into " + std::to_string(m.blocks.size()) +
                    " blocks in " + r.blocks_dir);
  }
  return lines;
}

std::vector<std::string> merge_lines(const MergeReport& r) {
  std::vector<std::string> lines;
  const Manifest& m = r.manifest;
  for (const FileLayout& f : r.merged) {
    lines.push_back("merged " + f.name + ": " + std::to_string(f.planes) + (f.planes == 1 ? " plane" : " planes") +
                    " of " + std::to_string(m.NL) + " x " + std::to_string(m.NS) + " from " +
                    std::to_string(m.blocks.size()) + " blocks");
  }
  return lines;
}

std::vector<std::string> unfinished_lines(const MergeReport& r) {
  std::vector<std::string> lines;
  for (const UnfinishedProduct& u : r.unfinished) {
    lines.push_back(u.size < 0 ? u.block + " did not finish: " + u.file + " is missing (" + u.path + ")"
                               : u.block + " did not finish: " + u.file + " holds " + std::to_string(u.size) +
                                     " of " + std::to_string(u.needed) + " bytes (" + u.path + ")");
  }
  return lines;
}

}  // namespace tsr::tile
