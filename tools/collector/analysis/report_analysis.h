#pragma once
// One report's analysis, from the stored report to its row in
// report_analyses and its place in a crash group.

#include <cstdint>
#include <string>
#include <vector>

#include "collector/analysis/dump_analysis.h"
#include "collector/analysis/group_key.h"
#include "collector/storage/database.h"

namespace collector {

// The name of the attachment that makes a report a crash report.
inline constexpr char kMinidumpAttachment[] = "minidump.zip";

// What the analyser reads of a stored report and its request.
struct ReportFacts {
  int64_t id = 0;
  std::string type, name, callStack;
  int64_t seenAt = 0;  // crashTime, or the request's receipt when crashTime is unset
  std::string version, bundleId, prodId, userId, deviceId;
  bool hasMinidump = false;
  std::string minidumpData;  // the attachment's data as received
};

struct ReportOutcome {
  std::string state;  // "done" or "failed"
  std::string kind;   // "crash" or "error"
  std::string error;  // error lines, one per line; empty when all could be read
  GroupKey key;
  DumpAnalysis analysis;  // crash reports
};

// Classifies the report, analyses its dump (crashes) and computes its group
// key. Exceptions thrown by the analyser give a failed outcome.
ReportOutcome AnalyseReport(const ReportFacts& facts, DumpAnalyser& analyser);

// The analyser's side of the database: its own connection, writes in
// transactions that keep the group tables in step with report_analyses.
class AnalysisStore {
 public:
  // Opens the database (a file or a PostgreSQL URI) and creates every table
  // that is missing. owner names this collector in its claims.
  explicit AnalysisStore(const std::string& location, std::string owner = "local");

  // Claims reports for this collector and returns them, oldest first, at
  // most limit of each kind: reports without an analysis row, reports whose
  // analysis is 'pending', and claims older than staleAfter seconds (their
  // collector stopped). A claimed report is 'working' until Save or Release;
  // two collectors never claim the same report at once.
  std::vector<int64_t> NextReports(int limit, int64_t now, int64_t staleAfter = 300);
  // Gives a claimed report back as 'pending' (its analysis could not be stored).
  void Release(int64_t id);
  ReportFacts LoadReport(int64_t id);
  // Replaces the report's analysis, frames, threads and modules; moves it to
  // the group of outcome.key (leaving its old group's counts right).
  void Save(const ReportFacts& facts, const ReportOutcome& outcome, int64_t now);
  // Marks the reports whose missing symbols name a debug id stored in
  // symbol_files since the last call as 'pending'; returns how many.
  int MarkReportsWithNewSymbols();

 private:
  void Join(int64_t groupId, const ReportFacts& facts);
  void Leave(int64_t groupId, const ReportFacts& facts);

  Database db_;
  std::string owner_;
  int64_t lastSymbolRow_ = -1;  // -1: not read yet; what is there at start was seen by earlier analyses
};

}  // namespace collector
