#pragma once
// Request bodies as the library sends them, for the collector's tests.

#include <zlib.h>

#include <cstdint>
#include <string>

#include "VextraPkg.pb.h"
#include "collector/zlib_codec.h"

namespace collector_test {

// zlib's one-shot compress, as report attachments named "*.zip" are made.
inline std::string ZlibCompress(const std::string& input) {
  uLongf size = compressBound(static_cast<uLong>(input.size()));
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(input.data()),
           static_cast<uLong>(input.size()));
  out.resize(size);
  return out;
}

inline VextraPkg::UniPacket MakePacket(int cmd, const std::string& inner) {
  VextraPkg::UniPacket packet;
  packet.set_encodename("utf-8");
  packet.set_irequestid(1);
  packet.set_sservantname("KplServer");
  packet.set_sfuncname("sync");
  VextraPkg::RequestPkg* request = packet.mutable_request();
  request->set_platformid(10);
  request->set_prodid("app-1");
  request->set_bundleid("bundleId");
  request->set_version("1.2.3");
  request->set_sdkver("2.2.2.944");
  request->set_cmd(cmd);
  request->set_sbuffer(inner);
  request->set_osver("Microsoft Windows 10(19045)");
  request->set_sessionid("5E55105E55105E55105E55105E55105E");
  request->set_deviceid("device-7");
  request->set_uploadtime(1700000000);
  request->set_phymemall(16384);
  request->set_timezoneseconds(-28800);
  request->set_timezoneabbreviation("GMT-8");
  return packet;
}

// A report request (830) with one ExceptionUpload holding a ".zip" attachment
// with log text, a plain attachment and a ".zip" attachment that is not zlib.
inline VextraPkg::UniPacket MakeReportPacket(const std::string& expuid, const std::string& type = "107") {
  VextraPkg::ExceptionUploadPackage package;
  VextraPkg::ExceptionUpload* upload = package.add_list();
  upload->set_type(type);
  upload->set_crashtime(1700000001);
  upload->set_expname("LuaError");
  upload->set_expmessage("attempt to index a nil value");
  upload->set_callstack("main.lua:10\nmain.lua:20");
  upload->set_expuid(expuid);
  upload->set_stackbeginaddress(0xFFFFFFFF00000010ull);
  upload->set_ehtype(2);
  (*upload->mutable_valuemap())["A1"] = "16384";
  (*upload->mutable_usermap())["level"] = "it's 3";
  VextraPkg::Attachment* log = upload->add_attaches();
  log->set_type(1);
  log->set_filename("log.zip");
  log->set_data(ZlibCompress("first line\nsecond line\n"));
  VextraPkg::Attachment* raw = upload->add_attaches();
  raw->set_type(2);
  raw->set_filename("extra.txt");
  raw->set_data(std::string("raw\0bytes", 9));
  VextraPkg::Attachment* broken = upload->add_attaches();
  broken->set_type(3);
  broken->set_filename("broken.zip");
  broken->set_data("not zlib at all");
  return MakePacket(830, package.SerializeAsString());
}

inline VextraPkg::UniPacket MakeUserInfoPacket() {
  VextraPkg::UserInfoPackage info;
  info.set_procename("game.exe");
  info.set_userid("user-9");
  info.set_deviceboottime(1699990000);
  (*info.mutable_valuemap())["A34"] = "game.exe";
  VextraPkg::SummaryInfo* summary = info.add_list();
  summary->set_starttime(1699990000);
  summary->set_starttype(1);
  summary->set_sessionid("5E55105E55105E55105E55105E55105E");
  summary->set_gatewayip("unknown");
  summary->set_coldstart(true);
  return MakePacket(840, info.SerializeAsString());
}

// A crash report (830, type 101) as the library sends it: "minidump.zip"
// holding the dump's gzip copy, then the native log, the user values and a
// log file as zlib streams.
struct CrashReportFields {
  std::string minidump;  // the attachment's data as sent
  std::string version = "1.2.3";
  std::string userId = "user-9";
  std::string deviceId = "device-7";
  int64_t crashTime = 1700000001;
  std::string logText = "native log line\n";
  std::string userValues = "{\"map\":\"level=3\"}";
  std::string logFileTail = "log file tail\n";
  // Every crash has its own; empty: "crash-guid-N", N counting the packets made.
  std::string expuid;
};

inline VextraPkg::UniPacket MakeCrashPacket(const CrashReportFields& fields) {
  VextraPkg::ExceptionUploadPackage package;
  VextraPkg::ExceptionUpload* upload = package.add_list();
  upload->set_type("101");
  upload->set_crashtime(fields.crashTime);
  upload->set_expname("crash");
  upload->set_expmessage("Please check minidump for stacktrace!");
  upload->set_callstack("Please check minidump for stacktrace!");
  static int made = 0;
  upload->set_expuid(fields.expuid.empty() ? "crash-guid-" + std::to_string(++made) : fields.expuid);
  upload->set_userid(fields.userId);
  upload->set_ehtype(1);
  (*upload->mutable_valuemap())["A1"] = "16384";
  auto attach = [&](const char* name, const std::string& data) {
    VextraPkg::Attachment* attachment = upload->add_attaches();
    attachment->set_type(2);
    attachment->set_filename(name);
    attachment->set_data(data);
  };
  attach("minidump.zip", fields.minidump);
  attach("vextraLog.zip", ZlibCompress(fields.logText));
  attach("valueOtherMap.zip", ZlibCompress(fields.userValues));
  attach("logFile.zip", ZlibCompress(fields.logFileTail));
  VextraPkg::UniPacket packet = MakePacket(830, package.SerializeAsString());
  packet.mutable_request()->set_version(fields.version);
  packet.mutable_request()->set_deviceid(fields.deviceId);
  return packet;
}

inline std::string GzipPacket(const VextraPkg::UniPacket& packet) {
  return collector::Gzip(packet.SerializeAsString());
}

}  // namespace collector_test
