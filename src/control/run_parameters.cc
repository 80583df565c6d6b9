#include "control/run_parameters.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "runtime/console.h"
#include "runtime/files.h"

namespace tsr {
namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

}  // namespace

Status read_control_text(std::string_view text, RunParameters& p, const ConsoleSink& sink) {
  p = RunParameters{};
  sink({text_item("READ CNTL.DAT")});
  ControlReader reader(text, sink);

  TSR_RETURN_IF_ERROR(reader.read_value_list({&p.NB}, {"NB"}));
  TSR_RETURN_IF_ERROR(reader.read_value_list({&p.NL, &p.NS}, {"NL", "NS"}));

  const GroupItem data_items[] = {
      group_int4("NDAT", &p.NDAT),
      group_int4("NFUNC", &p.NFUNC),
      group_int4("NDEF", &p.NDEF),
      group_int4("ISPOT", &p.ISPOT),
  };
  TSR_RETURN_IF_ERROR(reader.read_group({"DATA", data_items}));

  const GroupItem contrl_items[] = {
      group_int4("NWIN", &p.NWIN),   group_int4("INTP", &p.INTP),   group_int1("SELECT", &p.SELECT),
      group_int4("MMSW", &p.MMSW),   group_real8("TCLD", &p.TCLD),  group_int1("FITSW", &p.FITSW),
      group_int4("MASK", &p.MASK),   group_int1("FITMD", &p.FITMD),
  };
  TSR_RETURN_IF_ERROR(reader.read_group({"CONTRL", contrl_items}));

  const GroupItem npt_items[] = {group_int4("NPOINT", &p.NPOINT)};
  TSR_RETURN_IF_ERROR(reader.read_group({"NPT", npt_items}));

  if (p.NDEF >= 1 && p.NDEF <= p.NB) {
    sink({text_item("----")});
    sink({int4_item(p.NDEF)});
    // A null value or a slash leaves the band number as it was, so the
    // previous number (0 before the first) is tested again.
    int32_t band = 0;
    int32_t accepted = 0;
    p.excluded_count = 0;
    for (int32_t k = 0; k < p.NDEF; ++k) {
      const std::string name = "excluded band " + std::to_string(k + 1) + " of NDEF=" + std::to_string(p.NDEF);
      TSR_RETURN_IF_ERROR(reader.read_value_list({&band}, {name}));
      if (band < 1 || band > p.NB) continue;
      ++accepted;
      sink({int4_item(accepted), int4_item(band)});
      // With NB above kMaxBands more bands can be accepted than there is room for;
      // the run ends at the NB check, so the surplus is echoed but not kept.
      if (accepted <= kMaxExcludedBands) {
        p.excluded_bands[accepted - 1] = static_cast<int16_t>(band);
        p.excluded_count = accepted;
      }
    }
    sink({text_item("----")});
  }
  sink({text_item("CLOSE CNTL.DAT")});
  return Status::ok();
}

Status read_run_parameters(Env& env, RunParameters& p, const ConsoleSink& sink) {
  FileText file;
  TSR_RETURN_IF_ERROR(read_or_create_text_file(env, kControlUnit, kControlFile, &file));
  return read_control_text(file.content, p, sink).in_file(kControlUnit, file.full_path);
}

Status load_run_parameters(Env& env, std::string_view name, RunParameters& p) {
  FileText file;
  TSR_RETURN_IF_ERROR(read_text_file(env, kControlUnit, name, &file));
  TSR_RETURN_IF_ERROR(
      read_control_text(file.content, p, [](std::initializer_list<ListItem>) {}).in_file(kControlUnit, file.full_path));
  return derive_run_parameters(p);
}

std::optional<RangeViolation> find_range_violation(const RunParameters& p) {
  // Limits of the data model and of the model itself: the harmonic table has
  // six entries, a cycle needs at least one time step and the filter window
  // cannot be negative.
  const RangeViolation checks[] = {
      {"NB", p.NB, kMinBands, kMaxBands},
      {"NDEF", p.NDEF, 0, p.NB},
      {"NFUNC", p.NFUNC, 0, kMaxHarmonics},
      {"NPOINT", p.NPOINT, 1, kInt32Max},
      {"NWIN", p.NWIN, 0, kInt32Max},
  };
  for (const RangeViolation& c : checks) {
    if (c.value < c.low || c.value > c.high) return c;
  }
  return std::nullopt;
}

std::string range_message(const RangeViolation& v) {
  return std::string(v.member) + " = " + std::to_string(v.value) +
         " in cntl.dat is outside the allowed range " + std::to_string(v.low) + ".." + std::to_string(v.high);
}

Status derive_run_parameters(RunParameters& p) {
  p.NDAT = p.NB;
  if (const auto violation = find_range_violation(p)) return Status::refused(range_message(*violation));

  p.NP = 2 * p.NFUNC + 2;
  const double tcld = p.TCLD;
  if (p.FITMD == 1) {
    p.upper_threshold = tcld;
    p.lower_threshold = -(tcld * kWideThresholdFactor);
  } else if (p.FITMD == 2) {
    p.upper_threshold = tcld;
    p.lower_threshold = -tcld;
  } else {
    p.upper_threshold = tcld * kWideThresholdFactor;
    p.lower_threshold = -tcld;
  }
  return Status::ok();
}

PixelSettings pixel_settings(const RunParameters& p) {
  PixelSettings s;
  s.nb = p.NB;
  s.nfunc = p.NFUNC;
  s.np = p.NP;
  s.nwin = p.NWIN;
  if (p.MMSW > 0 && p.FITMD == 0) {
    s.filter = EnvelopeFilter::kFillDips;
  } else if (p.MMSW > 0 && p.FITMD == 1) {
    s.filter = EnvelopeFilter::kClipPeaks;
  }
  s.keep_preliminary = p.INTP > 0;
  s.weights_are_mask = p.MASK == 1;
  s.fit_valid_only = p.FITSW > 0;
  s.lower_threshold = p.lower_threshold;
  s.upper_threshold = p.upper_threshold;
  s.excluded_count = p.excluded_count;
  std::copy(std::begin(p.excluded_bands), std::end(p.excluded_bands), std::begin(s.excluded_bands));
  return s;
}

}  // namespace tsr
