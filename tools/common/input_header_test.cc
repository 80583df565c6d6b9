#include "tools/common/input_header.h"

#include <gtest/gtest.h>

#include "support/fake_env.h"

namespace tsr::tools {
namespace {

TEST(InputHeader, DayNumbers) {
  const std::pair<const char*, std::optional<int32_t>> cases[] = {
      {"1970-01-01", 0},           {"1970-01-02", 1},          {"1969-12-31", -1},
      {"2000-03-01", 11017},       {"2014-01-17", 16087},      {"2016-02-29", 16860},
      {"2015-02-29", std::nullopt}, {"2014-13-01", std::nullopt}, {"2014-00-10", std::nullopt},
      {"2014-1-17", std::nullopt}, {"t1", std::nullopt},        {"2014/01/17", std::nullopt},
      {"2014-01-32", std::nullopt}, {"1900-02-29", std::nullopt}, {"2000-02-29", 11016},
  };
  for (const auto& [text, day] : cases) EXPECT_EQ(day_number(text), day) << text;
}

TEST(InputHeader, FoundWhereGdalLooksAndRead) {
  testing::FakeEnv env;
  EXPECT_TRUE(read_input_header(env, "data.bsq").name.empty());
  env.put("data.bsq.hdr", "ENVI\nband names = {2014-01-01, 2014-01-17}\ntsrecon factor = 1600\ntsrecon units = NDVI\n");
  InputHeader h = read_input_header(env, "data.bsq");
  EXPECT_EQ(h.name, "data.bsq.hdr");
  EXPECT_TRUE(h.valid);
  EXPECT_EQ(h.days, (std::vector<int32_t>{16071, 16087}));
  EXPECT_EQ(h.factor, 1600.0);
  EXPECT_EQ(h.units, "NDVI");
  // data.hdr comes first; names that are not all dates give no days; a factor
  // that is not a positive number is none.
  for (const char* factor : {"0", "-3", "x", "16 00"}) {
    env.put("data.hdr", std::string("ENVI\nband names = {2014-01-01, t2}\ntsrecon factor = ") + factor + "\n");
    h = read_input_header(env, "data.bsq");
    EXPECT_EQ(h.name, "data.hdr");
    EXPECT_EQ(h.band_names, (std::vector<std::string>{"2014-01-01", "t2"}));
    EXPECT_TRUE(h.days.empty());
    EXPECT_EQ(h.factor, 0.0) << factor;
  }
  env.put("data.hdr", "not a header\n");
  h = read_input_header(env, "data.bsq");
  EXPECT_EQ(h.name, "data.hdr");
  EXPECT_FALSE(h.valid);
}

}  // namespace
}  // namespace tsr::tools
