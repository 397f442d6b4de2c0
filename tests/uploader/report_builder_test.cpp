// The request envelope: every field's source, the user information with its
// one launch summary, the report package, time-zone and resolution texts, and
// the UTF-8 rule for protocol strings.

#include "uploader/report_builder.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "VextraPkg.pb.h"
#include "core/common_info.h"
#include "uploader/envelope_facts.h"
#include "uploader/machine_facts.h"
#include "uploader/protocol_text.h"

namespace {

using Vextra::CommonInfo;
using Vextra::EnvelopeFacts;
using Vextra::ReportBuilder;

// Names of the fields a message carries on the wire (proto3: non-default ones).
std::set<std::string> PresentFields(const google::protobuf::Message& message) {
  std::vector<const google::protobuf::FieldDescriptor*> fields;
  message.GetReflection()->ListFields(message, &fields);
  std::set<std::string> names;
  for (const auto* field : fields) names.insert(field->name());
  return names;
}

bool IsGuidText(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

EnvelopeFacts SampleFacts() {
  EnvelopeFacts facts;
  facts.phyMemAll = 16311;
  facts.phyMemUsed = 9120;
  facts.usedProcMem = 412;
  facts.screenWidth = 2560;
  facts.screenHeight = 1440;
  facts.timeZoneBiasMinutes = -480;
  facts.timeZoneName = "China Standard Time";
  facts.uploadTime = 1700000123;
  return facts;
}

class ReportBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override { CommonInfo::Instance().ResetForTesting(); }
  void TearDown() override { CommonInfo::Instance().ResetForTesting(); }

  // Every setting the envelope reads, each with a value of its own.
  static void FillSettings() {
    CommonInfo& settings = CommonInfo::Instance();
    settings.SetAppId("app-7");
    settings.SetAppVersion("3.1.4");
    settings.SetOsVer("Microsoft Windows 10(19045)");
    settings.SetSessionId("0123456789ABCDEF0123456789ABCDEF");
    settings.SetDeviceId("device-9");
    settings.SetMac("00-1A-2B-3C-4D-5E");
    settings.SetDisplayMem(8192);
    settings.SetGpu("Radeon RX 6800");
    settings.SetDisplayVersion("31.0.21");
    settings.SetCpu("Ryzen 9 5900X");
    settings.SetServerEnv("staging");
    settings.SetProcessName("game.exe");
    settings.SetUserId("user-5");
    settings.SetBootTime(1699990000);
    settings.SetStrategyJson("{\"KEY_MERGE_IMPROVE\":\"1\"}");
  }
};

TEST_F(ReportBuilderTest, UserInformationConstructorMakesItsOwnId) {
  ReportBuilder first;
  ReportBuilder second;
  EXPECT_EQ(first.GetCmd(), 840);
  EXPECT_EQ(first.GetReportType(), 101);
  EXPECT_TRUE(IsGuidText(first.GetExpuid())) << first.GetExpuid();
  EXPECT_NE(first.GetExpuid(), second.GetExpuid());
}

TEST_F(ReportBuilderTest, EveryEnvelopeFieldComesFromSettingsAndFacts) {
  FillSettings();
  ReportBuilder builder;
  builder.FillCommon(SampleFacts());
  const VextraPkg::RequestPkg& envelope = builder.GetRequest();

  EXPECT_EQ(envelope.platformid(), 10);
  EXPECT_EQ(envelope.prodid(), "app-7");
  EXPECT_EQ(envelope.bundleid(), "bundleId");
  EXPECT_EQ(envelope.version(), "3.1.4");
  EXPECT_EQ(envelope.sdkver(), "2.2.2.944");
  EXPECT_EQ(envelope.cmd(), 840);
  EXPECT_EQ(envelope.osver(), "Microsoft Windows 10(19045)");
  EXPECT_EQ(envelope.sessionid(), "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(envelope.deviceid(), "device-9");
  EXPECT_EQ(envelope.uploadtime(), 1700000123);
  EXPECT_EQ(envelope.mac(), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(envelope.phymemall(), 16311);
  EXPECT_EQ(envelope.phymemused(), 9120);
  EXPECT_EQ(envelope.usedprocmem(), 412);
  EXPECT_EQ(envelope.displaymem(), "8192");
  EXPECT_EQ(envelope.displaycard(), "Radeon RX 6800");
  EXPECT_EQ(envelope.resolution(), "2560*1440");
  EXPECT_EQ(envelope.displayversion(), "31.0.21");
  EXPECT_EQ(envelope.gpu(), "Radeon RX 6800");
  EXPECT_EQ(envelope.osbit(), 64);
  EXPECT_EQ(envelope.cpu(), "Ryzen 9 5900X");
  EXPECT_EQ(envelope.serverenv(), "staging");
  EXPECT_EQ(envelope.timezoneabbreviation(), "GMT-8");
  EXPECT_EQ(envelope.timezonename(), "China Standard Time");
  EXPECT_EQ(envelope.timezoneseconds(), -28800);

  // Nothing else travels: the fields marked "not set" stay off the wire.
  const std::set<std::string> expected = {
      "platformId", "prodId", "bundleId", "version", "sdkVer", "cmd", "osVer", "sessionId", "deviceId",
      "uploadTime", "mac", "phyMemAll", "phyMemUsed", "usedProcMem", "displayMem", "displayCard",
      "resolution", "displayVersion", "gpu", "osBit", "cpu", "serverEnv", "timeZoneAbbreviation",
      "timeZoneName", "timeZoneSeconds"};
  EXPECT_EQ(PresentFields(envelope), expected);
  EXPECT_EQ(PresentFields(*builder.BuildEnvelope()).count("sBuffer"), 1u);
}

TEST_F(ReportBuilderTest, UnsetSettingsStayOffTheWire) {
  ReportBuilder builder;
  EnvelopeFacts facts;  // nothing could be read
  builder.FillCommon(facts);
  const VextraPkg::RequestPkg& envelope = builder.GetRequest();
  const std::set<std::string> present = PresentFields(envelope);
  for (const char* absent : {"serverEnv", "prodId", "version", "deviceId", "sessionId", "mac", "cpu", "gpu",
                             "displayCard", "timeZoneName", "timeZoneSeconds"}) {
    SCOPED_TRACE(absent);
    EXPECT_EQ(present.count(absent), 0u);
  }
  EXPECT_EQ(envelope.phymemall(), 1);
  EXPECT_EQ(envelope.phymemused(), 1);
  EXPECT_EQ(envelope.usedprocmem(), 1);
  EXPECT_EQ(envelope.displaymem(), "1");
  EXPECT_EQ(envelope.resolution(), "0*0");
  EXPECT_EQ(envelope.timezoneabbreviation(), "GMT0");
}

TEST_F(ReportBuilderTest, DisplayMemoryIsDecimalAndOneWhenUnknown) {
  static constexpr struct {
    uint32_t mib;
    const char* text;
  } kCases[] = {{0, "1"}, {1, "1"}, {512, "512"}, {4294967295u, "4294967295"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mib);
    CommonInfo::Instance().SetDisplayMem(c.mib);
    ReportBuilder builder;
    builder.FillCommon(SampleFacts());
    EXPECT_EQ(builder.GetRequest().displaymem(), c.text);
  }
}

TEST_F(ReportBuilderTest, TimeZoneFieldsFollowTheBias) {
  static constexpr struct {
    int32_t bias;
    int32_t seconds;
    const char* abbreviation;
  } kCases[] = {
      {-330, -19800, "GMT-5"},  // UTC+5:30: whole hours truncate toward zero
      {0, 0, "GMT0"},
      {300, 18000, "GMT5"},  // UTC-5: no plus sign
      {-480, -28800, "GMT-8"},
      {-30, -1800, "GMT0"},  // less than an hour east
      {210, 12600, "GMT3"},
      {-765, -45900, "GMT-12"},
      {INT32_MIN, INT32_MIN, "GMT-596523"},  // held to the 32-bit range
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.bias);
    EnvelopeFacts facts = SampleFacts();
    facts.timeZoneBiasMinutes = c.bias;
    ReportBuilder builder;
    builder.FillCommon(facts);
    EXPECT_EQ(builder.GetRequest().timezoneseconds(), c.seconds);
    EXPECT_EQ(builder.GetRequest().timezoneabbreviation(), c.abbreviation);
  }
}

TEST_F(ReportBuilderTest, ResolutionIsWidthStarHeight) {
  static constexpr struct {
    int32_t width;
    int32_t height;
    const char* text;
  } kCases[] = {
      {1920, 1080, "1920*1080"},
      {0, 0, "0*0"},
      {INT32_MIN, INT32_MIN, "-2147483648*-2147483648"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EnvelopeFacts facts = SampleFacts();
    facts.screenWidth = c.width;
    facts.screenHeight = c.height;
    ReportBuilder builder;
    builder.FillCommon(facts);
    EXPECT_EQ(builder.GetRequest().resolution(), c.text);
  }
}

TEST_F(ReportBuilderTest, UserInformationCarriesExactlyOneSummary) {
  FillSettings();
  ReportBuilder builder;
  builder.FillCommon(SampleFacts());
  builder.FillCommon(SampleFacts());  // filling again must not add a second summary
  const VextraPkg::RequestPkg* envelope = builder.BuildEnvelope();

  VextraPkg::UserInfoPackage info;
  ASSERT_TRUE(info.ParseFromString(envelope->sbuffer()));
  EXPECT_EQ(info.type(), 0);
  EXPECT_EQ(info.procename(), "game.exe");
  EXPECT_EQ(info.deviceid(), "");
  EXPECT_EQ(info.userid(), "user-5");
  EXPECT_EQ(info.deviceboottime(), 1699990000);
  EXPECT_EQ(info.uptimelist_size(), 0);
  const std::map<std::string, std::string> values(info.valuemap().begin(), info.valuemap().end());
  const std::map<std::string, std::string> expected_values = {
      {"A1", "16311"}, {"A9", "9120"}, {"A6", "Ryzen 9 5900X"}, {"A34", "game.exe"}, {"A18", "1699990000"}};
  EXPECT_EQ(values, expected_values);

  ASSERT_EQ(info.list_size(), 1);
  const VextraPkg::SummaryInfo& summary = info.list(0);
  EXPECT_EQ(summary.starttime(), 1699990000);
  EXPECT_EQ(summary.starttype(), 1);
  EXPECT_EQ(summary.userid(), "user-5");
  EXPECT_EQ(summary.procename(), "game.exe");
  EXPECT_EQ(summary.sessionid(), "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_TRUE(summary.valuemap().empty());
  EXPECT_EQ(summary.gatewayip(), "unknown");
  EXPECT_TRUE(summary.coldstart());
}

TEST_F(ReportBuilderTest, ReportsCarryOnePackagedReportAndNoSummary) {
  FillSettings();
  static const struct {
    const char* name;
    bool crash;
    const char* type;
    const char* expName;
    const char* expMessage;
    int32_t ehType;
  } kCases[] = {
      {"crash", true, "101", "crash", "Please check minidump for stacktrace!", 2},
      {"error", false, "107", "LuaError", "attempt to index nil", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string expuid = "FEDCBA9876543210FEDCBA9876543210";
    std::unique_ptr<ReportBuilder> builder =
        c.crash ? std::make_unique<ReportBuilder>(2, expuid)
                : std::make_unique<ReportBuilder>(std::string("LuaError"),
                                                  std::string("attempt to index nil"), expuid);
    EXPECT_EQ(builder->GetRequest().cmd(), 830);  // set at construction
    builder->FillCommon(SampleFacts());
    VextraPkg::Attachment* dump = builder->MutableUpload()->add_attaches();
    dump->set_filename("minidump.zip");
    dump->set_data(std::string("\x1f\x8b\0\xff", 4));
    const VextraPkg::RequestPkg* envelope = builder->BuildEnvelope();

    EXPECT_EQ(envelope->cmd(), 830);
    EXPECT_EQ(builder->GetUserInfo().list_size(), 0);
    VextraPkg::ExceptionUploadPackage package;
    ASSERT_TRUE(package.ParseFromString(envelope->sbuffer()));
    ASSERT_EQ(package.list_size(), 1);
    const VextraPkg::ExceptionUpload& report = package.list(0);
    EXPECT_EQ(report.type(), c.type);
    EXPECT_EQ(report.expname(), c.expName);
    EXPECT_EQ(report.expmessage(), c.expMessage);
    EXPECT_EQ(report.ehtype(), c.ehType);
    EXPECT_EQ(report.expuid(), expuid);
    EXPECT_EQ(report.userid(), "user-5");
    EXPECT_EQ(report.pidname(), "game.exe");
    EXPECT_EQ(report.deviceboottime(), 1699990000);
    const std::map<std::string, std::string> values(report.valuemap().begin(), report.valuemap().end());
    const std::map<std::string, std::string> expected_values = {
        {"A1", "16311"},     {"A9", "9120"},        {"A6", "Ryzen 9 5900X"},
        {"A34", "game.exe"}, {"A18", "1699990000"}, {"G05", "{\"KEY_MERGE_IMPROVE\":\"1\"}"}};
    EXPECT_EQ(values, expected_values);
    ASSERT_EQ(report.attaches_size(), 1);
    EXPECT_EQ(report.attaches(0).data(), std::string("\x1f\x8b\0\xff", 4));

    // The builder still holds its report after the package was serialized.
    EXPECT_EQ(builder->GetUpload().attaches_size(), 1);
    EXPECT_EQ(builder->BuildEnvelope()->sbuffer(), envelope->sbuffer());
  }
}

TEST_F(ReportBuilderTest, FreshFactsComeFromTheMachine) {
  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  ReportBuilder builder;
  builder.FillCommon();
  const int64_t after = static_cast<int64_t>(std::time(nullptr));
  const VextraPkg::RequestPkg& envelope = builder.GetRequest();

  EXPECT_GE(envelope.uploadtime(), before);
  EXPECT_LE(envelope.uploadtime(), after);
  // No system information in the settings: the memory figures stay at 1.
  EXPECT_EQ(envelope.phymemall(), 1);
  EXPECT_EQ(envelope.phymemused(), 1);
  EXPECT_EQ(envelope.usedprocmem(), 1);
  EXPECT_EQ(envelope.osbit(), 64);

  int32_t width = -1;
  int32_t height = -1;
  Vextra::platform::ReadScreenSize(&width, &height);
  EXPECT_EQ(envelope.resolution(), Vextra::FormatResolution(width, height));
  int32_t bias = 0;
  std::string zone_name;
  Vextra::platform::ReadTimeZone(&bias, &zone_name);
  EXPECT_EQ(envelope.timezoneseconds(), bias * 60);
  EXPECT_EQ(envelope.timezonename(), zone_name);
  EXPECT_TRUE(Vextra::IsValidUtf8(zone_name));
  // True of any machine's zone: from UTC+14 (bias -840) to UTC-12 (bias 720).
  // The values themselves are checked against known zones on Linux.
  EXPECT_GE(envelope.timezoneseconds(), -840 * 60);
  EXPECT_LE(envelope.timezoneseconds(), 720 * 60);
  EXPECT_GE(width, 0);
  EXPECT_GE(height, 0);
}

TEST(ProtocolTextTest, ValidUtf8PassesAndEverythingElseIsEscaped) {
  static const struct {
    const char* name;
    std::string text;
    bool valid;
    std::string sent;  // what goes into the message
  } kCases[] = {
      {"empty", "", true, ""},
      {"ascii", "user-5", true, "user-5"},
      {"two-byte", "J\xC3\xA9r\xC3\xB4me", true, "J\xC3\xA9r\xC3\xB4me"},
      {"three-byte", "\xE7\x8E\xA9\xE5\xAE\xB6", true, "\xE7\x8E\xA9\xE5\xAE\xB6"},
      {"four-byte", "\xF0\x9F\x8E\xAE", true, "\xF0\x9F\x8E\xAE"},
      {"highest code point", "\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"},
      {"embedded zero", std::string("a\0b", 3), true, std::string("a\0b", 3)},
      {"backslashes in valid text", "C:\\x64\\bin \\xE9 \\x{e9} \\x{E9", true, "C:\\x64\\bin \\xE9 \\x{e9} \\x{E9"},
      {"latin-1 byte", "J\xE9r\xF4me", false, "J\\x{E9}r\\x{F4}me"},
      {"latin-1 byte beside a backslash", "C:\\caf\xE9", false, "C:\\x{5C}caf\\x{E9}"},
      {"valid text that reads as an escape", "k\\x{E9}y", true, "k\\x{5C}x{E9}y"},
      {"overlong slash", "a\xC0\xAF", false, "a\\x{C0}\\x{AF}"},
      {"surrogate", "\xED\xA0\x80", false, "\\x{ED}\\x{A0}\\x{80}"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false, "\\x{F4}\\x{90}\\x{80}\\x{80}"},
      {"truncated sequence", "x\xE2\x82", false, "x\\x{E2}\\x{82}"},
      {"lone continuation", "\x80", false, "\\x{80}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Vextra::IsValidUtf8(c.text), c.valid);
    const std::string sent = Vextra::ToProtocolText(c.text);
    EXPECT_EQ(sent, c.sent);
    EXPECT_TRUE(Vextra::IsValidUtf8(sent));
  }
}

// Host keys that differ only in how a character is written: none may merge
// with another once made valid for the message.
TEST_F(ReportBuilderTest, DistinctHostKeysStayDistinct) {
  const std::vector<std::string> keys = {
      "k\xE9y",                // Latin-1
      "k\xC3\xA9y",            // the same word in UTF-8
      "k\\x{E9}y",             // valid text that reads like the Latin-1 key's escape
      "k\\x{5C}x{E9}y",        // and like that text's escape
      "k\\xE9y",               // a plain backslash sequence
      "k\xFFy",                // not text in any encoding
      "k\xEF\xBF\xBDy",        // U+FFFD, what a lossy repair would make of the first two
      "ke\xCC\x81y",           // e with a combining accent
  };
  ReportBuilder report(std::string("Err"), std::string("message"), std::string("E1"));
  report.FillCommon(SampleFacts());
  for (size_t i = 0; i < keys.size(); ++i) {
    (*report.MutableUpload()->mutable_usermap())[keys[i]] = "v" + std::to_string(i);
  }
  VextraPkg::ExceptionUploadPackage package;
  ASSERT_TRUE(package.ParseFromString(report.BuildEnvelope()->sbuffer()));
  ASSERT_EQ(package.list_size(), 1);
  const auto& received = package.list(0).usermap();
  ASSERT_EQ(received.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string sent = Vextra::ToProtocolText(keys[i]);
    ASSERT_EQ(received.count(sent), 1u);
    EXPECT_EQ(received.at(sent), "v" + std::to_string(i));
  }
}

TEST_F(ReportBuilderTest, HostTextThatIsNotUtf8StillGivesAReadableRequest) {
  // A host that passes its ANSI code page: 0xE9 and 0xF4 are not UTF-8.
  CommonInfo::Instance().SetUserId("J\xE9r\xF4me");
  CommonInfo::Instance().SetProcessName("spi\xEBl.exe");
  ReportBuilder user_info;
  user_info.FillCommon(SampleFacts());
  VextraPkg::UniPacket packet;
  *packet.mutable_request() = *user_info.BuildEnvelope();
  VextraPkg::UniPacket parsed;
  ASSERT_TRUE(parsed.ParseFromString(packet.SerializeAsString()));
  VextraPkg::UserInfoPackage info;
  ASSERT_TRUE(info.ParseFromString(parsed.request().sbuffer()));
  EXPECT_TRUE(Vextra::IsValidUtf8(info.userid()));
  EXPECT_EQ(info.userid().substr(0, 1), "J");
  EXPECT_EQ(info.userid().substr(info.userid().size() - 2), "me");
  ASSERT_EQ(info.list_size(), 1);
  EXPECT_EQ(info.list(0).userid(), info.userid());
  EXPECT_EQ(info.valuemap().at("A34"), info.procename());

  ReportBuilder report(std::string("Err\xFF"), std::string("message"), std::string("E1"));
  report.FillCommon(SampleFacts());
  (*report.MutableUpload()->mutable_usermap())["k\xFE"] = "v\xFD";
  VextraPkg::ExceptionUploadPackage package;
  ASSERT_TRUE(package.ParseFromString(report.BuildEnvelope()->sbuffer()));
  ASSERT_EQ(package.list_size(), 1);
  EXPECT_TRUE(Vextra::IsValidUtf8(package.list(0).expname()));
  ASSERT_EQ(package.list(0).usermap_size(), 1);
  EXPECT_TRUE(Vextra::IsValidUtf8(package.list(0).usermap().begin()->first));
  EXPECT_TRUE(Vextra::IsValidUtf8(package.list(0).usermap().begin()->second));
}

}  // namespace
