#include "collector/answer_builder.h"

#include <gtest/gtest.h>

#include "VextraPkg.pb.h"
#include "collector/request_decoder.h"
#include "collector/zlib_codec.h"

namespace collector {
namespace {

VextraPkg::ResponsePkg ResponseOf(const Answer& answer, bool gzipped = true) {
  std::string bytes = answer.body;
  if (gzipped) {
    EXPECT_TRUE(Gunzip(answer.body, &bytes));
  }
  VextraPkg::UniPacket packet;
  EXPECT_TRUE(packet.ParseFromString(bytes));
  EXPECT_TRUE(packet.has_response());
  return packet.response();
}

TEST(AnswerBuilderTest, UserInfoAnswerCarriesTheStrategy) {
  CollectorOptions options;
  options.strategy = {{"KEY_VEXTRA_DISABLE", "0"}, {"KEY_OTHER", "x"}};
  const Answer answer = BuildAnswer(options, kCmdUserInfo);
  EXPECT_EQ(answer.httpStatus, 200);
  EXPECT_FALSE(answer.drop);
  const VextraPkg::ResponsePkg response = ResponseOf(answer);
  EXPECT_EQ(response.cmd(), kCmdUserInfo);
  EXPECT_TRUE(response.status().empty());
  VextraPkg::KplStrategy strategy;
  ASSERT_TRUE(strategy.ParseFromString(response.sbuffer()));
  ASSERT_EQ(strategy.valuemap().size(), 2u);
  EXPECT_EQ(strategy.valuemap().at("KEY_VEXTRA_DISABLE"), "0");
  EXPECT_EQ(strategy.valuemap().at("KEY_OTHER"), "x");
}

TEST(AnswerBuilderTest, ReportAnswerHasNoStrategyAndStatusTextReachesEveryAnswer) {
  CollectorOptions options;
  options.strategy = {{"KEY_VEXTRA_DISABLE", "1"}};
  options.statusText = "blocked";
  const VextraPkg::ResponsePkg report = ResponseOf(BuildAnswer(options, kCmdReport));
  EXPECT_EQ(report.cmd(), kCmdReport);
  EXPECT_TRUE(report.sbuffer().empty());
  EXPECT_EQ(report.status(), "blocked");
  EXPECT_EQ(ResponseOf(BuildAnswer(options, kCmdUserInfo)).status(), "blocked");
}

TEST(AnswerBuilderTest, FaultsAreCarriedOver) {
  CollectorOptions options;
  options.httpStatus = 500;
  options.gzipEncodingHeader = true;
  options.delayMs = 40;
  options.drop = true;
  options.plainBody = true;
  const Answer answer = BuildAnswer(options, kCmdUserInfo);
  EXPECT_EQ(answer.httpStatus, 500);
  EXPECT_TRUE(answer.gzipEncodingHeader);
  EXPECT_EQ(answer.delayMs, 40);
  EXPECT_TRUE(answer.drop);
  // A plain body is the packet itself, which the client's gzip inflate refuses.
  std::string ignored;
  EXPECT_FALSE(Gunzip(answer.body, &ignored));
  EXPECT_EQ(ResponseOf(answer, /*gzipped=*/false).cmd(), kCmdUserInfo);
  EXPECT_EQ(DescribeAnswer(answer, options), "dropped");
}

TEST(AnswerBuilderTest, DescriptionNamesStatusAndFaults) {
  CollectorOptions options;
  EXPECT_EQ(DescribeAnswer(BuildAnswer(options, kCmdReport), options), "200 gzip");
  options.httpStatus = 404;
  options.plainBody = true;
  options.gzipEncodingHeader = true;
  options.statusText = "off";
  options.delayMs = 7;
  EXPECT_EQ(DescribeAnswer(BuildAnswer(options, kCmdReport), options),
            "404 plain +content-encoding status='off' after 7ms");
  options.answerBytes = 1024;
  EXPECT_EQ(DescribeAnswer(BuildAnswer(options, kCmdReport), options),
            "404 plain +content-encoding status='off' after 7ms 1024 bytes");
}

TEST(AnswerBuilderTest, SizedAnswerIsTheBodyThenZeroBytes) {
  CollectorOptions options;
  options.answerBytes = 1 << 20;
  const Answer answer = BuildAnswer(options, kCmdUserInfo);
  EXPECT_EQ(answer.bodyBytes, 1 << 20);
  const std::string& body = answer.body;
  ASSERT_GT(body.size(), 4u);
  static const struct {
    const char* name;
    size_t offset;
    size_t size;
    std::string expected;
  } kCases[] = {
      {"the body", 0, body.size(), body},
      {"across the end of the body", body.size() - 2, 4, body.substr(body.size() - 2) + std::string(2, '\0')},
      {"past the body", body.size() + 100, 3, std::string(3, '\0')},
      {"a piece inside the body", 1, 2, body.substr(1, 2)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AnswerBodyBytes(answer, c.offset, c.size), c.expected);
  }
}

}  // namespace
}  // namespace collector
