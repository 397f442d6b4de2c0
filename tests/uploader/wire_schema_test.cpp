// Every message kind of the wire schema survives serialization inside a UniPacket.

#include <gtest/gtest.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/util/message_differencer.h>

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

}  // namespace
