// Every message kind of the wire schema survives serialization inside a UniPacket.

#include <gtest/gtest.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/util/message_differencer.h>

#include <iterator>
#include <string>

#include "VextraPkg.pb.h"

namespace {

using google::protobuf::util::MessageDifferencer;

VextraPkg::ExceptionUpload SampleReport() {
  VextraPkg::ExceptionUpload report;
  report.set_type("crash");
  report.set_crashtime(1700000000123);
  report.set_expname("EXCEPTION_ACCESS_VIOLATION");
  report.set_expmessage("write to 0x9c40");
  report.set_expaddr("0x00007FF612340000");
  report.set_crashthread("1234");
  report.set_callstack("frame0\nframe1");
  (*report.mutable_allstacks())["1234"] = "frame0";
  report.set_expuid("0123456789ABCDEF0123456789ABCDEF");
  report.mutable_session()->set_sessionid("S");
  report.mutable_session()->add_events("start");
  report.set_crashcount(2);
  report.set_userid("u");
  report.set_deviceid("d");
  report.mutable_appinfo()->set_name("game.exe");
  (*report.mutable_appinfo()->mutable_valuemap())["k"] = "v";
  report.add_libinfos()->set_uuid("lib");
  report.add_plugins()->set_arch("x64");
  auto* attach = report.add_attaches();
  attach->set_type(1);
  attach->set_filename("minidump.zip");
  attach->set_data(std::string("\x78\x9c\x00\x01\xff", 5));
  (*report.mutable_valuemap())["ehType"] = "2";
  (*report.mutable_usermap())["extmsg"] = "hello";
  report.set_gatewayip("10.0.0.1");
  report.set_coldstart(true);
  report.set_stackbeginaddress(0xFFFFFFFFFFFFFFF0ull);
  report.set_stackdata(std::string("\0\1\2", 3));
  report.set_serversymbolize(true);
  auto* fragment = report.add_textcodefragments();
  fragment->set_beginaddress(0x1000);
  fragment->set_data("code");
  report.set_pidname("game.exe");
  report.set_deviceboottime(1699999999);
  report.set_ehtype(1);
  return report;
}

VextraPkg::UserInfoPackage SampleUserInfo() {
  VextraPkg::UserInfoPackage info;
  info.set_type(1);
  info.set_procename("game.exe");
  info.set_deviceid("d");
  auto* summary = info.add_list();
  summary->set_starttime(1);
  summary->set_starttype(2);
  summary->set_userid("u");
  summary->set_procename("p");
  summary->set_sessionid("s");
  (*summary->mutable_valuemap())["a"] = "b";
  summary->set_gatewayip("g");
  summary->set_coldstart(true);
  (*info.mutable_valuemap())["k"] = "v";
  auto* up = info.add_uptimelist();
  up->set_type(1);
  up->set_retcode(-3);
  up->set_retmsg("m");
  up->set_attachsize(10);
  up->set_zipattachsize(5);
  up->set_networktype("wifi");
  up->set_totaltime(7);
  up->set_copytime(1);
  up->set_ziptime(2);
  up->set_uploadtime(3);
  up->set_deletetime(4);
  up->set_expuid("e");
  (*up->mutable_valuemap())["x"] = "y";
  info.set_userid("u");
  info.set_deviceboottime(99);
  return info;
}

VextraPkg::KplStrategy SampleStrategy() {
  VextraPkg::KplStrategy strategy;
  strategy.set_enable(true);
  strategy.set_enableuserinfo(true);
  strategy.set_enablequery(true);
  strategy.set_url("u");
  strategy.set_expurl("e");
  strategy.mutable_security()->set_enckey("k");
  strategy.mutable_security()->set_encpubkey("p");
  (*strategy.mutable_valuemap())["KEY_VEXTRA_DISABLE"] = "1";
  strategy.set_strategylastupdatetime(12345);
  strategy.set_httpsurl("h");
  strategy.set_httpsexpurl("he");
  strategy.set_eventrecordcount(10);
  strategy.set_eventtimeinterval(20);
  return strategy;
}

// Serializes `inner` into a request packet, sends the packet through the wire
// and returns what the receiver decodes.
VextraPkg::UniPacket RoundTrip(const VextraPkg::UniPacket& packet) {
  std::string wire;
  EXPECT_TRUE(packet.SerializeToString(&wire));
  VextraPkg::UniPacket decoded;
  EXPECT_TRUE(decoded.ParseFromString(wire));
  return decoded;
}

TEST(WireSchemaTest, RequestCarryingAReportRoundTrips) {
  VextraPkg::ExceptionUploadPackage reports;
  *reports.add_list() = SampleReport();

  VextraPkg::UniPacket packet;
  packet.set_iversion(1);
  packet.set_encodename("pb");
  packet.set_irequestid(7);
  packet.set_sservantname("s");
  packet.set_sfuncname("f");
  VextraPkg::RequestPkg* request = packet.mutable_request();
  request->set_platformid(3);
  request->set_prodid("app");
  request->set_cmd(830);
  request->set_sbuffer(reports.SerializeAsString());
  (*request->mutable_reserved())["r"] = "1";
  (*request->mutable_headers())["h"] = "2";
  request->set_phymemall(16000);
  request->set_timezoneseconds(-18000);
  request->set_timezoneabbreviation("EST");

  VextraPkg::UniPacket decoded = RoundTrip(packet);
  EXPECT_TRUE(MessageDifferencer::Equals(decoded, packet));
  VextraPkg::ExceptionUploadPackage decoded_reports;
  ASSERT_TRUE(decoded_reports.ParseFromString(decoded.request().sbuffer()));
  ASSERT_EQ(decoded_reports.list_size(), 1);
  EXPECT_TRUE(MessageDifferencer::Equals(decoded_reports.list(0), SampleReport()));
}

TEST(WireSchemaTest, UserInformationAndItsListRoundTrip) {
  VextraPkg::UserInfoList list;
  *list.add_list() = SampleUserInfo();
  VextraPkg::UniPacket packet;
  packet.mutable_request()->set_cmd(840);
  packet.mutable_request()->set_sbuffer(list.list(0).SerializeAsString());

  VextraPkg::UniPacket decoded = RoundTrip(packet);
  VextraPkg::UserInfoPackage info;
  ASSERT_TRUE(info.ParseFromString(decoded.request().sbuffer()));
  EXPECT_TRUE(MessageDifferencer::Equals(info, SampleUserInfo()));

  VextraPkg::UserInfoList decoded_list;
  ASSERT_TRUE(decoded_list.ParseFromString(list.SerializeAsString()));
  EXPECT_TRUE(MessageDifferencer::Equals(decoded_list, list));
}

TEST(WireSchemaTest, ResponseCarryingAStrategyRoundTrips) {
  VextraPkg::UniPacket packet;
  VextraPkg::ResponsePkg* response = packet.mutable_response();
  response->set_result(-1);
  response->set_cmd(840);
  response->set_sbuffer(SampleStrategy().SerializeAsString());
  response->set_gatewayip("1.2.3.4");
  response->set_servertime(1700000000);
  response->set_status("disabled");
  response->set_omid("o");
  (*response->mutable_valuemap())["a"] = "b";

  VextraPkg::UniPacket decoded = RoundTrip(packet);
  EXPECT_TRUE(MessageDifferencer::Equals(decoded, packet));
  VextraPkg::KplStrategy strategy;
  ASSERT_TRUE(strategy.ParseFromString(decoded.response().sbuffer()));
  EXPECT_TRUE(MessageDifferencer::Equals(strategy, SampleStrategy()));
}

TEST(WireSchemaTest, EmptyFieldsAreNotWrittenAndEmptyBytesParseToDefaults) {
  VextraPkg::RequestPkg request;
  request.set_prodid("");
  request.set_cmd(0);
  EXPECT_EQ(request.SerializeAsString(), "");

  VextraPkg::UniPacket empty;
  ASSERT_TRUE(empty.ParseFromString(""));
  EXPECT_FALSE(empty.has_response());
  EXPECT_EQ(empty.response().status(), "");
  EXPECT_EQ(empty.response().sbuffer(), "");
}

TEST(WireSchemaTest, SchemaNamesAndNumbersAreThoseThePeersUse) {
  const auto* file = VextraPkg::UniPacket::descriptor()->file();
  EXPECT_EQ(file->name(), "VextraPkg.proto");
  EXPECT_EQ(file->package(), "VextraPkg");
  EXPECT_EQ(file->options().java_outer_classname(), "VextraPkg");
  const auto* request = VextraPkg::RequestPkg::descriptor();
  EXPECT_EQ(request->FindFieldByName("timeZoneSeconds")->number(), 42);
  EXPECT_EQ(request->FindFieldByName("sBuffer")->number(), 8);
  EXPECT_TRUE(request->FindFieldByName("headers")->is_map());
  EXPECT_EQ(request->FindFieldByName("headers")->message_type()->name(), "HeadersEntry");
  EXPECT_EQ(VextraPkg::ExceptionUpload::descriptor()->FindFieldByName("ehType")->number(), 28);
  EXPECT_EQ(VextraPkg::ExceptionUpload::descriptor()->FindFieldByName("userMap")->message_type()->name(),
            "UserMapEntry");
}

// Every message and field as the peers expect them, written out by hand: a
// field renumbered or retyped in the schema changes the bytes on the wire
// while every round trip through the generated code still passes.
const struct {
  const char* message;
  const char* fields;  // "number name type" per field, in declaration order
} kWireMessages[] = {
    {"MemoryData", "1 beginAddress uint64|2 data bytes"},
    {"ResponsePkg",
     "1 result int64|2 cmd int32|3 sBuffer bytes|4 gatewayIp string|5 serverTime int64|6 status string|7 omid "
     "string|8 valueMap map"},
    {"RequestPkg",
     "1 platformId int32|2 prodId string|3 bundleId string|4 version string|5 channel string|6 sdkVer string|"
     "7 cmd int32|8 sBuffer bytes|9 model string|10 osVer string|11 reserved map|12 sessionId string|"
     "13 strategylastUpdateTime int64|14 sdkId string|15 deviceId string|16 apn string|17 uploadTime int64|"
     "18 imei string|19 omid string|20 imsi string|21 mac string|22 androidId string|23 networkType string|"
     "24 idfv string|25 userSetDeviceId string|26 cachedUuid string|27 currentVersionUuid string|28 headers map|"
     "29 phyMemAll int32|30 phyMemUsed int32|31 usedProcMem int32|32 displayMem string|33 displayCard string|"
     "34 resolution string|35 displayVersion string|36 gpu string|37 osBit int32|38 cpu string|"
     "39 serverEnv string|40 timeZoneAbbreviation string|41 timeZoneName string|42 timeZoneSeconds int32"},
    {"UniPacket",
     "1 iVersion int32|2 encodeName string|3 iRequestId int32|4 sServantName string|5 sFuncName string|"
     "6 request RequestPkg|7 response ResponsePkg"},
    {"UserInfoPackage",
     "1 type int32|2 proceName string|3 deviceId string|4 list repeated SummaryInfo|5 valueMap map|"
     "6 upTimeList repeated AttachUpTime|7 userId string|8 deviceBootTime int64"},
    {"UserInfoList", "1 list repeated UserInfoPackage"},
    {"SummaryInfo",
     "1 startTime int64|2 startType int32|3 userId string|4 proceName string|5 sessionId string|6 valueMap map|"
     "7 gatewayIp string|8 coldStart bool"},
    {"AttachUpTime",
     "1 type int32|2 retCode int32|3 retMsg string|4 attachSize int64|5 zipAttachSize int64|6 networkType string|"
     "7 totalTime int64|8 copyTime int64|9 zipTime int64|10 uploadTime int64|11 deleteTime int64|12 expUid string|"
     "13 valueMap map"},
    {"KplStrategy",
     "1 enable bool|2 enableUserInfo bool|3 enableQuery bool|4 url string|5 expUrl string|6 security KplSecurity|"
     "7 valueMap map|8 strategylastUpdateTime int64|9 httpsUrl string|10 httpsExpUrl string|"
     "11 eventRecordCount int32|12 eventTimeInterval int32"},
    {"KplSecurity", "1 encKey string|2 encPubKey string"},
    {"AppSession", "1 sessionId string|2 events repeated string"},
    {"AppInfo", "1 name string|2 arch string|3 UUID string|4 baseAddr string|5 ver string|6 valueMap map"},
    {"Attachment", "1 type int32|2 fileName string|3 data bytes"},
    {"ExceptionUpload",
     "1 type string|2 crashTime int64|3 expName string|4 expMessage string|5 expAddr string|6 crashThread string|"
     "7 callStack string|8 allStacks map|9 expuid string|10 session AppSession|11 crashCount int32|12 userid string|"
     "13 deviceId string|14 appInfo AppInfo|15 libInfos repeated AppInfo|16 plugins repeated AppInfo|"
     "17 attaches repeated Attachment|18 valueMap map|19 userMap map|20 gatewayIp string|21 coldStart bool|"
     "22 stackBeginAddress uint64|23 stackData bytes|24 serverSymbolize bool|25 textCodeFragments repeated "
     "MemoryData|26 pidName string|27 deviceBootTime int64|28 ehType int32"},
    {"ExceptionUploadPackage", "1 list repeated ExceptionUpload"},
};

// A field as "number name type"; a map must be one from string to string.
std::string FieldText(const google::protobuf::FieldDescriptor& field) {
  std::string type;
  if (field.is_map()) {
    const auto* entry = field.message_type();
    const bool strings = entry->field_count() == 2 && entry->field(0)->number() == 1 &&
                         entry->field(0)->type() == google::protobuf::FieldDescriptor::TYPE_STRING &&
                         entry->field(1)->number() == 2 &&
                         entry->field(1)->type() == google::protobuf::FieldDescriptor::TYPE_STRING;
    type = strings ? "map" : "map of other types";
  } else {
    if (field.is_repeated()) type = "repeated ";
    type += field.message_type() != nullptr ? field.message_type()->name() : field.type_name();
  }
  return std::to_string(field.number()) + " " + field.name() + " " + type;
}

TEST(WireSchemaTest, EveryMessageAndFieldHasItsWireNumberAndType) {
  const auto* file = VextraPkg::UniPacket::descriptor()->file();
  EXPECT_EQ(file->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO3);
  EXPECT_EQ(file->dependency_count(), 0);
  EXPECT_EQ(file->enum_type_count(), 0);
  ASSERT_EQ(file->message_type_count(), static_cast<int>(std::size(kWireMessages)));
  for (int m = 0; m < file->message_type_count(); ++m) {
    const auto& expected = kWireMessages[m];
    SCOPED_TRACE(expected.message);
    const auto* message = file->message_type(m);
    EXPECT_EQ(message->name(), expected.message);
    std::string fields;
    for (int f = 0; f < message->field_count(); ++f) {
      EXPECT_EQ(message->field(f)->containing_oneof(), nullptr) << message->field(f)->name();
      fields += (f == 0 ? "" : "|") + FieldText(*message->field(f));
    }
    EXPECT_EQ(fields, expected.fields);
  }
}

// A few tags written byte by byte: (number << 3) | wire type.
TEST(WireSchemaTest, FieldsEncodeUnderTheirTagBytes) {
  VextraPkg::ResponsePkg response;
  response.set_status("x");
  response.set_sbuffer("y");
  EXPECT_EQ(response.SerializeAsString(), std::string("\x1A\x01y\x32\x01x", 6));

  VextraPkg::RequestPkg request;
  request.set_cmd(830);  // varint 0xBE 0x06
  request.set_timezoneseconds(1);
  EXPECT_EQ(request.SerializeAsString(), std::string("\x38\xBE\x06\xD0\x02\x01", 6));

  VextraPkg::UniPacket packet;
  packet.mutable_response()->set_cmd(2);
  packet.set_irequestid(1);
  EXPECT_EQ(packet.SerializeAsString(), std::string("\x18\x01\x3A\x02\x10\x02", 6));

  VextraPkg::ExceptionUpload report;
  (*report.mutable_usermap())["k"] = "v";
  report.set_ehtype(3);
  EXPECT_EQ(report.SerializeAsString(), std::string("\x9A\x01\x06\x0A\x01k\x12\x01v\xE0\x01\x03", 12));
}

}  // namespace
