#include "stack/quality.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tsr {
namespace {

// A field of a bit-coded quality layer as the product documents it: bits
// first_bit .. first_bit + width - 1, and the field values that reject.
struct Field {
  std::string reason;
  int64_t first_bit;
  int64_t width;
  std::set<int64_t> rejecting;
};

int64_t power_of_two(int64_t n) {
  int64_t p = 1;
  while (n-- > 0) p *= 2;
  return p;
}

// MOD13Q1/MYD13Q1 "VI Quality": MODLAND QA in bits 0-1 (00 good, 01 check
// other QA, 10 probably cloudy, 11 not produced), mixed clouds bit 10,
// possible snow/ice bit 14, possible shadow bit 15.
const std::vector<Field> kViQuality = {
    {"not produced (MODLAND 11)", 0, 2, {3}},   {"probably cloudy (MODLAND 10)", 0, 2, {2}},
    {"mixed clouds (bit 10)", 10, 1, {1}},      {"possible snow/ice (bit 14)", 14, 1, {1}},
    {"possible shadow (bit 15)", 15, 1, {1}},
};

// Landsat Collection 2 QA_PIXEL: bit 0 fill, 1 dilated cloud, 2 cirrus,
// 3 cloud, 4 cloud shadow, 5 snow.
const std::vector<Field> kQaPixel = {
    {"fill (bit 0)", 0, 1, {1}},   {"dilated cloud (bit 1)", 1, 1, {1}}, {"cirrus (bit 2)", 2, 1, {1}},
    {"cloud (bit 3)", 3, 1, {1}},  {"cloud shadow (bit 4)", 4, 1, {1}},  {"snow (bit 5)", 5, 1, {1}},
};

std::set<std::string> rule_reasons(const QualityRule& rule, int64_t value) {
  std::set<std::string> out;
  const uint32_t r = rule.reasons_of(value);
  for (size_t i = 0; i < rule.reasons().size(); ++i)
    if (r & (1u << i)) out.insert(rule.reasons()[i]);
  return out;
}

// Every 16-bit pattern, read as unsigned and as signed, against the fields.
TEST(Quality, BitLayersAgainstTheirDocumentedFields) {
  const std::pair<const char*, const std::vector<Field>*> kinds[] = {{"modis-vi-quality", &kViQuality},
                                                                     {"landsat-qa-pixel", &kQaPixel}};
  for (const auto& [name, fields] : kinds) {
    QualityRule rule;
    ASSERT_TRUE(QualityRule::from_name(name, &rule).is_ok());
    int64_t kept = 0;
    for (int64_t u = 0; u <= 65535; ++u) {
      std::set<std::string> expected;
      for (const Field& f : *fields)
        if (f.rejecting.count(u / power_of_two(f.first_bit) % power_of_two(f.width))) expected.insert(f.reason);
      kept += expected.empty();
      ASSERT_EQ(rule_reasons(rule, u), expected) << name << " " << u;
      ASSERT_EQ(rule.keeps(u), expected.empty()) << name << " " << u;
      if (u >= 32768) {
        ASSERT_EQ(rule_reasons(rule, u - 65536), expected) << name << " " << u;
      }
    }
    // 00 or 01 and three clear bits: 2 x 2^11 of the 2^16; six clear bits: 2^10.
    EXPECT_EQ(kept, std::string(name) == "modis-vi-quality" ? 4096 : 1024);
    for (int64_t outside : {int64_t{65536}, int64_t{-32769}})
      EXPECT_EQ(rule_reasons(rule, outside), std::set<std::string>{"no 16-bit value"}) << name;
  }
}

TEST(Quality, ClassLayersAgainstTheirDocumentedClasses) {
  struct Case {
    const char* kind;
    int64_t value;
    const char* reason;  // empty: kept
  };
  const Case cases[] = {
      {"modis-reliability", -1, "fill (-1)"},    {"modis-reliability", 0, ""},
      {"modis-reliability", 1, ""},              {"modis-reliability", 2, "snow/ice (2)"},
      {"modis-reliability", 3, "cloudy (3)"},    {"modis-reliability", 255, "fill (-1)"},
      {"modis-reliability", 4, "another value"}, {"modis-reliability", -2, "another value"},
      {"s2-scl", 0, "no data (0)"},              {"s2-scl", 1, "saturated or defective (1)"},
      {"s2-scl", 2, "dark area pixels (2)"},     {"s2-scl", 3, "cloud shadows (3)"},
      {"s2-scl", 4, ""},                         {"s2-scl", 5, ""},
      {"s2-scl", 6, ""},                         {"s2-scl", 7, ""},
      {"s2-scl", 8, "cloud medium probability (8)"}, {"s2-scl", 9, "cloud high probability (9)"},
      {"s2-scl", 10, "thin cirrus (10)"},        {"s2-scl", 11, "snow or ice (11)"},
      {"s2-scl", 12, "another value"},           {"s2-scl", 255, "another value"},
  };
  for (const Case& c : cases) {
    QualityRule rule;
    ASSERT_TRUE(QualityRule::from_name(c.kind, &rule).is_ok());
    const std::set<std::string> expected =
        std::string(c.reason).empty() ? std::set<std::string>{} : std::set<std::string>{c.reason};
    EXPECT_EQ(rule_reasons(rule, c.value), expected) << c.kind << " " << c.value;
  }
  QualityRule rule;
  EXPECT_NE(QualityRule::from_name("fmask", &rule).text().find("--quality-kind fmask"), std::string::npos);
}

TEST(Quality, KeepLists) {
  struct Case {
    std::string text;
    std::vector<int64_t> kept;  // empty: refused
  };
  const Case cases[] = {{"0,1", {0, 1}}, {" 4, +5 ,6", {4, 5, 6}}, {"-1", {-1}}, {"1,1", {1}},
                        {"", {}},        {"1,,2", {}},             {"a", {}},   {"1.5", {}}};
  for (const Case& c : cases) {
    QualityRule rule;
    const Status s = QualityRule::parse_keep_list(c.text, &rule);
    EXPECT_EQ(s.is_ok(), !c.kept.empty()) << c.text << ": " << s.text();
    if (c.kept.empty()) {
      EXPECT_NE(s.text().find("--keep"), std::string::npos);
      continue;
    }
    for (int64_t v = -3; v <= 8; ++v)
      EXPECT_EQ(rule.keeps(v), std::count(c.kept.begin(), c.kept.end(), v) > 0) << c.text << " " << v;
  }
}

TEST(Quality, ApplyCountsEachRejectedSampleOnceUnderItsFirstReason) {
  QualityRule rule;
  ASSERT_TRUE(QualityRule::from_name("landsat-qa-pixel", &rule).is_ok());
  // Clear (bit 6), fill, cloud with its dilation, shadow, cloud, and a clear
  // sample that was missing already.
  const std::vector<int64_t> qa = {64, 1, 8 | 2, 16, 8, 64};
  std::vector<uint8_t> valid = {1, 1, 1, 1, 1, 0};
  QualityTally tally;
  rule.apply(qa.data(), static_cast<int64_t>(qa.size()), valid.data(), &tally);
  EXPECT_EQ(valid, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(tally.examined, 5);
  EXPECT_EQ(tally.already_missing, 1);
  EXPECT_EQ(tally.kept, 1);
  EXPECT_EQ(tally.rejected, 4);
  // Reasons: fill, cloud, cloud shadow, cirrus, snow, dilated cloud, no 16-bit value.
  EXPECT_EQ(tally.by_first_reason, (std::vector<int64_t>{1, 2, 1, 0, 0, 0, 0}));
  EXPECT_EQ(tally.by_reason, (std::vector<int64_t>{1, 2, 1, 0, 0, 1, 0}));
  QualityTally twice = tally;
  twice.merge(tally);
  EXPECT_EQ(twice.by_first_reason, (std::vector<int64_t>{2, 4, 2, 0, 0, 0, 0}));
  EXPECT_EQ(twice.examined, 10);
  EXPECT_EQ(format_quality_tally(rule, tally),
            "landsat-qa-pixel removed 4 of 5 samples (80.00 %): fill (bit 0) 1 (20.00 %), cloud (bit 3) 2 (40.00 %), "
            "cloud shadow (bit 4) 1 (20.00 %); 1 sample was missing already");

  // VI Quality read as signed 16-bit integers: the same decisions.
  QualityRule vi;
  ASSERT_TRUE(QualityRule::from_name("modis-vi-quality", &vi).is_ok());
  const std::vector<uint16_t> unsigned_vi = {35038, 2116, 1, 16386};
  const std::vector<int16_t> signed_vi = {-30498, 2116, 1, 16386};
  std::vector<uint8_t> a(4, 1), b(4, 1);
  QualityTally ta, tb;
  vi.apply(unsigned_vi.data(), 4, a.data(), &ta);
  vi.apply(signed_vi.data(), 4, b.data(), &tb);
  EXPECT_EQ(a, (std::vector<uint8_t>{0, 1, 1, 0}));
  EXPECT_EQ(b, a);
  EXPECT_EQ(tb.by_reason, ta.by_reason);

  QualityRule keep;
  ASSERT_TRUE(QualityRule::parse_keep_list("0", &keep).is_ok());
  const std::vector<int64_t> values = {0, 3, 3, 7};
  std::vector<uint8_t> all(4, 1);
  QualityTally kt;
  keep.apply(values.data(), 4, all.data(), &kt);
  EXPECT_EQ(kt.rejected_values, (std::map<int64_t, int64_t>{{3, 2}, {7, 1}}));
  EXPECT_EQ(format_quality_tally(keep, kt), "--keep 0 removed 3 of 4 samples (75.00 %): value 3 2 (50.00 %), value 7 1 (25.00 %)");
}

}  // namespace
}  // namespace tsr
