#pragma once
// Assembles one request to the collection server: the envelope (RequestPkg)
// with the application and device facts, and its inner message, the user
// information (command 840) or one report (command 830). A builder lives for
// one assembling operation on one thread and is never shared.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "VextraPkg.pb.h"
#include "core/protocol_names.h"
#include "uploader/envelope_facts.h"

namespace Vextra {

constexpr int32_t kPlatformId = 10;
// The library is 64-bit code, which only a 64-bit system runs.
constexpr int32_t kOsBit = 64;
constexpr char kSdkVersion[] = "2.2.2.944";
constexpr char kCrashMessage[] = "Please check minidump for stacktrace!";
// Every attachment of a report has this type.
constexpr int32_t kAttachmentType = 2;
constexpr char kMinidumpName[] = "minidump.zip";

class ReportBuilder {
 public:
  // The user-information request: command 840, report type 101 and a fresh
  // GUID text as expuid.
  ReportBuilder();
  // A crash report (command 830, type 101) of the given crash kind.
  ReportBuilder(int32_t crash_kind, const std::string& expuid);
  // An error report (command 830, type 107).
  ReportBuilder(const std::string& name, const std::string& message, const std::string& expuid);
  ~ReportBuilder();
  ReportBuilder(const ReportBuilder&) = delete;
  ReportBuilder& operator=(const ReportBuilder&) = delete;

  // Fills the envelope, the user information and the report's common fields
  // from the settings store and from facts read now.
  void FillCommon();
  // The same with the given facts instead of fresh ones.
  void FillCommon(const EnvelopeFacts& facts);

  // Content steps of a report (command 830); the report layer adds the ones
  // that read the logs, the user values and the host's observer.
  void SetCallStack(const std::string& stack);
  // Adds an attachment of type 2 with the given name and bytes.
  void AddAttachment(const char* file_name, std::string data);
  // Adds "minidump.zip" holding the dump bytes unchanged.
  void AttachMinidump(const char* bytes, size_t length);
  // Inserts the pair into the report's userMap unless the key is there
  // already (the earlier value wins); true when inserted.
  bool AddUserValue(const std::string& key, const std::string& value);

  // Serializes the inner message into the envelope's sBuffer and returns the
  // envelope. The builder keeps owning it: the caller only borrows it and must
  // not use it after the builder is gone. Texts that are not UTF-8 are
  // converted first (see protocol_text.h).
  VextraPkg::RequestPkg* BuildEnvelope();

  int32_t GetCmd() const { return cmd; }
  int32_t GetReportType() const { return reportType; }
  const std::string& GetExpuid() const { return expuid; }
  const VextraPkg::RequestPkg& GetRequest() const { return *request; }
  const VextraPkg::UserInfoPackage& GetUserInfo() const { return userInfo; }
  const VextraPkg::ExceptionUpload& GetUpload() const { return upload; }
  // The report under assembly, for the content steps of the report.
  VextraPkg::ExceptionUpload* MutableUpload() { return &upload; }

 private:
  ReportBuilder(int32_t command, int32_t type, std::string id);

  std::unique_ptr<VextraPkg::RequestPkg> request;
  VextraPkg::ExceptionUpload upload;
  VextraPkg::UserInfoPackage userInfo;
  int32_t cmd;
  int32_t reportType;
  std::string expuid;
};

}  // namespace Vextra
