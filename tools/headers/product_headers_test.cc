#include "tools/headers/product_headers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tsr::tools {
namespace {

RunParameters completed(int32_t nb, int32_t nl, int32_t ns, int32_t nfunc) {
  RunParameters p;
  p.NB = nb;
  p.NL = nl;
  p.NS = ns;
  p.NFUNC = nfunc;
  EXPECT_EQ(derive_run_parameters(p).message(), "");
  return p;
}

TEST(ProductHeaders, EveryFileOfARunWithItsLayoutAndSize) {
  const RunParameters p = completed(46, 3, 5, 4);  // NP = 10
  struct Expect {
    const char* name;
    bool input;
    int bands, type, element;
    const char* first_band;
  };
  const Expect expected[] = {
      {"data.bsq", true, 46, kEnviInt16, 2, "t1"},  {"mask.bsq", true, 46, kEnviByte, 1, "t1"},
      {"p.bsq", false, 10, kEnviFloat32, 4, "constant"}, {"i.bsq", false, 46, kEnviInt16, 2, "t1"},
      {"f.bsq", false, 46, kEnviInt16, 2, "t1"},    {"order.dat", false, 1, kEnviByte, 1, "order"},
      {"aic.dat", false, 1, kEnviFloat32, 4, "aic"}, {"min.dat", false, 1, kEnviInt16, 2, "min"},
      {"max.dat", false, 1, kEnviInt16, 2, "max"},
  };
  const std::vector<HeaderPlan> files = header_plans(p);
  ASSERT_EQ(files.size(), std::size(expected));
  for (size_t i = 0; i < files.size(); ++i) {
    const HeaderPlan& f = files[i];
    const Expect& e = expected[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(f.name, e.name);
    EXPECT_EQ(f.input, e.input);
    EXPECT_EQ(f.header.samples, 5);
    EXPECT_EQ(f.header.lines, 3);
    EXPECT_EQ(f.header.bands, e.bands);
    EXPECT_EQ(f.header.data_type, e.type);
    EXPECT_EQ(f.expected_bytes, int64_t{e.bands} * 3 * 5 * e.element);
    ASSERT_EQ(f.header.band_names.size(), static_cast<size_t>(e.bands));
    EXPECT_EQ(f.header.band_names[0], e.first_band);
    EXPECT_FALSE(f.header.description.empty());
    EXPECT_TRUE(f.header.georef.empty());
  }
  // The signed order map says how to read its unsigned bytes.
  EXPECT_NE(files[5].header.description.find("255 means -1"), std::string::npos);
}

TEST(ProductHeaders, SizesBeyondTwoGigabytesDoNotWrap) {
  const RunParameters p = completed(200, 7500, 7500, 6);
  for (const HeaderPlan& f : header_plans(p))
    if (f.name == "p.bsq") {
      EXPECT_EQ(f.expected_bytes, int64_t{14} * 7500 * 7500 * 4);
    }
}

TEST(ProductHeaders, GeotransformOfMapInfo) {
  struct Case {
    const char* map_info;
    bool ok;
    double gt[6];
  };
  const Case cases[] = {
      {"{UTM, 1, 1, 500000, 4000000, 30, 30, 33, North,WGS-84}", true, {500000, 30, 0, 4000000, 0, -30}},
      // Reference pixel 1.5 is the centre of the first pixel.
      {"{UTM, 1.5, 1.5, 500015, 3999985, 30, 30, 33, North}", true, {500000, 30, 0, 4000000, 0, -30}},
      {"{Geographic Lat/Lon, 3, 2, 10.0, 50.0, 0.5, 0.25, WGS-84}", true, {9.0, 0.5, 0, 50.25, 0, -0.25}},
      {"{UTM, 1, 1, 500000, 4000000, 30, 30, 33, North, WGS-84, rotation=15}", false, {}},
      {"{UTM, 1, 1, 500000}", false, {}},
      {"{UTM, a, 1, 500000, 4000000, 30, 30}", false, {}},
  };
  for (const Case& c : cases) {
    double gt[6] = {};
    ASSERT_EQ(geotransform_of(c.map_info, gt), c.ok) << c.map_info;
    if (!c.ok) continue;
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(gt[i], c.gt[i]) << c.map_info << " entry " << i;
  }
}

TEST(ProductHeaders, OrderVrtMapsBytesToSignedOrders) {
  const RunParameters p = completed(46, 40, 60, 6);
  const std::string plain = order_vrt(p, {});
  EXPECT_NE(plain.find("rasterXSize=\"60\" rasterYSize=\"40\""), std::string::npos);
  EXPECT_NE(plain.find("<LUT>0:0,127:127,128:-128,255:-1</LUT>"), std::string::npos);
  EXPECT_NE(plain.find("dataType=\"Int16\""), std::string::npos);
  EXPECT_EQ(plain.find("<SRS>"), std::string::npos);
  EXPECT_EQ(plain.find("<GeoTransform>"), std::string::npos);

  EnviGeoref g;
  g.map_info = "{UTM, 1, 1, 500000, 4000000, 30, 30, 33, North,WGS-84}";
  g.coordinate_system_string = "{PROJCS[\"A & B\",UNIT[\"Meter\",1.0]]}";
  const std::string geo = order_vrt(p, g);
  EXPECT_NE(geo.find("<GeoTransform>500000, 30, 0, 4000000, 0, -30</GeoTransform>"), std::string::npos);
  EXPECT_NE(geo.find("<SRS>PROJCS[&quot;A &amp; B&quot;,UNIT[&quot;Meter&quot;,1.0]]</SRS>"), std::string::npos);
}

}  // namespace
}  // namespace tsr::tools
