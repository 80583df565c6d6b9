#include "control/run_parameters.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <vector>

#include "runtime/console.h"
#include "runtime/files.h"

namespace tsr {
namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// The group item of a member, by the member's type.
GroupItem group_item(std::string_view name, int32_t* storage) { return group_int4(name, storage); }
GroupItem group_item(std::string_view name, int8_t* storage) { return group_int1(name, storage); }
GroupItem group_item(std::string_view name, double* storage) { return group_real8(name, storage); }

}  // namespace

Status read_control_text(std::string_view text, RunParameters& p, const ConsoleSink& sink) {
  p = RunParameters{};
  sink({text_item("READ CNTL.DAT")});
  ControlReader reader(text, sink);

  TSR_RETURN_IF_ERROR(reader.read_value_list({&p.NB}, {"NB"}));
  TSR_RETURN_IF_ERROR(reader.read_value_list({&p.NL, &p.NS}, {"NL", "NS"}));

  // The groups in the order of the member list, each with its members.
  const struct Member {
    std::string_view group;
    GroupItem item;
  } members[] = {
#define TSR_GROUP_MEMBER(type, NAME, name, GROUP, value) {#GROUP, group_item(#NAME, &p.NAME)},
      TSRECON_CONTROL_MEMBERS(TSR_GROUP_MEMBER, TSR_GROUP_MEMBER)
#undef TSR_GROUP_MEMBER
  };
  for (size_t first = 0; first < std::size(members);) {
    std::vector<GroupItem> items;
    size_t next = first;
    for (; next < std::size(members) && members[next].group == members[first].group; ++next)
      items.push_back(members[next].item);
    TSR_RETURN_IF_ERROR(reader.read_group({members[first].group, items}));
    first = next;
  }

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

std::optional<RangeViolation> find_range_violation(const RunParameters& p, int32_t max_bands) {
  // Limits of the data model and of the model itself: the harmonic table has
  // six entries, a cycle needs at least one time step and the filter window
  // cannot be negative.
  const RangeViolation checks[] = {
      {"NB", p.NB, kMinBands, max_bands},
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

Status derive_run_parameters(RunParameters& p, int32_t max_bands) {
  p.NDAT = p.NB;
  if (const auto violation = find_range_violation(p, max_bands)) return Status::refused(range_message(*violation));

  p.NP = parameter_count(p.NFUNC);
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
  s.excluded_bands.assign(p.excluded_bands, p.excluded_bands + p.excluded_count);
  return s;
}

}  // namespace tsr
