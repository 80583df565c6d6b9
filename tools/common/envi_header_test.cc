#include "tools/common/envi_header.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>


namespace tsr::tools {
namespace {

// A header as GDAL 3 writes it with -of ENVI: padded keys, braced values over
// several lines, georeferencing.
constexpr const char* kGdalHeader =
    "ENVI\n"
    "description = {\n"
    "data.bsq}\n"
    "samples = 20\n"
    "lines   = 12\n"
    "bands   = 46\n"
    "header offset = 0\n"
    "file type = ENVI Standard\n"
    "data type = 2\n"
    "interleave = bsq\n"
    "byte order = 0\n"
    "map info = {UTM, 1, 1, 500000, 4000000, 30, 30, 33, North,WGS-84}\n"
    "coordinate system string = {PROJCS[\"WGS_1984_UTM_Zone_33N\",GEOGCS[\"GCS_WGS_1984\"]]}\n"
    "band names = {\n"
    "Band 1,\n"
    "Band 2}\n"
    "data ignore value = 32767\n";

TEST(EnviHeader, FormattedHeadersParseBackToTheirLayout) {
  struct Case {
    int samples, lines, bands, type;
    std::vector<std::string> names;
    EnviGeoref georef;
  };
  const Case cases[] = {
      {60, 40, 6, kEnviFloat32, {"constant", "trend", "amplitude_1", "phase_1", "amplitude_2", "phase_2"}, {}},
      {7500, 1, 1, kEnviByte, {"order"}, {}},
      {3, 2, 3, kEnviInt16, {"t1", "t2", "t3"},
       {"{UTM, 1, 1, 500000, 4000000, 30, 30, 33, North,WGS-84}", "{PROJCS[\"x\"]}", "{3, 6378137.0}"}},
      {5, 5, 46, kEnviInt16, {}, {"{Geographic Lat/Lon, 1, 1, 10, 50, 0.1, 0.1}", "", ""}},
  };
  for (const Case& c : cases) {
    EnviHeader h;
    h.description = "cube {with braces}";
    h.samples = c.samples;
    h.lines = c.lines;
    h.bands = c.bands;
    h.data_type = c.type;
    h.band_names = c.names;
    h.georef = c.georef;
    const std::string text = format_envi_header(h);
    SCOPED_TRACE(text);
    EXPECT_EQ(text.back(), '\n');
    std::map<std::string, std::string> e;
    ASSERT_TRUE(parse_envi_header(text, e));
    EXPECT_EQ(e["samples"], std::to_string(c.samples));
    EXPECT_EQ(e["lines"], std::to_string(c.lines));
    EXPECT_EQ(e["bands"], std::to_string(c.bands));
    EXPECT_EQ(e["data type"], std::to_string(c.type));
    EXPECT_EQ(e["header offset"], "0");
    EXPECT_EQ(e["interleave"], "bsq");
    EXPECT_EQ(e["byte order"], "0");
    // Braces in the description would end the value early.
    EXPECT_EQ(e["description"], "{cube (with braces)}");
    EXPECT_TRUE(input_header_problems(e, c.samples, c.lines, c.bands, c.type).empty());
    const EnviGeoref g = georef_of(e);
    EXPECT_EQ(g.map_info, c.georef.map_info);
    EXPECT_EQ(g.coordinate_system_string, c.georef.coordinate_system_string);
    EXPECT_EQ(g.projection_info, c.georef.projection_info);
    if (c.names.empty()) {
      EXPECT_EQ(e.count("band names"), 0u);
    } else {
      std::string joined = "{\n";
      for (size_t i = 0; i < c.names.size(); ++i) joined += c.names[i] + (i + 1 < c.names.size() ? ",\n" : "}");
      EXPECT_EQ(e["band names"], joined);
    }
  }
}

TEST(EnviHeader, ReadsTheHeadersGdalWrites) {
  std::map<std::string, std::string> e;
  ASSERT_TRUE(parse_envi_header(kGdalHeader, e));
  EXPECT_EQ(e["lines"], "12");
  EXPECT_EQ(e["description"], "{\ndata.bsq}");
  EXPECT_EQ(e["data ignore value"], "32767");
  const EnviGeoref g = georef_of(e);
  EXPECT_EQ(g.map_info, "{UTM, 1, 1, 500000, 4000000, 30, 30, 33, North,WGS-84}");
  EXPECT_EQ(g.coordinate_system_string, "{PROJCS[\"WGS_1984_UTM_Zone_33N\",GEOGCS[\"GCS_WGS_1984\"]]}");
  EXPECT_TRUE(g.projection_info.empty());
  EXPECT_TRUE(input_header_problems(e, 20, 12, 46, kEnviInt16).empty());
  // Keys are matched whatever their case and spacing; line ends may be CR LF.
  ASSERT_TRUE(parse_envi_header("\r\nENVI\r\nData  Type = 4\r\nMap Info = {a, 1}\r\n", e));
  EXPECT_EQ(e["data type"], "4");
  EXPECT_EQ(georef_of(e).map_info, "{a, 1}");
}

TEST(EnviHeader, RefusesTextThatIsNoHeader) {
  const char* bad[] = {"", "samples = 3\n", "ENVIRONMENT\nsamples = 3\n", "ENVI\nband names = {a,\nb,\n"};
  for (const char* text : bad) {
    std::map<std::string, std::string> e = {{"stale", "entry"}};
    EXPECT_FALSE(parse_envi_header(text, e)) << text;
    EXPECT_TRUE(e.empty()) << text;
  }
}

TEST(EnviHeader, InputHeaderProblemsNameEachDisagreement) {
  struct Case {
    const char* change;  // line appended to (or replacing) the good header
    const char* expect;  // start of the one problem reported, or "" for none
  };
  const Case cases[] = {
      {"", ""},
      {"samples = 21", "samples is 21 but NS in cntl.dat is 20"},
      {"lines = 13", "lines is 13 but NL in cntl.dat is 12"},
      {"bands = 45", "bands is 45 but NB in cntl.dat is 46"},
      {"header offset = 128", "header offset is 128 but tsrecon reads headerless files"},
      {"data type = 12", "data type is 12 but tsrecon reads data type 2"},
      {"byte order = 1", "byte order is 1 but tsrecon reads little-endian"},
      {"interleave = bil", "interleave is bil but tsrecon reads band-sequential"},
      {"interleave = BSQ", ""},
      {"samples = twenty", "samples = twenty is not a number"},
  };
  for (const Case& c : cases) {
    std::map<std::string, std::string> e;
    ASSERT_TRUE(parse_envi_header(std::string(kGdalHeader) + c.change + "\n", e));
    const std::vector<std::string> problems = input_header_problems(e, 20, 12, 46, kEnviInt16);
    if (*c.expect == '\0') {
      EXPECT_TRUE(problems.empty()) << c.change << ": " << (problems.empty() ? "" : problems[0]);
    } else {
      ASSERT_EQ(problems.size(), 1u) << c.change;
      EXPECT_EQ(problems[0].rfind(c.expect, 0), 0u) << problems[0];
    }
  }
  // Entries a header may leave out: byte order and header offset default to
  // 0, the sizes do not.
  std::map<std::string, std::string> minimal;
  ASSERT_TRUE(parse_envi_header("ENVI\nsamples = 20\nlines = 12\nbands = 46\ndata type = 2\n", minimal));
  EXPECT_TRUE(input_header_problems(minimal, 20, 12, 46, kEnviInt16).empty());
  minimal.erase("bands");
  ASSERT_EQ(input_header_problems(minimal, 20, 12, 46, kEnviInt16).size(), 1u);
  EXPECT_EQ(input_header_problems(minimal, 20, 12, 46, kEnviInt16)[0], "bands is missing but NB in cntl.dat is 46");
  // With FORT_CONVERT21=BIG_ENDIAN tsrecon reads byte order 1.
  minimal["bands"] = "46";
  ASSERT_EQ(input_header_problems(minimal, 20, 12, 46, kEnviInt16, 1).size(), 1u);
  EXPECT_EQ(input_header_problems(minimal, 20, 12, 46, kEnviInt16, 1)[0].rfind("byte order is missing but FORT_CONVERT", 0),
            0u);
  minimal["byte order"] = "1";
  EXPECT_TRUE(input_header_problems(minimal, 20, 12, 46, kEnviInt16, 1).empty());
}

TEST(EnviHeader, ListValues) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"{2014-01-01, 2014-01-17}", {"2014-01-01", "2014-01-17"}},
      {"{\nconstant,\n trend }", {"constant", "trend"}},
      {"{}", {}},
      {" { } ", {}},
      {"one", {"one"}},
      {"{a,,b}", {"a", "", "b"}},
  };
  for (const auto& [value, items] : cases) EXPECT_EQ(envi_list(value), items) << value;
}

TEST(EnviHeader, HeaderNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"p.bsq", "p.hdr"},          {"order.dat", "order.hdr"}, {"data", "data.hdr"},
      {"a.b.c", "a.b.hdr"},        {".hidden", ".hidden.hdr"}, {"dir.x/data", "dir.x/data.hdr"},
      {"dir/f.bsq", "dir/f.hdr"},
  };
  for (const auto& [file, header] : cases) EXPECT_EQ(header_name_for(file), header) << file;
  EXPECT_EQ(appended_header_name_for("p.bsq"), "p.bsq.hdr");
}

}  // namespace
}  // namespace tsr::tools
