#include "sysinfo/os_name_table.h"

#include <gtest/gtest.h>

namespace lumarobase {
namespace {

constexpr uint16_t kX86 = 0;
constexpr uint16_t kX64 = kProcessorArchitectureAmd64;

TEST(OsNameTable, NamesEachKnownRelease) {
  static constexpr struct {
    const char* version;
    uint16_t architecture;
    int server_r2;
    const char* name;
  } kCases[] = {
      {"4.0.950", kX86, 0, "Microsoft Windows 95"},
      {"4.10.1998", kX86, 0, "Microsoft Windows 98"},
      {"4.90.3000", kX86, 0, "Microsoft Windows Me"},
      {"4.3.1", kX86, 0, "unknow os"},
      {"5.0.2195", kX86, 0, "Microsoft Windows 2000"},
      {"5.1.2600", kX86, 0, "Microsoft Windows XP"},
      {"5.2.3790", kX64, 0, "Microsoft Windows XP Professional x64 Edition"},
      {"5.2.3790", kX64, 1, "Microsoft Windows XP Professional x64 Edition"},
      {"5.2.3790", kX86, 0, "Microsoft Windows Server 2003"},
      {"5.2.3790", kX86, 1, "Microsoft Windows Server 2003 R2"},
      {"5.3.1", kX86, 0, "unknow os"},
      {"6.0.6002", kX64, 0, "Microsoft Windows Vista"},
      {"6.1.7601", kX64, 0, "Microsoft Windows 7"},
      {"6.2.9200", kX64, 0, "Microsoft Windows 8"},
      {"6.3.9600", kX64, 0, "Microsoft Windows 8.1"},
      {"6.4.9841", kX64, 0, "unknow os"},
      {"10.0.19045", kX64, 0, "Microsoft Windows 10(19045)"},
      {"10.0.18362", kX64, 0, "Microsoft Windows 10(18362)"},
      {"10.0.21999", kX64, 0, "Microsoft Windows 10(21999)"},
      {"10.0.22000", kX64, 0, "Microsoft Windows 11(22000)"},
      {"10.0.22631", kX64, 0, "Microsoft Windows 11(22631)"},
      {"10.0.22631.4890", kX64, 0, "Microsoft Windows 11(22631)"},
      {"10.1.5", kX64, 0, "unknow os(5)"},
      {"3.51.1057", kX86, 0, "unknow os"},
      {"11.0.1", kX64, 0, "unknow os"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.version);
    EXPECT_EQ(OsNameForVersion(c.version, c.architecture, c.server_r2), c.name);
  }
}

TEST(OsNameTable, TextWithoutMajorMinorAndBuildIsUnknown) {
  // No version text at all (the query connection was not ready) included.
  for (const char* text : {"", "10.0", "10", "Windows", "10.x.19045", "abc.1.2"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(OsNameForVersion(text, kX64, 0), "unknow os");
  }
  EXPECT_EQ(OsNameForVersion(nullptr, kX64, 0), "unknow os");
}

TEST(OsNameTable, ParsesFourPartsAndDefaultsTheRevision) {
  OsVersionNumbers v;
  ASSERT_TRUE(ParseOsVersion("10.0.19045.3803", &v));
  EXPECT_EQ(v.major, 10);
  EXPECT_EQ(v.minor, 0);
  EXPECT_EQ(v.build, 19045);
  EXPECT_EQ(v.revision, 3803);

  OsVersionNumbers three;
  three.revision = 77;
  ASSERT_TRUE(ParseOsVersion("6.1.7601", &three));
  EXPECT_EQ(three.build, 7601);
  EXPECT_EQ(three.revision, 0);

  OsVersionNumbers untouched;
  untouched.major = 42;
  EXPECT_FALSE(ParseOsVersion("6.1", &untouched));
  EXPECT_EQ(untouched.major, 42);
}

}  // namespace
}  // namespace lumarobase
