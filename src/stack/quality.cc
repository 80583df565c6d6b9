#include "stack/quality.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>

namespace tsr {
namespace {

struct KindName {
  std::string_view name;
  QualityKind kind;
};

constexpr KindName kKinds[] = {
    {"modis-reliability", QualityKind::kModisReliability},
    {"modis-vi-quality", QualityKind::kModisViQuality},
    {"landsat-qa-pixel", QualityKind::kLandsatQaPixel},
    {"s2-scl", QualityKind::kS2Scl},
};

std::vector<std::string> reasons_of_kind(QualityKind kind) {
  switch (kind) {
    case QualityKind::kModisReliability:
      return {"fill (-1)", "snow/ice (2)", "cloudy (3)", "another value"};
    case QualityKind::kModisViQuality:
      return {"not produced (MODLAND 11)", "probably cloudy (MODLAND 10)", "mixed clouds (bit 10)",
              "possible snow/ice (bit 14)", "possible shadow (bit 15)", "no 16-bit value"};
    case QualityKind::kLandsatQaPixel:
      return {"fill (bit 0)",   "cloud (bit 3)",         "cloud shadow (bit 4)", "cirrus (bit 2)",
              "snow (bit 5)",   "dilated cloud (bit 1)", "no 16-bit value"};
    case QualityKind::kS2Scl:
      return {"no data (0)",
              "saturated or defective (1)",
              "dark area pixels (2)",
              "cloud shadows (3)",
              "cloud medium probability (8)",
              "cloud high probability (9)",
              "thin cirrus (10)",
              "snow or ice (11)",
              "another value"};
    case QualityKind::kKeepList: return {"a value not kept"};
  }
  return {};
}

bool is_16_bit(int64_t v) { return v >= -32768 && v <= 65535; }

std::string percent(int64_t part, int64_t whole) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f %%", whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
  return buf;
}

}  // namespace

void QualityTally::merge(const QualityTally& other) {
  examined += other.examined;
  already_missing += other.already_missing;
  kept += other.kept;
  rejected += other.rejected;
  by_first_reason.resize(std::max(by_first_reason.size(), other.by_first_reason.size()), 0);
  by_reason.resize(std::max(by_reason.size(), other.by_reason.size()), 0);
  for (size_t r = 0; r < other.by_first_reason.size(); ++r) by_first_reason[r] += other.by_first_reason[r];
  for (size_t r = 0; r < other.by_reason.size(); ++r) by_reason[r] += other.by_reason[r];
  for (const auto& [value, n] : other.rejected_values) rejected_values[value] += n;
}

Status QualityRule::from_name(std::string_view name, QualityRule* rule) {
  for (const KindName& k : kKinds) {
    if (k.name == name) {
      *rule = QualityRule();
      rule->kind_ = k.kind;
      rule->reasons_ = reasons_of_kind(k.kind);
      return Status::ok();
    }
  }
  return Status::refused("--quality-kind " + std::string(name) +
                         ": give modis-reliability, modis-vi-quality, landsat-qa-pixel or s2-scl, or list the kept "
                         "values of the layer with --keep V,...");
}

Status QualityRule::keep_values(std::vector<int64_t> kept, QualityRule* rule) {
  if (kept.empty()) return Status::refused("--keep: list at least one kept value");
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  *rule = QualityRule();
  rule->kind_ = QualityKind::kKeepList;
  rule->reasons_ = reasons_of_kind(QualityKind::kKeepList);
  rule->kept_ = std::move(kept);
  return Status::ok();
}

Status QualityRule::parse_keep_list(std::string_view text, QualityRule* rule) {
  std::vector<int64_t> kept;
  std::string_view s = text;
  while (true) {
    const size_t comma = s.find(',');
    std::string_view item = s.substr(0, comma);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    int64_t v = 0;
    const char* begin = item.data() + (item.size() > 1 && item.front() == '+' ? 1 : 0);
    const auto r = std::from_chars(begin, item.data() + item.size(), v);
    if (item.empty() || r.ec != std::errc() || r.ptr != item.data() + item.size())
      return Status::refused("--keep " + std::string(text) + ": \"" + std::string(item) +
                             "\" is not an integer; list the kept values separated by commas, e.g. --keep 0,1");
    kept.push_back(v);
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
  }
  return keep_values(std::move(kept), rule);
}

std::string QualityRule::name() const {
  for (const KindName& k : kKinds)
    if (k.kind == kind_) return std::string(k.name);
  std::string text = "--keep ";
  for (size_t i = 0; i < kept_.size(); ++i) text += (i ? "," : "") + std::to_string(kept_[i]);
  return text;
}

uint32_t QualityRule::reasons_of(int64_t v) const {
  switch (kind_) {
    case QualityKind::kModisReliability:
      if (v == 0 || v == 1) return 0;
      if (v == -1 || v == 255) return 1u << 0;
      if (v == 2) return 1u << 1;
      if (v == 3) return 1u << 2;
      return 1u << 3;
    case QualityKind::kModisViQuality: {
      if (!is_16_bit(v)) return 1u << 5;
      const uint32_t q = static_cast<uint32_t>(v) & 0xFFFFu;
      uint32_t r = 0;
      if ((q & 3u) == 3u) r |= 1u << 0;
      if ((q & 3u) == 2u) r |= 1u << 1;
      if (q & (1u << 10)) r |= 1u << 2;
      if (q & (1u << 14)) r |= 1u << 3;
      if (q & (1u << 15)) r |= 1u << 4;
      return r;
    }
    case QualityKind::kLandsatQaPixel: {
      if (!is_16_bit(v)) return 1u << 6;
      const uint32_t q = static_cast<uint32_t>(v) & 0xFFFFu;
      // Bits 0, 3, 4, 2, 5, 1 in the order of the reasons.
      constexpr int kBits[] = {0, 3, 4, 2, 5, 1};
      uint32_t r = 0;
      for (int i = 0; i < 6; ++i)
        if (q & (1u << kBits[i])) r |= 1u << i;
      return r;
    }
    case QualityKind::kS2Scl:
      switch (v) {
        case 4: case 5: case 6: case 7: return 0;
        case 0: return 1u << 0;
        case 1: return 1u << 1;
        case 2: return 1u << 2;
        case 3: return 1u << 3;
        case 8: return 1u << 4;
        case 9: return 1u << 5;
        case 10: return 1u << 6;
        case 11: return 1u << 7;
        default: return 1u << 8;
      }
    case QualityKind::kKeepList:
      return std::binary_search(kept_.begin(), kept_.end(), v) ? 0 : 1u;
  }
  return 0;
}

int32_t QualityRule::first_reason(int64_t value) const {
  const uint32_t r = reasons_of(value);
  return r == 0 ? -1 : std::countr_zero(r);
}

template <typename T>
void QualityRule::apply(const T* quality, int64_t count, uint8_t* valid, QualityTally* tally) const {
  if (tally->by_first_reason.size() != reasons_.size() || tally->by_reason.size() != reasons_.size()) {
    *tally = QualityTally();
    tally->by_first_reason.assign(reasons_.size(), 0);
    tally->by_reason.assign(reasons_.size(), 0);
  }
  for (int64_t i = 0; i < count; ++i) {
    if (valid[i] == 0) {
      ++tally->already_missing;
      continue;
    }
    ++tally->examined;
    const int64_t value = static_cast<int64_t>(quality[i]);
    const uint32_t r = reasons_of(value);
    if (r == 0) {
      ++tally->kept;
      continue;
    }
    valid[i] = 0;
    ++tally->rejected;
    ++tally->by_first_reason[static_cast<size_t>(std::countr_zero(r))];
    for (uint32_t bits = r; bits != 0; bits &= bits - 1) ++tally->by_reason[static_cast<size_t>(std::countr_zero(bits))];
    if (kind_ == QualityKind::kKeepList) ++tally->rejected_values[value];
  }
}

template void QualityRule::apply(const int8_t*, int64_t, uint8_t*, QualityTally*) const;
template void QualityRule::apply(const uint8_t*, int64_t, uint8_t*, QualityTally*) const;
template void QualityRule::apply(const int16_t*, int64_t, uint8_t*, QualityTally*) const;
template void QualityRule::apply(const uint16_t*, int64_t, uint8_t*, QualityTally*) const;
template void QualityRule::apply(const int32_t*, int64_t, uint8_t*, QualityTally*) const;
template void QualityRule::apply(const uint32_t*, int64_t, uint8_t*, QualityTally*) const;
template void QualityRule::apply(const int64_t*, int64_t, uint8_t*, QualityTally*) const;

std::string format_quality_tally(const QualityRule& rule, const QualityTally& tally) {
  std::string text = rule.name() + " removed " + std::to_string(tally.rejected) + " of " +
                     std::to_string(tally.examined) + " samples (" + percent(tally.rejected, tally.examined) + ")";
  std::string parts;
  const auto add = [&](const std::string& what, int64_t n) {
    parts += (parts.empty() ? ": " : ", ") + what + " " + std::to_string(n) + " (" + percent(n, tally.examined) + ")";
  };
  if (rule.kind() == QualityKind::kKeepList) {
    std::vector<std::pair<int64_t, int64_t>> values(tally.rejected_values.begin(), tally.rejected_values.end());
    std::stable_sort(values.begin(), values.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (size_t i = 0; i < values.size() && i < 5; ++i) add("value " + std::to_string(values[i].first), values[i].second);
    if (values.size() > 5) parts += ", " + std::to_string(values.size() - 5) + " other values";
  } else {
    for (size_t r = 0; r < tally.by_first_reason.size() && r < rule.reasons().size(); ++r)
      if (tally.by_first_reason[r] > 0) add(rule.reasons()[r], tally.by_first_reason[r]);
  }
  text += parts;
  if (tally.already_missing > 0)
    text += "; " + std::to_string(tally.already_missing) +
            (tally.already_missing == 1 ? " sample was" : " samples were") + " missing already";
  return text;
}

}  // namespace tsr
