#pragma once
// One exchange with the collection server: turns a borrowed envelope into a
// request body, keeps a copy of every report body on disk and in the record
// database so that a failed upload can be repeated, posts it to "/pb/async"
// and reads the answer (the remote strategy for 840, the outcome for 830).

#include <cstdint>
#include <memory>
#include <string>

#include "core/protocol_names.h"
#include "uploader/http_transport.h"
#include "uploader/strategy_manager.h"

namespace VextraPkg {
class RequestPkg;
}

namespace Vextra {

class DbManager;
class ReportBuilder;
struct ErrorInfo;

constexpr char kUploadPath[] = "/pb/async";
constexpr char kBodyContentType[] = "application/octet-stream";

// The most of an 840 answer body that is read. Only its first 102,400
// inflated bytes are used (DecompressBody); a gzip stream holding them needs
// at most as many bytes in stored blocks, 5 bytes per 64 KiB block, a 10-byte
// header with an extra field of at most 65,537 bytes and a name. 256 KiB
// covers all of that; the rest of a longer answer is never read. Of an 830
// answer, and of a re-sent body's, only the status counts: no byte of the body
// is read.
constexpr size_t kMaxStrategyAnswerBytes = 256 * 1024;

// How long a crash report (type 101) waits for the record database: for the
// process's database while another thread opens it, and for the connection
// for each record statement. A thread that stopped or died inside a statement
// holds the connection for good; the report then goes out without its record.
constexpr uint32_t kCrashRecordWaitMs = 300;

// The strategy an 840 answer body carries: {"KEY_VEXTRA_DISABLE": "1"} when
// the response's status text is not empty, else the valueMap of the KplStrategy
// in its sBuffer. An empty, non-gzip or undecodable body gives an empty map.
StrategyMap StrategyFromAnswer(const std::string& body);

// Writes a report body to a new data file named after the report type and
// copies its path (at most 259 characters and a terminator) into path, which
// holds kWidePathChars characters; false, path untouched, when no file was
// written. Any thread.
using DataFileWriter = bool (*)(wchar_t* path, const char* bytes, int64_t length, int32_t reportType);

// Where Send keeps and records bodies and sends 840 answers. Null records or
// strategy mean the process's DbManager and StrategyManager, reached only when
// first needed (a crash report waits for the process's database at most
// kCrashRecordWaitMs). Without a data-file writer a report body is posted but kept
// nowhere (no file, no record); the report layer's assembling operations
// (SendErrorReport, SendCrashReport) pass the process's data files when the
// task was made without a writer.
struct UploadServices {
  DbManager* records = nullptr;
  StrategyManager* strategy = nullptr;
  DataFileWriter writeDataFile = nullptr;
};

// A task is used by one thread from construction to destruction and is
// destroyed by its caller after one exchange. Only construction can throw,
// and only when memory runs out.
class UploadTask {
 public:
  // Normally made by UploadTaskFactory. Takes the four protocol headers from
  // the settings now, and a fresh GUID text as expuid. Connects nothing.
  UploadTask(int32_t cmd, int32_t reportType, std::unique_ptr<HttpTransport> transport, UploadServices services = {});
  ~UploadTask();
  UploadTask(const UploadTask&) = delete;
  UploadTask& operator=(const UploadTask&) = delete;

  void SetExpUid(const std::string& id) { expuid = id; }
  const std::string& GetExpUid() const { return expuid; }
  int32_t GetCmd() const { return cmd; }
  int32_t GetReportType() const { return reportType; }
  // "cmd", "prodId", "platformId" and "appVer", sent with every request.
  const HttpHeaders& GetHeaders() const { return headers; }

  // Lends the envelope for the next Send; the task does not own it and keeps
  // it no longer than that Send.
  void SetRequest(VextraPkg::RequestPkg* envelope) { request = envelope; }

  // Serializes and gzips the envelope in a UniPacket; for a report (cmd not
  // 840) writes the body to a data file (through the services' writer) and
  // records it in status 0; withholds
  // a crash report (type 101) while crash uploads are off; otherwise posts it.
  // Returns the answer's HTTP status (the record becomes 1) or -1 when no
  // answer arrived (the record becomes 2) or the upload was withheld. An 840
  // answer is handed to the strategy manager. -1 without a request set. A
  // record that could not be stored is said so in the SDK log; the report is
  // sent all the same.
  // crash path (type 101): reads the settings without a lock and waits for the
  // record database at most kCrashRecordWaitMs per step.
  int32_t Send();

  // Posts length stored bytes unchanged; true when an answer arrived. No
  // request for a null pointer or a length below 1. Touches no record.
  bool SendRaw(const char* bytes, int32_t length);

  // Builds the envelope of a filled builder, sends it, writes "response code
  // is %d \n" to the SDK log and returns Send's result. The builder outlives
  // the call; the assembling operations end with this.
  int32_t SendAssembled(ReportBuilder& builder);

  // Assembles the user-information request and sends it.
  int32_t SendUserInfo();

  // The report assemblies. They read the native log, the user values, a log
  // file and the host's observer, all of the report layer, so they are defined
  // there (report/report_assembly.cpp) and this layer includes none of it.
  // Each fills a report with the task's expuid, sends it like SendAssembled
  // and returns Send's result; -1 when memory runs out. Run on the caller's
  // thread; the observer is asked without any lock held.
  //
  // An error report: name, message, stack, the log file at logPath, the extra
  // information and the observer's text for the record's type.
  int32_t SendErrorReport(const ErrorInfo& info);
  // A crash report of the given crash kind carrying the dump bytes unchanged
  // as "minidump.zip" (null or a length below 1: an empty one), the native
  // log, the user values, the custom or default log file and the observer's
  // text for kind 2. The dump upload sets the expuid to the crash's GUID first.
  // crash path (after the dump is written): no step waits without bound for a
  // lock another thread may hold. The settings are read without a lock; the
  // ring and the user values are waited for briefly and left out when busy;
  // the record database as Send says.
  int32_t SendCrashReport(int32_t crashKind, const char* dumpBytes, int32_t dumpLength);

 private:
  int32_t SendUnguarded();
  // The record database, or null when a crash report's wait for it ran out.
  DbManager* Records();
  // How long each record statement may wait for the connection.
  uint32_t RecordWaitMs() const;
  StrategyManager& Strategy();

  HttpHeaders headers;
  int32_t cmd;
  int32_t reportType;
  std::string expuid;
  VextraPkg::RequestPkg* request = nullptr;  // borrowed for one Send
  std::unique_ptr<HttpTransport> transport;
  UploadServices services;
};

}  // namespace Vextra
