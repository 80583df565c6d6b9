#include "tools/tile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "control/control_syntax.h"

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

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  // Closes now, reporting a failed close (the last chance to see a failed
  // write on some file systems).
  void close(const std::string& path) {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) throw TileError("cannot close " + path + ": " + errno_text(errno));
  }

 private:
  int fd_ = -1;
};

Fd open_or_fail(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) throw TileError("cannot open " + path + ": " + errno_text(errno));
  return Fd(fd);
}

// Size of a regular file, or -1 when there is none.
int64_t file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TileError("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw TileError("cannot read " + path);
  return text.str();
}

// Writes the file under a temporary name and renames it into place, so a
// reader never sees half of it.
void write_whole_file(const std::string& path, std::string_view bytes) {
  const std::string temp = path + ".part";
  {
    Fd fd = open_or_fail(temp, O_WRONLY | O_CREAT | O_TRUNC);
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw TileError("cannot write " + temp + ": " + errno_text(errno));
      done += static_cast<size_t>(n);
    }
    fd.close(temp);
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) throw TileError("cannot rename " + temp + ": " + errno_text(errno));
}

// Copies `length` bytes from offset `from` of one file to offset `to` of
// another through `buffer`, resuming short and interrupted transfers.
void copy_bytes(int src, const std::string& src_path, int64_t from, int dst, const std::string& dst_path, int64_t to,
                int64_t length, std::vector<char>& buffer) {
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(length, static_cast<int64_t>(buffer.size())));
    size_t got = 0;
    while (got < want) {
      const ssize_t n = ::pread(src, buffer.data() + got, want - got, static_cast<off_t>(from + static_cast<int64_t>(got)));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw TileError("cannot read " + src_path + ": " + errno_text(errno));
      if (n == 0) throw TileError(src_path + " ended while it was being read (did it shrink?)");
      got += static_cast<size_t>(n);
    }
    size_t put = 0;
    while (put < want) {
      const ssize_t n = ::pwrite(dst, buffer.data() + put, want - put, static_cast<off_t>(to + static_cast<int64_t>(put)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw TileError("cannot write " + dst_path + ": " + errno_text(errno));
      put += static_cast<size_t>(n);
    }
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
  std::string reason = complete_run_parameters(p);
  if (!reason.empty()) {
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

void copy_block_input(const std::string& whole_path, int whole_fd, const CubeFile& f, const RunParameters& p,
                      const Block& block, const std::string& block_path, std::vector<char>& buffer) {
  Fd out = open_or_fail(block_path, O_WRONLY | O_CREAT | O_TRUNC);
  for (const ByteRun& run : block_runs(f, p.NL, p.NS, block)) {
    copy_bytes(whole_fd, whole_path, run.whole_offset, out.get(), block_path, run.block_offset, run.length, buffer);
  }
  out.close(block_path);
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
  const auto same_real = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
  if (a.NB != b.NB || a.NS != b.NS || a.NDAT != b.NDAT || a.NFUNC != b.NFUNC || a.NDEF != b.NDEF ||
      a.ISPOT != b.ISPOT || a.NWIN != b.NWIN || a.INTP != b.INTP || a.SELECT != b.SELECT || a.MMSW != b.MMSW ||
      !same_real(a.TCLD, b.TCLD) || a.FITSW != b.FITSW || a.MASK != b.MASK || a.FITMD != b.FITMD ||
      a.NPOINT != b.NPOINT || a.NP != b.NP || !same_real(a.upper_threshold, b.upper_threshold) ||
      !same_real(a.lower_threshold, b.lower_threshold) || a.excluded_count != b.excluded_count) {
    return false;
  }
  for (int32_t k = 0; k < a.excluded_count && k < kMaxExcludedBands; ++k) {
    if (a.excluded_bands[k] != b.excluded_bands[k]) return false;
  }
  return true;
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

std::vector<CubeFile> product_files(const Manifest& m) {
  std::vector<CubeFile> files;
  files.push_back({"p.bsq", m.NP, 4});
  if (m.INTP == 1) files.push_back({"i.bsq", m.NB, 2});
  files.push_back({"f.bsq", m.NB, 2});
  files.push_back({"order.dat", 1, 1});
  files.push_back({"aic.dat", 1, 4});
  files.push_back({"min.dat", 1, 2});
  files.push_back({"max.dat", 1, 2});
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

    const CubeFile data{"data.bsq", p.NB, 2};
    const CubeFile mask{"mask.bsq", p.NB, 1};
    const std::string data_path = options.dir + "/" + data.name;
    const std::string mask_path = options.dir + "/" + mask.name;
    check_input(data_path, data, p);
    if (p.MASK == 1) check_input(mask_path, mask, p);

    const std::string blocks = blocks_folder(options.dir, options.blocks_dir);
    std::error_code ec;
    if (fs::exists(blocks, ec)) {
      if (!options.force) {
        throw TileError(blocks + " already exists; remove it, or give --force to replace an earlier split");
      }
      remove_earlier_split(blocks);
    }

    Manifest m;
    m.NB = p.NB;
    m.NL = p.NL;
    m.NS = p.NS;
    m.NP = p.NP;
    m.INTP = p.INTP;
    m.MASK = p.MASK;
    m.blocks = plan_blocks(p.NL, options.requested);
    if (options.requested > p.NL) {
      out << options.requested << " blocks asked for, but the cube has " << p.NL << " lines: making " << p.NL
          << " blocks of one line\n";
    }

    fs::create_directories(blocks, ec);
    if (ec) throw TileError("cannot create " + blocks + ": " + ec.message());
    Fd data_fd = open_or_fail(data_path, O_RDONLY);
    Fd mask_fd;
    if (p.MASK == 1) mask_fd = open_or_fail(mask_path, O_RDONLY);
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
      copy_block_input(data_path, data_fd.get(), data, p, b, folder + "/" + data.name, buffer);
      if (p.MASK == 1) copy_block_input(mask_path, mask_fd.get(), mask, p, b, folder + "/" + mask.name, buffer);
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

int merge(const MergeOptions& options, std::ostream& out, std::ostream& err) {
  try {
    const std::string blocks = blocks_folder(options.dir, options.blocks_dir);
    const std::string manifest_path = blocks + "/" + kManifestName;
    if (file_size(manifest_path) < 0) throw TileError(manifest_path + " is missing: nothing was split there");
    const Manifest m = parse_manifest(read_whole_file(manifest_path));

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
      Fd whole = open_or_fail(whole_path, O_RDWR | O_CREAT);
      for (const Block& b : m.blocks) {
        const std::string path = blocks + "/" + b.name + "/" + f.name;
        Fd part = open_or_fail(path, O_RDONLY);
        for (const ByteRun& run : block_runs(f, m.NL, m.NS, b)) {
          copy_bytes(part.get(), path, run.block_offset, whole.get(), whole_path, run.whole_offset, run.length, buffer);
        }
      }
      whole.close(whole_path);
      out << "merged " << f.name << ": " << f.planes << (f.planes == 1 ? " plane" : " planes") << " of " << m.NL
          << " x " << m.NS << " from " << m.blocks.size() << " blocks\n";
    }
    return 0;
  } catch (const TileError& e) {
    return refuse(err, e.what());
  }
}

}  // namespace tsr::tile
