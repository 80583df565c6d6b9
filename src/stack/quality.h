// Quality layers: which samples of a stack a product's own quality layer
// keeps. A sample whose quality value is rejected becomes missing.
//
// Kinds (names as --quality-kind gives them):
//   modis-reliability  MOD13/MYD13 pixel reliability: keeps 0 (good) and 1
//                      (marginal); rejects -1 (fill; 255 as an unsigned byte
//                      reads it), 2 (snow/ice), 3 (cloudy) and other values.
//   modis-vi-quality   MOD13/MYD13 VI Quality (16 bits): keeps MODLAND QA
//                      (bits 0-1) 00 or 01 without mixed clouds (bit 10),
//                      possible snow/ice (bit 14) or possible shadow (bit 15).
//   landsat-qa-pixel   Landsat Collection 2 QA_PIXEL (16 bits): keeps samples
//                      with none of bits 0-5 set (fill, dilated cloud,
//                      cirrus, cloud, cloud shadow, snow).
//   s2-scl             Sentinel-2 scene classification: keeps classes 4
//                      (vegetation), 5 (not vegetated), 6 (water) and 7
//                      (unclassified).
//   keep list          (--keep V,...) any integer layer: keeps the values listed.
// The 16-bit layers are taken as bit patterns: -32768..-1 (the layer read as
// signed 16-bit integers) stand for 32768..65535; values outside
// -32768..65535 are rejected.
//
// Counting: every rejected sample counts once, under the first of its
// reasons in the order of reasons() (the more decisive first: fill before
// cloud, cloud before its shadow, dilation last), so that the shares add up
// to the share removed; by_reason counts every reason a sample carries.
//
// A QualityRule is immutable once made: share it between threads freely.
// Pure computation, no I/O.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/status.h"

namespace tsr {

enum class QualityKind { kModisReliability, kModisViQuality, kLandsatQaPixel, kS2Scl, kKeepList };

// The counts of applying a rule to samples.
struct QualityTally {
  int64_t examined = 0;         // samples valid before the rule
  int64_t already_missing = 0;  // samples missing before it (not examined)
  int64_t kept = 0;
  int64_t rejected = 0;
  std::vector<int64_t> by_first_reason;  // per reason (QualityRule::reasons()); sums to rejected
  std::vector<int64_t> by_reason;        // per reason, every sample that carries it
  std::map<int64_t, int64_t> rejected_values;  // keep list only: each rejected value and its count

  // Adds another tally of the same rule (the blocks of a cube, the dates).
  void merge(const QualityTally& other);
};

class QualityRule {
 public:
  // The rule of a named kind ("modis-reliability", "modis-vi-quality",
  // "landsat-qa-pixel", "s2-scl"); refuses other names, naming --quality-kind.
  static Status from_name(std::string_view name, QualityRule* rule);
  // The rule that keeps exactly `kept` (at least one value).
  static Status keep_values(std::vector<int64_t> kept, QualityRule* rule);
  // --keep TEXT: integers separated by commas ("0,1" or "4, 5, 6"). Refuses
  // an empty list or an item that is not an integer, naming --keep.
  static Status parse_keep_list(std::string_view text, QualityRule* rule);

  QualityRule() = default;

  QualityKind kind() const { return kind_; }
  // "modis-reliability" ..., or "--keep 0,1" for a keep list.
  std::string name() const;
  // The reasons a sample can be rejected for, in their order of precedence.
  const std::vector<std::string>& reasons() const { return reasons_; }

  bool keeps(int64_t value) const { return reasons_of(value) == 0; }
  // Bit r set for each reason r (index into reasons()) that rejects value; 0
  // when the value is kept.
  uint32_t reasons_of(int64_t value) const;
  // The first reason (index into reasons()) that rejects value, or -1.
  int32_t first_reason(int64_t value) const;

  // Applies the rule to a plane of `count` samples: valid[i] (0 missing,
  // else valid) becomes 0 where quality[i] is rejected; samples already
  // missing are left alone. Adds the counts to *tally (not reset: one tally
  // can take a whole cube); a tally whose per-reason counts do not have the
  // rule's number of reasons (a new one) is started afresh.
  // T: any of int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t,
  // int64_t (the layer as stored; no copy to a wider type needed).
  template <typename T>
  void apply(const T* quality, int64_t count, uint8_t* valid, QualityTally* tally) const;

 private:
  QualityKind kind_ = QualityKind::kKeepList;
  std::vector<std::string> reasons_;
  std::vector<int64_t> kept_;  // keep list, sorted, no value twice
};

// One line for the import's report, e.g. "landsat-qa-pixel removed 312 of
// 1000 samples (31.20 %): cloud 201 (20.10 %), cloud shadow 111 (11.10 %);
// 50 samples were missing already": the share each reason removed of the
// samples examined (first reasons; reasons without samples left out), for a
// keep list the rejected values (the five most frequent).
std::string format_quality_tally(const QualityRule& rule, const QualityTally& tally);

}  // namespace tsr
