// The background analyser over a real database: reports classified and filed
// into crash groups with their per-group figures, moved when symbols arrive,
// and hostile dumps recorded as failed or partial without stopping the rest.

#include "collector/analysis/report_analysis.h"

#include <gtest/gtest.h>

#include <functional>
#include <chrono>
#include <map>
#include <thread>

#include "collector/analysis/background_analyser.h"
#include "collector/analysis/stored_symbols_analyser.h"
#include "collector/request_store.h"
#include "collector/storage/database.h"
#include "collector/tests/request_bodies.h"
#include "collector/tests/sample_dumps.h"
#include "collector/zlib_codec.h"
#include "support/temp_dir.h"

namespace collector_test {
namespace {

using collector::AnalysedFrame;
using collector::AnalysedThread;
using collector::DumpAnalysis;
using collector::Database;
using collector::Query;

// Answers with what the test scripted for the dump's bytes.
class ScriptedAnalyser : public collector::DumpAnalyser {
 public:
  DumpAnalysis Analyse(const std::string& bytes) override {
    ++calls;
    const auto it = script.find(bytes);
    if (it == script.end()) throw std::runtime_error("unscripted dump '" + bytes + "'");
    return it->second();
  }
  std::map<std::string, std::function<DumpAnalysis()>> script;
  int calls = 0;
};

DumpAnalysis Faulting(const std::vector<std::pair<std::string, std::string>>& frames, const std::string& missing) {
  DumpAnalysis analysis;
  analysis.has_exception = true;
  analysis.exception_code = 0xC0000005;
  analysis.crashing_thread = 7;
  AnalysedThread thread;
  thread.thread_id = 7;
  thread.faulting = true;
  uint64_t offset = 0x100;
  for (const auto& frame : frames) {
    AnalysedFrame f;
    f.module_name = frame.first;
    f.function = frame.second;
    f.module_offset = offset;
    f.pc = 0x140000000 + offset;
    f.trust = "context";
    offset += 0x100;
    thread.frames.push_back(f);
  }
  analysis.threads = {thread};
  analysis.modules = {{"C:\\Games\\game.exe", 0x140000000, 0x100000, missing, "game.pdb", false}};
  if (!missing.empty()) analysis.missing_symbols = {missing};
  return analysis;
}

class ReportAnalysisTest : public testing::Test {
 public:  // the checks shared by several tests use the store and the database
  void StorePacket(const VextraPkg::UniPacket& packet, int64_t receivedAt = 1700000100) {
    collector::ReceivedRequest received;
    received.receivedAt = receivedAt;
    received.path = "/pb/async";
    received.body = GzipPacket(packet);
    store_.Store(received, collector::DecodeRequestBody(received.body), collector::Answer{}, "200");
  }
  void StoreCrash(const std::string& dump, const std::string& version, const std::string& user,
                  const std::string& device, int64_t crashTime) {
    CrashReportFields fields;
    fields.minidump = dump;
    fields.version = version;
    fields.userId = user;
    fields.deviceId = device;
    fields.crashTime = crashTime;
    StorePacket(MakeCrashPacket(fields));
  }
  // Every row of the query as "a,b,c" lines.
  std::string Rows(const std::string& sql) {
    Database db(path_, true);
    Query query(db, sql);
    std::string text;
    while (query.Step()) {
      for (int i = 0; i < query.Columns(); ++i) text += (i ? "," : "") + query.Text(i);
      text += "\n";
    }
    return text;
  }
  void AddSymbols(const std::string& debugId) {
    Database db(path_);
    Query(db, "INSERT OR REPLACE INTO symbol_files (debug_id, kind, file_name, path, added_at) "
              "VALUES (?, 'image', 'game.exe', 'symbols/x/game.exe', 1)")
        .Bind(1, debugId)
        .Run();
  }

  vextra_test::TempDir dir_{"vextra-report-analysis"};
  std::string path_ = (dir_.path() / "collector.db").string();
  collector::RequestStore store_{path_};
};

constexpr int64_t kDay = 86400;
constexpr int64_t kDay0 = 19675 * kDay;  // 2023-11-14

TEST_F(ReportAnalysisTest, ReportsJoinGroupsWithTheirFigures) {
  ScriptedAnalyser analyser;
  analyser.script["dump-a"] = [] { return Faulting({{"Vextra64.dll", "Vextra::Raise"}, {"game.exe", "Fire"}}, ""); };
  StoreCrash("dump-a", "1.0", "u1", "d1", kDay0 + 10);
  StoreCrash("dump-a", "1.0", "u2", "d1", kDay0 + 20);
  StoreCrash("dump-a", "2.0", "u1", "d2", kDay0 + kDay + 5);
  StorePacket(MakeReportPacket("error-1"));  // an error report of user "" on device-7, version 1.2.3

  collector::BackgroundAnalyser background(path_, analyser);
  EXPECT_EQ(background.RunOnce(), 4);
  EXPECT_EQ(analyser.calls, 3);  // error reports carry no dump

  EXPECT_EQ(Rows("SELECT report_id, state, kind, signature FROM report_analyses ORDER BY report_id"),
            "1,done,crash,crash | game.exe!Fire\n"
            "2,done,crash,crash | game.exe!Fire\n"
            "3,done,crash,crash | game.exe!Fire\n"
            "4,done,error,error | 107 | LuaError | main.lua:10 | main.lua:20\n");
  EXPECT_EQ(Rows("SELECT kind, title, report_count, first_seen - " + std::to_string(kDay0) + ", last_seen - " +
                 std::to_string(kDay0) + " FROM crash_groups ORDER BY id"),
            "crash,game.exe!Fire,3,10,86405\n"
            "error,LuaError at main.lua:10,1,80001,80001\n");  // its crashTime 1700000001
  const std::string group = "(SELECT id FROM crash_groups WHERE kind = 'crash')";
  EXPECT_EQ(Rows("SELECT version, count FROM group_versions WHERE group_id = " + group + " ORDER BY version"),
            "1.0,2\n2.0,1\n");
  EXPECT_EQ(Rows("SELECT user_id, count FROM group_users WHERE group_id = " + group + " ORDER BY user_id"), "u1,2\nu2,1\n");
  EXPECT_EQ(Rows("SELECT device_id, count FROM group_devices WHERE group_id = " + group + " ORDER BY device_id"),
            "d1,2\nd2,1\n");
  EXPECT_EQ(Rows("SELECT day - 19675, count FROM group_days WHERE group_id = " + group + " ORDER BY day"), "0,2\n1,1\n");
  EXPECT_EQ(Rows("SELECT app, count FROM group_apps WHERE group_id = " + group + " ORDER BY app"),
            "app-1,3\nbundleId,3\n");
  EXPECT_EQ(Rows("SELECT thread_id, frame_index, module_name, function FROM stack_frames WHERE report_id = 1"),
            "7,0,Vextra64.dll,Vextra::Raise\n7,1,game.exe,Fire\n");

  // Nothing is left to do: a second round analyses nothing again.
  EXPECT_EQ(background.RunOnce(), 0);
}

TEST_F(ReportAnalysisTest, SymbolsArrivingMoveReportsAndKeepTheOldGroupRight) {
  ScriptedAnalyser analyser;
  bool symbolsStored = false;
  // "one" and "two" crash at the same unsymbolised place; only "one" waits for GAMEID.
  analyser.script["one"] = [&] {
    return symbolsStored ? Faulting({{"game.exe", "Player::Die"}}, "") : Faulting({{"game.exe", ""}}, "GAMEID");
  };
  analyser.script["two"] = [] { return Faulting({{"game.exe", ""}}, "OTHERID"); };
  StoreCrash("one", "1.0", "u1", "d1", kDay0 + 1);
  StoreCrash("two", "2.0", "u2", "d2", kDay0 + kDay);
  StoreCrash("one", "1.0", "u1", "d3", kDay0 + 2 * kDay);

  collector::BackgroundAnalyser background(path_, analyser);
  ASSERT_EQ(background.RunOnce(), 3);
  ASSERT_EQ(Rows("SELECT signature, report_count FROM crash_groups"), "crash | game.exe+0x100,3\n");
  EXPECT_EQ(Rows("SELECT missing_symbols FROM report_analyses ORDER BY report_id"), "GAMEID\nOTHERID\nGAMEID\n");

  // Symbols for an id nobody waits for change nothing.
  AddSymbols("UNRELATED");
  EXPECT_EQ(background.RunOnce(), 0);

  symbolsStored = true;
  AddSymbols("GAMEID");
  EXPECT_EQ(background.RunOnce(), 2);

  EXPECT_EQ(Rows("SELECT signature, report_count, first_seen - " + std::to_string(kDay0) + ", last_seen - " +
                 std::to_string(kDay0) + " FROM crash_groups ORDER BY signature"),
            "crash | game.exe!Player::Die,2,1,172800\n"
            "crash | game.exe+0x100,1,86400,86400\n");
  const std::string oldGroup = "(SELECT id FROM crash_groups WHERE signature = 'crash | game.exe+0x100')";
  const std::string newGroup = "(SELECT id FROM crash_groups WHERE signature = 'crash | game.exe!Player::Die')";
  EXPECT_EQ(Rows("SELECT version, count FROM group_versions WHERE group_id = " + oldGroup), "2.0,1\n");
  EXPECT_EQ(Rows("SELECT user_id, count FROM group_users WHERE group_id = " + oldGroup), "u2,1\n");
  EXPECT_EQ(Rows("SELECT device_id FROM group_devices WHERE group_id = " + oldGroup), "d2\n");
  EXPECT_EQ(Rows("SELECT day - 19675, count FROM group_days WHERE group_id = " + oldGroup), "1,1\n");
  EXPECT_EQ(Rows("SELECT version, count FROM group_versions WHERE group_id = " + newGroup), "1.0,2\n");
  EXPECT_EQ(Rows("SELECT user_id, count FROM group_users WHERE group_id = " + newGroup), "u1,2\n");
  EXPECT_EQ(Rows("SELECT device_id FROM group_devices WHERE group_id = " + newGroup + " ORDER BY device_id"), "d1\nd3\n");
  EXPECT_EQ(Rows("SELECT day - 19675, count FROM group_days WHERE group_id = " + newGroup + " ORDER BY day"),
            "0,1\n2,1\n");
  // The frames were replaced, not added to.
  EXPECT_EQ(Rows("SELECT function FROM stack_frames WHERE report_id = 1"), "Player::Die\n");

  // When the last report leaves a group, the group goes.
  // (Its module is still listed as missing: a stored file may not serve every lookup.)
  analyser.script["two"] = [] { return Faulting({{"game.exe", "Player::Die"}}, "OTHERID"); };
  AddSymbols("OTHERID");
  EXPECT_EQ(background.RunOnce(), 1);
  EXPECT_EQ(background.RunOnce(), 0) << "symbols seen once do not bring a report back again";
  EXPECT_EQ(Rows("SELECT signature, report_count FROM crash_groups"), "crash | game.exe!Player::Die,3\n");
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM group_versions WHERE group_id NOT IN (SELECT id FROM crash_groups)"), "0\n");
}

TEST_F(ReportAnalysisTest, TheSameCrashFromTwoBuildsSharesAGroupAndADifferentOneDoesNot) {
  collector::MinimalDumpAnalyser analyser;
  SampleCrash first;
  SampleCrash moved = first;
  moved.gameBase = 0x7FF600000000;
  moved.dllBase = 0x7FFB00000000;
  SampleCrash other = first;
  other.offset = 0x5678;
  SampleCrash inDll = first;
  inDll.inDll = true;
  inDll.offset = 0x500;
  StoreCrash(collector::Gzip(WriteSampleDump(first)), "1.0", "u1", "d1", kDay0);
  StoreCrash(collector::Gzip(WriteSampleDump(moved)), "1.1", "u2", "d2", kDay0);
  StoreCrash(collector::Gzip(WriteSampleDump(other)), "1.0", "u1", "d1", kDay0);
  StoreCrash(WriteSampleDump(inDll), "1.0", "u1", "d1", kDay0);  // sent raw: compression failed
  collector::BackgroundAnalyser background(path_, analyser);
  ASSERT_EQ(background.RunOnce(), 4);
  EXPECT_EQ(Rows("SELECT report_id, state, error, group_id FROM report_analyses ORDER BY report_id"),
            "1,done,,1\n2,done,,1\n3,done,,2\n4,done,,3\n");
  EXPECT_EQ(Rows("SELECT signature, report_count FROM crash_groups ORDER BY id"),
            "crash | game.exe+0x1234,2\ncrash | game.exe+0x5678,1\ncrash | 0xc0000005 Vextra64.dll+0x500,1\n");
  EXPECT_EQ(Rows("SELECT exception_code, crashing_thread, missing_symbols FROM report_analyses WHERE report_id = 1"),
            std::to_string(0xC0000005u) + ",7," + GameDebugId() + "\n");
  EXPECT_EQ(Rows("SELECT name, debug_id, debug_file FROM dump_modules WHERE report_id = 1 ORDER BY module_index"),
            "C:\\Games\\Demo\\game.exe," + GameDebugId() + ",game.pdb\nC:\\Games\\Demo\\Vextra64.dll," +
                "434241404544474648494A4B4C4D4E4F1,Vextra64.pdb\n");
  EXPECT_EQ(Rows("SELECT thread_id, faulting FROM dump_threads WHERE report_id = 1"), "7,1\n8,0\n");
}

// Each hostile dump ends as a failed or partial analysis with an error line,
// and the reports after it are analysed all the same.
void CheckHostileDumps(ReportAnalysisTest& test, collector::DumpAnalyser& analyser);

TEST_F(ReportAnalysisTest, HostileDumpsAreRecordedAndTheRestGoesOn) {
  collector::MinimalDumpAnalyser analyser;
  CheckHostileDumps(*this, analyser);
}

// The same through the collector's own analyser: the stack walker and the
// symbol store (empty here) meet the same dumps.
TEST_F(ReportAnalysisTest, HostileDumpsThroughTheStackWalkerAreRecordedAndTheRestGoesOn) {
  collector::StoredSymbolsAnalyser analyser(path_);
  CheckHostileDumps(*this, analyser);
}

void CheckHostileDumps(ReportAnalysisTest& test, collector::DumpAnalyser& analyser) {
  const std::string dump = WriteSampleDump(SampleCrash{});
  ASSERT_GT(dump.size(), 1000u);
  const std::string gz = collector::Gzip(dump);
  std::string badDirectory = dump;
  // The stream directory's place (header offset 12) pointing far beyond the file.
  badDirectory.replace(12, 4, Le32(0x7FFFFFF0));
  std::string badStreams = dump;
  // Every stream's place (directory at its stated rva, 12 bytes per entry) beyond the file.
  const uint32_t directory = static_cast<uint8_t>(dump[12]) | static_cast<uint8_t>(dump[13]) << 8;
  const uint32_t streams = static_cast<uint8_t>(dump[8]);
  for (uint32_t i = 0; i < streams; ++i) badStreams.replace(directory + 12 * i + 8, 4, Le32(0x7FFFFF00));

  const struct {
    const char* name;
    std::string data;
    const char* state;
    const char* errorHas;
  } kCases[] = {
      {"empty attachment", "", "failed", "the minidump is empty"},
      {"not a dump", "hello, world", "failed", ""},
      {"gzip stream cut short", gz.substr(0, gz.size() / 2), "", "gzip stream is cut"},
      {"dump cut short", dump.substr(0, dump.size() / 3), "", ""},
      {"header only", dump.substr(0, 32), "failed", ""},
      {"directory beyond the file", badDirectory, "failed", ""},
      {"every stream beyond the file", badStreams, "failed", ""},
  };
  for (const auto& c : kCases) test.StoreCrash(c.data, "1.0", "u", "d", kDay0);
  collector::BackgroundAnalyser background(test.path_, analyser);
  ASSERT_EQ(background.RunOnce(), static_cast<int>(std::size(kCases)));
  for (size_t i = 0; i < std::size(kCases); ++i) {
    SCOPED_TRACE(kCases[i].name);
    Database db(test.path_, true);
    Query row(db, "SELECT state, kind, error, group_id FROM report_analyses WHERE report_id = ?");
    row.Bind(1, static_cast<int64_t>(i + 1));
    ASSERT_TRUE(row.Step());
    if (*kCases[i].state) EXPECT_EQ(row.Text(0), kCases[i].state);
    EXPECT_TRUE(row.Text(0) == "failed" || row.Text(0) == "done") << row.Text(0);
    EXPECT_EQ(row.Text(1), "crash");
    EXPECT_FALSE(row.Text(2).empty()) << "an error line says what could not be read";
    EXPECT_NE(row.Text(2).find(kCases[i].errorHas), std::string::npos) << row.Text(2);
    EXPECT_FALSE(row.IsNull(3)) << "every crash report lands in a group";
  }
}

TEST_F(ReportAnalysisTest, AnAnalyserThatThrowsFailsOnlyItsReport) {
  ScriptedAnalyser analyser;  // "boom" is not scripted: it throws
  analyser.script["fine"] = [] { return Faulting({{"game.exe", "Fire"}}, ""); };
  StoreCrash("boom", "1.0", "u", "d", kDay0);
  StoreCrash("fine", "1.0", "u", "d", kDay0);
  collector::BackgroundAnalyser background(path_, analyser);
  EXPECT_EQ(background.RunOnce(), 2);
  EXPECT_EQ(Rows("SELECT report_id, state, error FROM report_analyses ORDER BY report_id"),
            "1,failed,the analyser failed: unscripted dump 'boom'\n2,done,\n");
}

TEST_F(ReportAnalysisTest, TheThreadAnalysesWhatArrivesWhenWoken) {
  ScriptedAnalyser analyser;
  analyser.script["fine"] = [] { return Faulting({{"game.exe", "Fire"}}, ""); };
  collector::BackgroundAnalyser background(path_, analyser);
  background.Start(60 * 60 * 1000);  // no polling within the test: only the wake-up brings it round
  StoreCrash("fine", "1.0", "u", "d", kDay0);
  background.Wake();
  std::string state;
  for (int i = 0; i < 500 && state != "done\n"; ++i) {
    state = Rows("SELECT state FROM report_analyses WHERE report_id = 1");
    if (state != "done\n") std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(state, "done\n");
  background.Stop();
}

}  // namespace
}  // namespace collector_test
