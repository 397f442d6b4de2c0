#pragma once
// The content steps of a crash or error report that read the report layer's
// sources: the native log ring, the user values, a log file, the extra
// information and the host's crash observer. Each adds to the report of a
// ReportBuilder; all run on the thread that assembles the report.

#include <cstddef>
#include <cstdint>
#include <string>

#include "uploader/report_builder.h"

namespace Vextra {

constexpr char kNativeLogAttachment[] = "vextraLog.zip";
constexpr char kUserValuesAttachment[] = "valueOtherMap.zip";
constexpr char kLogFileAttachment[] = "logFile.zip";
constexpr char kExtMsgKey[] = "extmsg";

// The text buffers of AttachLogs and the output capacity of their streams.
constexpr size_t kLogTextBytes = 1048576;
// At most this many bytes of a log file are sent: its tail.
constexpr size_t kLogFileTailBytes = 5242880;
// Output capacity of the "logFile.zip" stream.
constexpr size_t kLogFileZipBytes = 2097152;
// An observer's text is looked at up to this many bytes and cut to one less.
constexpr size_t kExtMsgScanBytes = 0x20000;
constexpr size_t kExtMsgMaxBytes = kExtMsgScanBytes - 1;
// The code every crash-dump report asks the observer with, whatever the crash kind.
constexpr int32_t kCrashExtMsgCode = 2;

// zlib's one-shot compress (RFC 1950 stream, default level) of length bytes
// into at most capacity bytes. When the stream does not fit, the longest tail
// of the input whose stream surely fits is compressed instead, so whatever is
// returned is one complete stream of the input's last bytes; *usedBytes (when
// given) receives how many input bytes it holds. False only when even that
// fails. Allocates the output; throws only when memory runs out.
bool CompressTail(const char* data, size_t length, size_t capacity, std::string* stream,
                  size_t* usedBytes = nullptr);

// Adds "vextraLog.zip" (the native log's text, also when the ring is empty or
// busy: then an empty stream), "valueOtherMap.zip" (the user values' dump,
// empty when the store is busy), then runs AttachLogFile. The ring and the
// store are each waited for at most briefly (see their headers).
void AttachLogs(ReportBuilder& builder, const std::wstring& logPath, bool fromError);

// Adds "logFile.zip" holding the last (at most) 5,242,880 bytes of a log file:
// fromError true: logPath, none when it is empty; fromError false: the
// settings' custom log path when one was set, else "customLog.txt" in "VXLog"
// beside the library. A file that cannot be chosen or opened adds nothing
// and writes "[uploadException] Warning: Failed to read log file.\n".
void AttachLogFile(ReportBuilder& builder, const std::wstring& logPath, bool fromError);

// The file AttachLogFile reads with fromError false.
std::wstring CrashLogFilePath();

// Parses the extra information (report/extra_info.h) into the report's
// userMap, at most kMaxExtraInfoPairs pairs in key order; keys already there
// keep their values.
void AddExtraInfo(ReportBuilder& builder, const std::string& extraInfo);

// Asks the registered crash observer for its text for code and adds it, cut to
// kExtMsgMaxBytes, as "extmsg" (an "extmsg" the extra information put there
// stays). No observer: nothing; null or empty text: "extmsg is empty!\n".
void AddExtMsg(ReportBuilder& builder, int32_t code);

}  // namespace Vextra
