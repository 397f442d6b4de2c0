// The content steps of a report that read the report layer's sources: the
// log-file tail, the native log and user values (also while their locks are
// taken), the extra information's 500-pair limit and the observer's "extmsg".
// Streams are inflated here with plain zlib, not with the library's code.

#include "report/report_content.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "crash/crash_callbacks.h"
#include "log/native_log_ring.h"
#include "log/sdk_log.h"
#include "platform/file_system.h"
#include "report/map_recorder.h"
#include "support/temp_dir.h"
#include "vextra.h"
#include "support/inflate_whole.h"

namespace Vextra {
namespace {

std::string Inflate(const std::string& stream, bool* ok) { return vextra_test::InflateZlib(stream, ok); }

std::string LogLines(size_t size) {
  std::string text;
  text.reserve(size + 64);
  for (int line = 0; text.size() < size; ++line) text += "entry " + std::to_string(line) + " ok\n";
  text.resize(size);
  return text;
}

std::string RandomBytes(size_t size) {
  std::mt19937 bits(7);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(bits());
  return bytes;
}

const VextraPkg::Attachment* Find(const ReportBuilder& builder, const std::string& name) {
  for (const auto& a : builder.GetUpload().attaches()) {
    if (a.filename() == name) return &a;
  }
  return nullptr;
}

// Settings and debug mode of each test reset; SDK log text read since the start.
class ReportContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_hooks::ResetNativeLogForTesting();
    CommonInfo::Instance().ResetForTesting();
    SetDebugMode(true);
    SdkLog::Instance().PrintAlways("--- %s\n", ::testing::UnitTest::GetInstance()->current_test_info()->name());
    start_ = LogText().size();
  }
  void TearDown() override {
    SetDebugMode(false);
    SetCrashObserver(nullptr);
    SetUnityCallback(nullptr);
    testing_hooks::ResetNativeLogForTesting();
    CommonInfo::Instance().ResetForTesting();
  }
  static std::string LogText() {
    std::ifstream in(std::filesystem::path(SdkLog::Instance().FilePath()), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());  // lines end in "\r\n" on Windows
    return s;
  }
  bool Logged(const std::string& message) const {
    return LogText().substr(start_).find(":" + message) != std::string::npos;
  }
  std::filesystem::path WriteFile(const std::string& name, const std::string& bytes) {
    const std::filesystem::path file = dir_.path() / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

  vextra_test::TempDir dir_{"vextra-report-content"};
  size_t start_ = 0;
};

TEST_F(ReportContentTest, LogFileTailIsSentAsOneZlibStream) {
  constexpr size_t kTailBytes = 5242880;       // the last 0x500000 bytes of a longer file
  constexpr size_t kZipCapacityBytes = 2097152;  // "logFile.zip" holds at most 0x200000
  const std::string big = LogLines(6000000);
  const std::string exact = LogLines(kTailBytes);
  const std::string small = "one line\n";
  const std::string noise = RandomBytes(kTailBytes);  // its stream cannot fit 2 MiB
  static const struct {
    const char* name;
    const std::string& bytes;
    size_t sentFromEnd;  // how many of the last bytes the stream must hold; 0: check below
  } kCases[] = {
      {"6,000,000 bytes: the last 5,242,880", big, kTailBytes},
      {"exactly 5,242,880 bytes: all of it", exact, kTailBytes},
      {"a short file: all of it", small, small.size()},
      {"an empty file: the stream of nothing", std::string(), 0},
      {"incompressible 5 MiB: a shorter tail that fits", noise, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto file = WriteFile("tail.log", c.bytes);
    ReportBuilder builder("E", "m", "id");
    AttachLogFile(builder, file.wstring(), true);
    const VextraPkg::Attachment* zip = Find(builder, "logFile.zip");
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(zip->type(), 2);
    EXPECT_LE(zip->data().size(), kZipCapacityBytes);
    bool ok = false;
    const std::string inflated = Inflate(zip->data(), &ok);
    ASSERT_TRUE(ok);
    if (&c.bytes == &noise) {
      // The newest bytes are kept: what was sent is a true suffix, and large.
      EXPECT_GT(inflated.size(), kZipCapacityBytes - 4096);
      EXPECT_LT(inflated.size(), noise.size());
      EXPECT_TRUE(inflated == noise.substr(noise.size() - inflated.size()));
    } else {
      ASSERT_EQ(inflated.size(), std::min(c.sentFromEnd, c.bytes.size()));
      EXPECT_TRUE(inflated == c.bytes.substr(c.bytes.size() - inflated.size()));
    }
  }
  EXPECT_TRUE(Logged("ReadLogFile\n"));
  EXPECT_TRUE(Logged("Log file size is 6000000\n"));
}

TEST_F(ReportContentTest, LogFileThatCannotBeChosenOrReadAddsNothing) {
  static const struct {
    const char* name;
    std::wstring path;
    bool fromError;
  } kCases[] = {
      {"error report without a path", L"", true},
      {"missing file", L"/nonexistent-dir/none.log", true},
      // No custom path and no "VXLog/customLog.txt" beside the test program.
      {"crash report without a custom or default file", L"", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ReportBuilder builder(1, "id");
    AttachLogFile(builder, c.path, c.fromError);
    EXPECT_EQ(builder.GetUpload().attaches_size(), 0);
  }
  EXPECT_TRUE(Logged("[uploadException] Warning: Failed to read log file.\n"));
}

TEST_F(ReportContentTest, CrashReportReadsTheCustomLogPathNotTheErrorPath) {
  const auto custom = WriteFile("custom.log", "custom text");
  const auto other = WriteFile("other.log", "other text");
  CommonInfo::Instance().SetCustomLogPath(custom.wstring());
  ReportBuilder builder(2, "id");
  AttachLogFile(builder, other.wstring(), false);
  const VextraPkg::Attachment* zip = Find(builder, "logFile.zip");
  ASSERT_NE(zip, nullptr);
  bool ok = false;
  EXPECT_EQ(Inflate(zip->data(), &ok), "custom text");
  EXPECT_TRUE(ok);

  CommonInfo::Instance().ResetForTesting();
  const std::wstring fallback = CrashLogFilePath();
  const std::wstring tail = std::wstring(1, platform::kPathSeparator) + L"VXLog" + platform::kPathSeparator +
                            L"customLog.txt";
  ASSERT_GT(fallback.size(), tail.size());
  EXPECT_EQ(fallback.substr(fallback.size() - tail.size()), tail);
}

TEST_F(ReportContentTest, NativeLogAndUserValuesTravelAsStreamsEvenWhenEmpty) {
  {
    SCOPED_TRACE("no ring yet");
    ReportBuilder builder("E", "m", "id");
    AttachLogs(builder, L"", true);
    ASSERT_EQ(builder.GetUpload().attaches_size(), 2);  // no log path: no "logFile.zip"
    EXPECT_EQ(builder.GetUpload().attaches(0).filename(), "vextraLog.zip");
    EXPECT_EQ(builder.GetUpload().attaches(1).filename(), "valueOtherMap.zip");
    bool ok = false;
    EXPECT_EQ(Inflate(builder.GetUpload().attaches(0).data(), &ok), "");
    EXPECT_TRUE(ok);
  }
  ASSERT_TRUE(PrintNativeLogMessage(5, "Tag", "ring text"));
  {
    // Before any user value in this program (run alone) the store writes
    // nothing into the text; the log's text read before must not show again.
    SCOPED_TRACE("ring text, user values as earlier tests left them");
    ReportBuilder builder("E", "m", "id");
    AttachLogs(builder, L"", true);
    bool ok = false;
    EXPECT_NE(Inflate(Find(builder, "vextraLog.zip")->data(), &ok).find("ring text"), std::string::npos);
    const std::string values = Inflate(Find(builder, "valueOtherMap.zip")->data(), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(values.find("ring text"), std::string::npos) << values;
  }
  MapRecorder::Instance().Set("content-key", "content-value");
  ReportBuilder builder("E", "m", "id");
  AttachLogs(builder, L"", true);
  bool ok = false;
  const std::string log = Inflate(Find(builder, "vextraLog.zip")->data(), &ok);
  EXPECT_TRUE(ok);
  EXPECT_NE(log.find(" E Tag ring text\n"), std::string::npos) << log;
  const std::string values = Inflate(Find(builder, "valueOtherMap.zip")->data(), &ok);
  EXPECT_TRUE(ok);
  EXPECT_NE(values.find("content-key=content-value\n"), std::string::npos) << values;
}

TEST_F(ReportContentTest, BusyRingAndStoreGiveEmptyStreamsInsteadOfWaiting) {
  ASSERT_TRUE(PrintNativeLogMessage(5, "Tag", "held text"));
  MapRecorder::Instance().Set("held-key", "v");
  ReportBuilder builder("E", "m", "id");
  const auto begin = std::chrono::steady_clock::now();
  // A thread that faulted while holding a lock never releases it; holding both
  // here, on the assembling thread itself, is that case at its worst.
  testing_hooks::HoldNativeLogLockForTesting(
      [&] { MapRecorder::Instance().HoldLockForTesting([&] { AttachLogs(builder, L"", true); }); });
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  for (const char* name : {"vextraLog.zip", "valueOtherMap.zip"}) {
    SCOPED_TRACE(name);
    const VextraPkg::Attachment* zip = Find(builder, name);
    ASSERT_NE(zip, nullptr);
    bool ok = false;
    EXPECT_EQ(Inflate(zip->data(), &ok), "");
    EXPECT_TRUE(ok);
  }
}

TEST_F(ReportContentTest, ExtraInformationTakesAtMost500PairsInKeyOrder) {
  static const struct {
    const char* name;
    int keys;
    bool limitLogged;
  } kCases[] = {{"500 keys", 500, false}, {"501 keys", 501, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    start_ = LogText().size();
    // Written in descending order, so the kept ones are chosen by key, not by place.
    std::string text = "{";
    for (int i = c.keys - 1; i >= 0; --i) {
      char key[16];
      std::snprintf(key, sizeof key, "k%04d", i);
      text += std::string("\"") + key + "\":\"v" + std::to_string(i) + "\",";
    }
    text += "\"k0000\":\"replaced\"}";  // a key twice: one pair, the later value
    ReportBuilder builder("E", "m", "id");
    AddExtraInfo(builder, text);
    const auto& user = builder.GetUpload().usermap();
    // The 500 smallest keys: k0000 to k0499; the largest of 501 stays out.
    ASSERT_EQ(user.size(), 500u);
    EXPECT_EQ(user.at("k0000"), "replaced");
    EXPECT_EQ(user.at("k0499"), "v499");
    EXPECT_EQ(user.count("k0500"), 0u);
    EXPECT_EQ(Logged("Extra info key count over limit!(500) Will upload only 500 keys."), c.limitLogged);
    EXPECT_TRUE(Logged("extra_info:{\"k"));
  }
}

class TextObserver : public HRBCrashObserver {
 public:
  explicit TextObserver(const char* text) : text_(text) {}
  const char* OnCrashExtraMessage(int32_t kind) override {
    kinds.push_back(kind);
    return text_;
  }
  std::vector<int32_t> kinds;

 private:
  const char* text_;
};

TEST_F(ReportContentTest, ObserverTextBecomesExtmsg) {
  const std::string longText(200000, 'x');
  static const struct {
    const char* name;
    const char* text;
    bool added;
    size_t length;
  } kCases[] = {
      {"normal text", "player=42", true, 9},
      {"empty text", "", false, 0},
      {"null text", nullptr, false, 0},
      {"200,000 bytes: the first 131,071", longText.c_str(), true, 131071},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    start_ = LogText().size();
    TextObserver observer(c.text);
    SetCrashObserver(&observer);
    ReportBuilder builder("E", "m", "id");
    AddExtMsg(builder, 9);
    EXPECT_EQ(observer.kinds, std::vector<int32_t>{9});
    const auto& user = builder.GetUpload().usermap();
    ASSERT_EQ(user.count("extmsg"), c.added ? 1u : 0u);
    if (c.added) EXPECT_TRUE(user.at("extmsg") == std::string(c.text, c.length));
    EXPECT_EQ(Logged("extmsg is empty!\n"), !c.added);
    EXPECT_EQ(Logged("extmsg:" + std::string(c.added ? c.text : "", std::min<size_t>(c.length, 40))), c.added);
  }
}

TEST_F(ReportContentTest, ExtmsgNeverReplacesTheExtraInformationsValueAndNeedsAnObserver) {
  ReportBuilder builder("E", "m", "id");
  AddExtMsg(builder, 1);
  EXPECT_TRUE(builder.GetUpload().usermap().empty());
  EXPECT_FALSE(Logged("extmsg"));

  TextObserver observer("from observer");
  SetCrashObserver(&observer);
  AddExtraInfo(builder, R"({"extmsg":"from host"})");
  AddExtMsg(builder, 1);
  EXPECT_EQ(builder.GetUpload().usermap().at("extmsg"), "from host");
}

const char* EngineCallback(int32_t code, int32_t kind, int32_t reserved) {
  static std::string text;
  text = std::to_string(code) + "/" + std::to_string(kind) + "/" + std::to_string(reserved);
  return text.c_str();
}
const char* NullEngineCallback(int32_t, int32_t, int32_t) { return nullptr; }

TEST_F(ReportContentTest, EngineCallbackIsAskedWith1012TheKindAnd0) {
  static const struct {
    const char* name;
    VextraUnityCallback callback;
    int32_t code;
    const char* extmsg;  // null: no "extmsg"
  } kCases[] = {
      {"error report of type 107", &EngineCallback, 107, "1012/107/0"},
      {"crash report", &EngineCallback, kCrashExtMsgCode, "1012/2/0"},
      {"callback answering null", &NullEngineCallback, 5, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SetUnityCallback(c.callback);
    ReportBuilder builder("E", "m", "id");
    AddExtMsg(builder, c.code);
    const auto& user = builder.GetUpload().usermap();
    if (c.extmsg != nullptr) {
      ASSERT_EQ(user.count("extmsg"), 1u);
      EXPECT_EQ(user.at("extmsg"), c.extmsg);
    } else {
      EXPECT_EQ(user.count("extmsg"), 0u);
    }
  }
  // A host observer registered after the engine callback is asked instead.
  TextObserver observer("host");
  SetCrashObserver(&observer);
  ReportBuilder builder("E", "m", "id");
  AddExtMsg(builder, 3);
  EXPECT_EQ(builder.GetUpload().usermap().at("extmsg"), "host");
}

}  // namespace
}  // namespace Vextra
