#include "tools/seasons/season_maps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "control/execution.h"
#include "control/run_parameters.h"
#include "domain/model.h"
#include "domain/run_files.h"
#include "io/conversions.h"
#include "io/image_file.h"
#include "runtime/errors.h"
#include "runtime/workers.h"
#include "seasons/seasons.h"
#include "stack/dates.h"
#include "tools/common/envi_header.h"
#include "tools/common/input_header.h"
#include "tools/headers/product_headers.h"

namespace tsr::tools {
namespace {

// The maps are written here and renamed when complete.
constexpr const char* kPartialName = "seasons.bsq.part";
// Pixels one worker takes at a time.
constexpr int64_t kChunkPixels = 512;

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// The run's parameters, refused in the words of the other companions.
Status load_parameters(Env& env, RunParameters* p) {
  const Status loaded = load_run_parameters(env, kControlFile, *p);
  if (loaded.is_ok()) return loaded;
  if (loaded.code() == Status::Code::kRefused)
    return Status::refused("tsrecon refuses this cntl.dat: " + loaded.line("tsrecon"));
  if (loaded.number() == kErrFileNotFound || loaded.number() == kErrPermissionDenied || loaded.number() == kErrRead)
    return Status::refused("cannot read cntl.dat in " + env.working_directory());
  return Status::refused("cntl.dat cannot be read as tsrecon reads it: " + loaded.line("tsrecon"));
}

// Opens a product of the run for reading and checks that it holds what
// cntl.dat gives it.
Status open_product(Env& env, const RunParameters& p, std::string_view name, ImageFile* file) {
  const JobFile& entry = run_file(name);
  const Status s = file->open_read_only(env, entry, 1);
  if (s.number() == kErrInconsistentOpen) {
    const ByteOrder order = byte_order_of(env, entry);
    return Status::refused(order.variable + "=" + order.value + " is not a byte order tsrecon accepts");
  }
  if (!s.is_ok())
    return Status::refused("cannot open " + std::string(name) + " in " + env.working_directory() +
                           " (run tsrecon there first)");
  const int64_t need = full_file_bytes(entry, p.NB, p.NP, p.NL, p.NS);
  const int64_t size = file->size();
  if (size < need)
    return Status::refused(std::string(name) + " holds " + std::to_string(size) + " bytes, less than the " +
                           std::to_string(need) + " that cntl.dat gives it (an unfinished run, or another cube?): "
                           "run tsrecon to the end first");
  return Status::ok();
}

// Reads `bytes` bytes at `offset` in full.
Status read_fully(ImageFile& file, int64_t offset, void* buffer, size_t bytes) {
  const Transfer t = file.read_at(offset, buffer, bytes);
  if (t.bytes == bytes) return Status::ok();
  return Status::refused("cannot read " + file.name() + " at byte " + std::to_string(offset + static_cast<int64_t>(t.bytes)) +
                         (t.error != 0 ? ": " + error_text(t.error) : std::string(": it ends there")));
}

float load_real4(const unsigned char* b, bool swap) {
  const uint32_t bits = swap ? (uint32_t{b[3]} | uint32_t{b[2]} << 8 | uint32_t{b[1]} << 16 | uint32_t{b[0]} << 24)
                             : (uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24);
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// The maps being written: removed unless kept.
class PartialFile {
 public:
  explicit PartialFile(Env& env) : env_(env) {}
  ~PartialFile() {
    if (file_ != nullptr) file_.reset();
    if (created_) env_.remove_file(kPartialName);
  }
  Status create() {
    OpenResult r = env_.open(kPartialName, OpenMode::kWriteTruncate);
    if (r.file == nullptr) return failure("cannot create", r.error);
    file_ = std::move(r.file);
    created_ = true;
    return Status::ok();
  }
  Status write(int64_t offset, const unsigned char* bytes, size_t size) {
    const Transfer t = file_->write_at(offset, bytes, size);
    return t.bytes == size ? Status::ok() : failure("cannot write", t.error);
  }
  // Closes the file and gives it its name.
  Status keep() {
    const int closed = file_->close();
    file_.reset();
    if (closed != 0) return failure("cannot write", closed);
    if (const int e = env_.rename_file(kPartialName, std::string(kSeasonsFile)); e != 0)
      return failure("cannot rename to " + std::string(kSeasonsFile) + ":", e);
    created_ = false;
    return Status::ok();
  }

 private:
  Status failure(const std::string& what, int err) const {
    return Status::refused(what + " " + kPartialName + " in " + env_.working_directory() +
                           (err != 0 ? ": " + error_text(err) : std::string()));
  }
  Env& env_;
  std::unique_ptr<File> file_;
  bool created_ = false;
};

}  // namespace

Status make_season_maps(Env& env, const SeasonMapsOptions& options, SeasonMapsReport* report) {
  SeasonMapsReport& r = *report;
  r = SeasonMapsReport{};
  RunParameters p;
  TSR_RETURN_IF_ERROR(load_parameters(env, &p));
  r.lines = p.NL;
  r.samples = p.NS;

  // Dates, scaling and georeferencing from the input cube's header.
  const InputHeader header = read_input_header(env, "data.bsq");
  if (!header.name.empty() && !header.valid)
    return Status::refused(header.name + " is not an ENVI header that can be read (its first line must be ENVI): "
                           "fix it, or remove it to make the maps in steps and the program's scaled units");
  if (header.valid) {
    for (const std::string& problem : input_header_problems(header.entries, p.NS, p.NL, p.NB, kEnviInt16))
      if (problem.rfind("samples ", 0) == 0 || problem.rfind("lines ", 0) == 0 || problem.rfind("bands ", 0) == 0)
        r.warnings.push_back(header.name + ": " + problem + ": the header and cntl.dat describe different cubes");
  }
  std::vector<double> band_days;
  if (header.days.size() == static_cast<size_t>(p.NB)) {
    band_days.assign(header.days.begin(), header.days.end());
    r.dated = true;
    r.first_date = header.band_names.front();
    r.last_date = header.band_names.back();
  } else if (!header.days.empty()) {
    r.warnings.push_back(header.name + " names " + std::to_string(header.days.size()) + " dates for the " +
                         std::to_string(p.NB) + " bands of cntl.dat: dates are steps");
  }
  if (options.factor > 0.0) {
    r.factor = options.factor;
    r.scaling_from = "--factor";
    if (header.factor == options.factor) r.units = header.units;
  } else if (header.factor > 0.0) {
    r.factor = header.factor;
    r.scaling_from = "data.hdr";
    r.units = header.units;
  } else {
    r.factor = kRawScale;
  }
  const EnviGeoref georef = georef_of(header.entries);
  r.georeferenced = !georef.map_info.empty();

  SeasonsModel model;
  model.nb = p.NB;
  model.npoint = p.NPOINT;
  model.nfunc = p.NFUNC;
  model.cycles = harmonic_frequencies;
  model.band_days = r.dated ? band_days.data() : nullptr;
  SeasonsOptions season_options;
  season_options.min_amplitude = options.min_amplitude;
  season_options.min_share = options.min_share;
  season_options.factor = r.factor;
  SeasonsPlan plan;
  std::string why;
  if (!plan.init(model, season_options, &why)) return Status::refused("cannot make seasons: " + why);
  {
    char middle[32];
    std::snprintf(middle, sizeof middle, "band %g", plan.middle());
    r.middle = middle;
    if (r.dated) r.middle += " (" + format_date(static_cast<int32_t>(std::floor(plan.day_of_step(plan.middle())))) + ")";
  }

  ImageFile params_file, order_file;
  TSR_RETURN_IF_ERROR(open_product(env, p, "p.bsq", &params_file));
  TSR_RETURN_IF_ERROR(open_product(env, p, "order.dat", &order_file));

  SeasonsFacts facts;
  facts.known = true;
  facts.dated = r.dated;
  facts.middle = r.middle;
  facts.factor = r.factor;
  facts.units = r.units;
  facts.min_amplitude = options.min_amplitude;
  facts.min_share = options.min_share;
  HeaderPlan seasons = seasons_header_plan(p, facts);
  seasons.header.georef = georef;
  if (const uint64_t free = env.available_disk_bytes(); free < static_cast<uint64_t>(seasons.expected_bytes))
    return Status::refused(std::string(kSeasonsFile) + " needs " + std::to_string(seasons.expected_bytes) +
                           " bytes, and " + std::to_string(free) + " are free on the disk of " +
                           env.working_directory());

  int threads = options.threads;
  if (threads <= 0) TSR_RETURN_IF_ERROR(threads_from_environment(env, threads));
  const int64_t pixels_per_line = p.NS;
  const int64_t block_lines =
      std::clamp<int64_t>(options.block_pixels / std::max<int64_t>(1, pixels_per_line), 1, p.NL);
  const int64_t block_capacity = block_lines * pixels_per_line;
  // Fewer threads than chunks of a block would leave idle.
  threads = static_cast<int>(std::clamp<int64_t>(threads, 1, (block_capacity + kChunkPixels - 1) / kChunkPixels));
  WorkerPool pool(threads);
  r.threads = pool.size();
  std::vector<std::unique_ptr<SeasonsWorkspace>> workspaces;
  for (int w = 0; w < pool.size(); ++w) workspaces.push_back(std::make_unique<SeasonsWorkspace>(plan));

  const int32_t np = plan.np();
  const size_t capacity = static_cast<size_t>(block_capacity);
  std::vector<unsigned char> bytes(capacity * 4);
  std::vector<float> params(static_cast<size_t>(np) * capacity);
  std::vector<int8_t> orders(capacity);
  std::vector<uint8_t> has_model(capacity);
  std::vector<float> bands(static_cast<size_t>(kSeasonBandCount) * capacity);

  PartialFile out(env);
  TSR_RETURN_IF_ERROR(out.create());
  const int64_t plane_bytes = int64_t{p.NL} * p.NS * 4;
  for (int64_t first = 0; first < p.NL; first += block_lines) {
    if (const int signal = env.pending_interrupt(); signal != 0) return Status::interrupted(signal);
    const int64_t lines = std::min<int64_t>(block_lines, p.NL - first);
    const size_t count = static_cast<size_t>(lines * pixels_per_line);
    // The block of each plane of p.bsq, and of order.dat, is one run of records.
    for (int32_t j = 0; j < np; ++j) {
      TSR_RETURN_IF_ERROR(read_fully(params_file, j * plane_bytes + first * pixels_per_line * 4, bytes.data(), count * 4));
      float* plane = params.data() + static_cast<size_t>(j) * count;
      for (size_t i = 0; i < count; ++i) plane[i] = load_real4(&bytes[4 * i], params_file.swap_bytes());
    }
    TSR_RETURN_IF_ERROR(read_fully(order_file, first * pixels_per_line, orders.data(), count));
    for (size_t i = 0; i < count; ++i)
      has_model[i] = stored_has_model(orders[i], params.data() + i, np, static_cast<ptrdiff_t>(count)) ? 1 : 0;

    const int64_t chunks = (static_cast<int64_t>(count) + kChunkPixels - 1) / kChunkPixels;
    int interrupt = 0;
    const bool done = pool.run(
        chunks,
        [&](int worker, int64_t chunk) {
          const size_t from = static_cast<size_t>(chunk * kChunkPixels);
          const size_t n = std::min(count - from, static_cast<size_t>(kChunkPixels));
          compute_seasons_run(plan, params.data() + from, count, has_model.data() + from, n,
                              workspaces[static_cast<size_t>(worker)].get(), bands.data() + from, count);
        },
        [&] { return (interrupt = env.pending_interrupt()) != 0; });
    if (!done) return Status::interrupted(interrupt);

    for (size_t i = 0; i < count; ++i) {
      const float n = bands[i];
      if (std::isnan(n)) ++r.no_model;
      else ++r.with_seasons[std::clamp(static_cast<int>(n), 0, 2)];
    }
    for (int b = 0; b < kSeasonBandCount; ++b) {
      const float* plane = bands.data() + static_cast<size_t>(b) * count;
      for (size_t i = 0; i < count; ++i) store32(&bytes[4 * i], real4_bits(plane[i]), false);
      TSR_RETURN_IF_ERROR(out.write(b * plane_bytes + first * pixels_per_line * 4, bytes.data(), count * 4));
    }
  }
  TSR_RETURN_IF_ERROR(out.keep());
  const std::string header_name = header_name_for(kSeasonsFile);
  if (const int e = write_new_file(env, header_name, format_envi_header(seasons.header)); e != 0)
    return Status::refused("cannot write " + header_name + " in " + env.working_directory() + ": " + error_text(e));
  return Status::ok();
}

std::vector<std::string> season_maps_lines(const SeasonMapsReport& r) {
  std::vector<std::string> out;
  const std::string units =
      r.scaling_from.empty()
          ? "the program's scaled units (raw / " + number(r.factor) + "; no \"tsrecon factor\" in data.hdr, no --factor)"
          : (r.units.empty() ? std::string("units of raw / ") + number(r.factor) : r.units + " (raw / " + number(r.factor) + ")") +
                " from " + r.scaling_from;
  out.push_back("values in " + units + ", at the middle of the record, " + r.middle);
  out.push_back(r.dated ? "dates of data.hdr, " + r.first_date + " .. " + r.last_date +
                              ": season dates are days of the year of the season's peak"
                        : "no dates in data.hdr: season dates are steps of the cycle, lengths in steps");
  const int64_t pixels = int64_t{r.lines} * r.samples;
  out.push_back(std::to_string(pixels) + " pixels: no model at " + std::to_string(r.no_model) + ", no season at " +
                std::to_string(r.with_seasons[0]) + ", one at " + std::to_string(r.with_seasons[1]) + ", two at " +
                std::to_string(r.with_seasons[2]));
  out.push_back("wrote " + std::string(kSeasonsFile) + " (" + std::to_string(kSeasonBandCount) + " bands of float32, " +
                std::to_string(r.lines) + " lines x " + std::to_string(r.samples) + " samples, NaN where no model) and " +
                header_name_for(kSeasonsFile) + (r.georeferenced ? " (georeferenced as data.hdr)" : " (no georeferencing)"));
  return out;
}

}  // namespace tsr::tools
