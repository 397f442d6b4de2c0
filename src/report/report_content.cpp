#include "report/report_content.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/common_info.h"
#include "crash/crash_callbacks.h"
#include "log/native_log_ring.h"
#include "log/sdk_log.h"
#include "platform/file_system.h"
#include "platform/path_text.h"
#include "platform/process_info.h"
#include "report/extra_info.h"
#include "report/map_recorder.h"

namespace Vextra {
namespace {

constexpr wchar_t kCrashLogDirName[] = L"VXLog";
constexpr wchar_t kCrashLogFileName[] = L"customLog.txt";

bool CompressInto(const char* data, size_t length, size_t capacity, std::string* stream) {
  // Whatever fits compressBound always fits: a short text needs no buffer of
  // the full capacity.
  stream->assign(std::min<size_t>(capacity, compressBound(static_cast<uLong>(length))), '\0');
  uLongf written = static_cast<uLongf>(stream->size());
  const int result = compress(reinterpret_cast<Bytef*>(&(*stream)[0]), &written,
                              reinterpret_cast<const Bytef*>(data), static_cast<uLong>(length));
  if (result != Z_OK) {
    stream->clear();
    return false;
  }
  stream->resize(written);
  return true;
}

// The longest input length whose stream compressBound promises to fit.
size_t LongestFitting(size_t length, size_t capacity) {
  size_t low = 0;
  size_t high = length;
  while (low < high) {
    const size_t middle = low + (high - low + 1) / 2;
    if (compressBound(static_cast<uLong>(middle)) <= capacity) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return low;
}

// Compresses the terminated text of a buffer and adds it under name.
void AttachText(ReportBuilder& builder, const char* name, const char* text, size_t capacity) {
  std::string stream;
  if (CompressTail(text, std::strlen(text), capacity, &stream)) builder.AddAttachment(name, std::move(stream));
}

}  // namespace

bool CompressTail(const char* data, size_t length, size_t capacity, std::string* stream, size_t* usedBytes) {
  if (CompressInto(data, length, capacity, stream)) {
    if (usedBytes != nullptr) *usedBytes = length;
    return true;
  }
  const size_t fitting = LongestFitting(length, capacity);
  if (fitting < length && CompressInto(data + (length - fitting), fitting, capacity, stream)) {
    if (usedBytes != nullptr) *usedBytes = fitting;
    return true;
  }
  if (usedBytes != nullptr) *usedBytes = 0;
  return false;
}

void AttachLogs(ReportBuilder& builder, const std::wstring& logPath, bool fromError) {
  // One buffer for both texts, not zero-filled: each reader terminates what it
  // writes, and a reader that writes nothing leaves the emptied text as it is.
  const std::unique_ptr<char[]> text(new char[kLogTextBytes]);
  // A ring that does not exist or stays busy leaves the text empty; the
  // attachment is an empty stream then.
  text[0] = '\0';
  (void)ReadNativeLog(text.get(), static_cast<uint32_t>(kLogTextBytes - 1));
  AttachText(builder, kNativeLogAttachment, text.get(), kLogTextBytes);

  text[0] = '\0';
  (void)MapRecorder::Instance().Dump(text.get(), kLogTextBytes - 1);
  AttachText(builder, kUserValuesAttachment, text.get(), kLogTextBytes);

  AttachLogFile(builder, logPath, fromError);
}

std::wstring CrashLogFilePath() {
  const CommonInfo& settings = CommonInfo::Instance();
  if (settings.GetCustomLogPathSet()) return settings.GetCustomLogPath();
  return platform::DirectoryOf(platform::LibraryPath()) + platform::kPathSeparator + kCrashLogDirName +
         platform::kPathSeparator + kCrashLogFileName;
}

void AttachLogFile(ReportBuilder& builder, const std::wstring& logPath, bool fromError) {
  LogDebug("ReadLogFile\n");
  const std::wstring chosen = fromError ? logPath : CrashLogFilePath();
  FILE* file = chosen.empty() ? nullptr : platform::OpenFile(chosen, "rb");
  if (file == nullptr) {
    LogDebug("[uploadException] Warning: Failed to read log file.\n");
    return;
  }
  // A size beyond what ftell can tell (2 GiB and more where long has 32 bits)
  // counts as larger than the tail.
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  LogDebug("Log file size is %d\n", static_cast<int>(size));
  const bool tailOnly = size < 0 || static_cast<unsigned long>(size) > kLogFileTailBytes;
  const size_t wanted = tailOnly ? kLogFileTailBytes : static_cast<size_t>(size);
  const int seek = tailOnly ? std::fseek(file, -static_cast<long>(kLogFileTailBytes), SEEK_END)
                            : std::fseek(file, 0, SEEK_SET);
  std::string content;
  if (seek == 0) {
    content.assign(wanted, '\0');
    content.resize(wanted == 0 ? 0 : std::fread(&content[0], 1, wanted, file));
  }
  std::fclose(file);
  if (seek != 0) {
    LogDebug("[uploadException] Warning: Failed to read log file.\n");
    return;
  }
  std::string stream;
  if (!CompressTail(content.data(), content.size(), kLogFileZipBytes, &stream)) return;
  LogDebug("Zipped log file size is %d\n", static_cast<int>(stream.size()));
  builder.AddAttachment(kLogFileAttachment, std::move(stream));
}

void AddExtraInfo(ReportBuilder& builder, const std::string& extraInfo) {
  LogDebug("extra_info:%s\n", extraInfo.c_str());
  const ExtraInfoPairs pairs = ParseExtraInfo(extraInfo);
  size_t taken = 0;
  for (const auto& [key, value] : pairs) {
    if (taken == kMaxExtraInfoPairs) break;
    builder.AddUserValue(key, value);
    ++taken;
  }
  if (pairs.size() > kMaxExtraInfoPairs) {
    LogDebug("Extra info key count over limit!(500) Will upload only 500 keys.");
  }
}

void AddExtMsg(ReportBuilder& builder, int32_t code) {
  HRBCrashObserver* observer = GetCrashObserver();
  if (observer == nullptr) return;
  const char* text = CallOnCrashExtraMessage(observer, code);
  // Scanned byte by byte: the host's text may end right before unmapped memory.
  size_t length = 0;
  if (text != nullptr) {
    while (length < kExtMsgScanBytes && text[length] != '\0') ++length;
  }
  if (length == 0) {
    LogDebug("extmsg is empty!\n");
    return;
  }
  const std::string copy(text, std::min(length, kExtMsgMaxBytes));
  builder.AddUserValue(kExtMsgKey, copy);
  LogDebug("extmsg:%s\n", copy.c_str());
}

}  // namespace Vextra
