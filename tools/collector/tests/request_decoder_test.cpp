#include "collector/request_decoder.h"

#include <gtest/gtest.h>

#include "collector/zlib_codec.h"
#include "collector/tests/request_bodies.h"

namespace collector {
namespace {

using collector_test::GzipPacket;
using collector_test::MakeReportPacket;
using collector_test::MakeUserInfoPacket;

TEST(ZlibCodecTest, GzipRoundTripAndDamagedStreams) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += std::to_string(i) + ",";
  const std::string gz = Gzip(text);
  ASSERT_EQ(static_cast<unsigned char>(gz[0]), 0x1F);
  ASSERT_EQ(static_cast<unsigned char>(gz[1]), 0x8B);
  std::string out;
  ASSERT_TRUE(Gunzip(gz, &out));
  EXPECT_EQ(out, text);

  static const struct {
    const char* name;
    std::string input;
  } kBad[] = {
      {"truncated", gz.substr(0, gz.size() / 2)},
      {"trailing bytes", gz + "xx"},
      {"zlib instead of gzip", collector_test::ZlibCompress(text)},
      {"plain bytes", "hello"},
      {"empty", ""},
  };
  for (const auto& c : kBad) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Gunzip(c.input, &out));
  }
  // A stream that inflates beyond the limit is refused rather than held in memory.
  EXPECT_FALSE(Gunzip(gz, &out, text.size() - 1));
  EXPECT_TRUE(Gunzip(gz, &out, text.size()));
}

TEST(ZlibCodecTest, ZlibStreamsInflate) {
  std::string out;
  ASSERT_TRUE(ZlibInflate(collector_test::ZlibCompress("attachment text"), &out));
  EXPECT_EQ(out, "attachment text");
  EXPECT_FALSE(ZlibInflate(Gzip("attachment text"), &out));
}

TEST(RequestDecoderTest, ReportRequestWithAttachments) {
  const DecodedRequest decoded = DecodeRequestBody(GzipPacket(MakeReportPacket("ABC123")));
  ASSERT_TRUE(decoded.decoded) << decoded.error;
  EXPECT_EQ(decoded.cmd, kCmdReport);
  EXPECT_EQ(decoded.packet.request().prodid(), "app-1");
  ASSERT_TRUE(decoded.hasReports);
  EXPECT_FALSE(decoded.hasUserInfo);
  ASSERT_EQ(decoded.reports.size(), 1u);
  const DecodedReport& report = decoded.reports[0];
  EXPECT_EQ(report.upload.expuid(), "ABC123");
  ASSERT_EQ(report.attachments.size(), 3u);

  EXPECT_EQ(report.attachments[0].fileName, "log.zip");
  EXPECT_TRUE(report.attachments[0].inflated);
  EXPECT_EQ(report.attachments[0].content, "first line\nsecond line\n");

  EXPECT_FALSE(report.attachments[1].inflated);
  EXPECT_EQ(report.attachments[1].content, std::string("raw\0bytes", 9));
  EXPECT_TRUE(report.attachments[1].error.empty());

  // A ".zip" attachment that is not a zlib stream keeps its bytes and says why.
  EXPECT_FALSE(report.attachments[2].inflated);
  EXPECT_EQ(report.attachments[2].data, "not zlib at all");
  EXPECT_TRUE(report.attachments[2].content.empty());
  EXPECT_FALSE(report.attachments[2].error.empty());
}

TEST(RequestDecoderTest, UserInfoRequest) {
  const DecodedRequest decoded = DecodeRequestBody(GzipPacket(MakeUserInfoPacket()));
  ASSERT_TRUE(decoded.decoded) << decoded.error;
  EXPECT_EQ(decoded.cmd, kCmdUserInfo);
  ASSERT_TRUE(decoded.hasUserInfo);
  EXPECT_FALSE(decoded.hasReports);
  EXPECT_EQ(decoded.userInfo.procename(), "game.exe");
  ASSERT_EQ(decoded.userInfo.list_size(), 1);
  EXPECT_EQ(decoded.userInfo.list(0).gatewayip(), "unknown");
}

TEST(RequestDecoderTest, UndecodableBodiesNameTheFailingStep) {
  VextraPkg::UniPacket noRequest;
  noRequest.set_encodename("utf-8");
  VextraPkg::UniPacket unknownCmd = collector_test::MakePacket(999, "");
  VextraPkg::UniPacket badReport = collector_test::MakePacket(830, "\xFF\xFF\xFF");
  VextraPkg::UniPacket badUserInfo = collector_test::MakePacket(840, "\x0A\x05" "ab");

  static const struct {
    const char* name;
    std::string body;
    const char* error;
    int cmd;
  } kCases[] = {
      {"empty body", "", "empty body", 0},
      {"plain body", MakeReportPacket("X").SerializeAsString(), "not a gzip stream", 0},
      {"gzip of garbage", Gzip("\xFF\xFF\xFF\xFF"), "not a UniPacket", 0},
      {"no request", GzipPacket(noRequest), "no request", 0},
      {"unknown cmd", GzipPacket(unknownCmd), "unknown cmd 999", 999},
      {"bad report", GzipPacket(badReport), "ExceptionUploadPackage", 830},
      {"bad user info", GzipPacket(badUserInfo), "UserInfoPackage", 840},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const DecodedRequest decoded = DecodeRequestBody(c.body);
    EXPECT_FALSE(decoded.decoded);
    EXPECT_NE(decoded.error.find(c.error), std::string::npos) << decoded.error;
    EXPECT_EQ(decoded.cmd, c.cmd);
    EXPECT_TRUE(decoded.reports.empty());
  }
}

TEST(RequestDecoderTest, ZipSuffixIsCaseSensitiveAndWhole) {
  static const struct {
    const char* name;
    bool zlib;
  } kCases[] = {{"minidump.zip", true}, {".zip", true}, {"log.ZIP", false}, {"zip", false}, {"a.zip.txt", false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsZlibAttachmentName(c.name), c.zlib);
  }
}

}  // namespace
}  // namespace collector
