// The files of a run, listed once: every input and product with its unit,
// element type, planes and when the program reads or writes it. The driver,
// the headers, the block tools, the plot, the Python package
// (tsrecon.RUN_FILES) and the tests loop over this table.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tsr {

// How the elements of a file are stored (little-endian unless the file's
// FORT_CONVERT variable says otherwise).
enum class ElementType : uint8_t {
  kInt16,    // 2-byte signed integers
  kUInt8,    // bytes read as 0..255
  kInt8,     // bytes that hold the low 8 bits of a signed value
  kFloat32,  // 4-byte reals
};

// How many planes of NL lines by NS samples a file holds.
enum class Planes : uint8_t {
  kBands,       // NB: one per time step
  kParameters,  // NP: constant, trend, amplitude and phase per harmonic
  kOne,         // a per-pixel map
};

// When a run reads or writes the file.
enum class Presence : uint8_t {
  kAlways,
  kWithMask,            // MASK = 1
  kWithInterpolation,   // INTP = 1
};

// What the program puts in a product (the encoding of its line writer).
enum class Content : uint8_t {
  kInput,        // read, never written
  kParameters,   // 4-byte reals of the model parameters
  kPreliminary,  // the preliminary series as 16-bit raw values
  kFitted,       // the fitted series as 16-bit raw values
  kOrder,        // the model order map
  kCriterion,    // the information criterion map
  kMinimum,      // the minimum of the fitted series (16-bit raw value)
  kMaximum,      // the maximum of the fitted series (16-bit raw value)
};

struct JobFile {
  std::string_view name;  // in the working directory
  int unit;               // unit number in messages and FORT_CONVERT<unit>
  ElementType type;
  Planes planes;
  Presence presence;
  Content content;
  std::string_view title;  // a few words for listings and headers
};

inline constexpr int element_size(ElementType t) {
  return t == ElementType::kInt16 ? 2 : t == ElementType::kFloat32 ? 4 : 1;
}
inline constexpr bool is_input(const JobFile& f) { return f.content == Content::kInput; }

// Every file, in the order the program opens them (and writes the products
// of each line).
inline constexpr JobFile kRunFiles[] = {
    {"data.bsq", 21, ElementType::kInt16, Planes::kBands, Presence::kAlways, Content::kInput, "input cube"},
    {"mask.bsq", 22, ElementType::kUInt8, Planes::kBands, Presence::kWithMask, Content::kInput, "mask cube"},
    {"p.bsq", 50, ElementType::kFloat32, Planes::kParameters, Presence::kAlways, Content::kParameters,
     "model parameters"},
    {"i.bsq", 51, ElementType::kInt16, Planes::kBands, Presence::kWithInterpolation, Content::kPreliminary,
     "preliminary series"},
    {"f.bsq", 52, ElementType::kInt16, Planes::kBands, Presence::kAlways, Content::kFitted, "fitted series"},
    {"order.dat", 54, ElementType::kInt8, Planes::kOne, Presence::kAlways, Content::kOrder, "model order"},
    {"aic.dat", 55, ElementType::kFloat32, Planes::kOne, Presence::kAlways, Content::kCriterion,
     "information criterion"},
    {"min.dat", 61, ElementType::kInt16, Planes::kOne, Presence::kAlways, Content::kMinimum, "minimum"},
    {"max.dat", 62, ElementType::kInt16, Planes::kOne, Presence::kAlways, Content::kMaximum, "maximum"},
};

// The maps of the seasons of every pixel's model that tsrecon-seasons makes
// from p.bsq and order.dat (4-byte reals, little-endian, one plane per band
// of the seasons module). Beside the run's files, not among them: tsrecon
// neither reads nor writes it.
inline constexpr std::string_view kSeasonsFile = "seasons.bsq";

// The entry of `name`; requires that it is one of kRunFiles.
const JobFile& run_file(std::string_view name);

// True when a run with these switches reads or writes the file.
inline constexpr bool present_in_run(const JobFile& f, int32_t intp, int32_t mask) {
  return f.presence == Presence::kAlways || (f.presence == Presence::kWithMask && mask == 1) ||
         (f.presence == Presence::kWithInterpolation && intp == 1);
}

// The planes of the file for a run of nb bands and np parameters.
inline constexpr int32_t planes_of(const JobFile& f, int32_t nb, int32_t np) {
  return f.planes == Planes::kBands ? nb : f.planes == Planes::kParameters ? np : 1;
}

// Bytes of the complete file, in 64-bit arithmetic.
inline constexpr int64_t full_file_bytes(const JobFile& f, int32_t nb, int32_t np, int32_t nl, int32_t ns) {
  return int64_t{planes_of(f, nb, np)} * nl * ns * element_size(f.type);
}

// aic.dat stores 0 for a criterion of larger magnitude.
inline constexpr double kLargestStoredCriterion = 1.0e8;

// The names of the nb time steps of a series without dates: "t1".."tNB".
std::vector<std::string> time_step_names(int32_t nb);

}  // namespace tsr
