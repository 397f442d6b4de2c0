#include "collector/request_summary.h"

#include <gtest/gtest.h>

#include "collector/tests/request_bodies.h"

namespace collector {
namespace {

TEST(RequestSummaryTest, OneLinePerKindOfRequest) {
  static const struct {
    const char* name;
    std::string body;
    const char* line;
  } kCases[] = {
      {"report", collector_test::GzipPacket(collector_test::MakeReportPacket("E1", "101")),
       "cmd=830 type=101 expuid=E1 body=N answer=200 gzip"},
      {"user info", collector_test::GzipPacket(collector_test::MakeUserInfoPacket()),
       "cmd=840 session=5E55105E55105E55105E55105E55105E body=N answer=200 gzip"},
      {"not gzip", "xyz", "cmd=? error='body is not a gzip stream' body=N answer=200 gzip"},
      {"unknown cmd", collector_test::GzipPacket(collector_test::MakePacket(12, "")),
       "cmd=12 error='unknown cmd 12' body=N answer=200 gzip"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string expected = c.line;
    expected.replace(expected.find("body=N"), 6, "body=" + std::to_string(c.body.size()));
    EXPECT_EQ(FormatRequestSummary(DecodeRequestBody(c.body), c.body.size(), "200 gzip"), expected);
  }
}

}  // namespace
}  // namespace collector
