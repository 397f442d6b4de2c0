#include "collector/analysis/report_analysis.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "collector/request_schema.h"

namespace collector {

ReportOutcome AnalyseReport(const ReportFacts& facts, DumpAnalyser& analyser) {
  ReportOutcome outcome;
  if (!facts.hasMinidump) {
    outcome.kind = "error";
    outcome.state = "done";
    outcome.key = ErrorGroupKey(facts.type, facts.name, facts.callStack);
    return outcome;
  }
  outcome.kind = "crash";
  std::vector<std::string> errors;
  std::string problem;
  const std::string bytes = DumpBytesOfAttachment(facts.minidumpData, &problem);
  if (!problem.empty()) errors.push_back(problem);
  if (bytes.empty()) {
    errors.push_back("the minidump is empty");
  } else {
    try {
      outcome.analysis = analyser.Analyse(bytes);
    } catch (const std::exception& error) {
      outcome.analysis = DumpAnalysis{};
      errors.push_back(std::string("the analyser failed: ") + error.what());
    } catch (...) {
      outcome.analysis = DumpAnalysis{};
      errors.push_back("the analyser failed");
    }
  }
  for (const std::string& line : outcome.analysis.problems) errors.push_back(line);
  const bool readAnything = !outcome.analysis.threads.empty() || !outcome.analysis.modules.empty() ||
                            outcome.analysis.has_exception;
  outcome.state = readAnything ? "done" : "failed";
  for (size_t i = 0; i < errors.size(); ++i) outcome.error += (i ? "\n" : "") + errors[i];
  if (readAnything) {
    outcome.key = CrashGroupKey(outcome.analysis);
  } else {
    outcome.key = {"crash | unreadable minidump", "unreadable minidump"};
  }
  return outcome;
}

AnalysisStore::AnalysisStore(const std::string& location, std::string owner)
    : db_(location), owner_(std::move(owner)) {
  if (db_.backend() == Backend::kSqlite) {
    // Analyses are derived from the stored reports and can be made again: the
    // write-ahead log is not synced at every analysis, only at checkpoints.
    db_.Exec("PRAGMA synchronous=NORMAL;");
  }
  db_.CreateSchema();
}

std::vector<int64_t> AnalysisStore::NextReports(int limit, int64_t now, int64_t staleAfter) {
  std::vector<int64_t> ids;
  // Waiting analyses, and claims of a collector that stopped before it was done.
  Query claim(db_,
              "UPDATE report_analyses SET state = 'working', owner = ?1, claimed_at = ?2 "
              "WHERE (state = 'pending' OR (state = 'working' AND claimed_at < ?3)) AND report_id IN "
              "(SELECT report_id FROM report_analyses WHERE state = 'pending' OR (state = 'working' AND claimed_at < ?3) "
              "ORDER BY report_id LIMIT ?4) RETURNING report_id");
  claim.Bind(1, owner_).Bind(2, now).Bind(3, now - staleAfter).Bind(4, int64_t{limit});
  while (claim.Step()) ids.push_back(claim.Int(0));
  std::vector<int64_t> fresh;
  {
    Query unseen(db_,
                 "SELECT r.id FROM reports r WHERE NOT EXISTS (SELECT 1 FROM report_analyses a WHERE a.report_id = r.id) "
                 "ORDER BY r.id LIMIT ?");
    unseen.Bind(1, int64_t{limit});
    while (unseen.Step()) fresh.push_back(unseen.Int(0));
  }
  // A report another collector claimed first is left to it.
  Query take(db_,
             "INSERT INTO report_analyses (report_id, state, owner, claimed_at) VALUES (?, 'working', ?, ?) "
             "ON CONFLICT (report_id) DO NOTHING RETURNING report_id");
  for (int64_t id : fresh) {
    take.Bind(1, id).Bind(2, owner_).Bind(3, now);
    if (take.Step()) ids.push_back(take.Int(0));
    take.Reset();
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

void AnalysisStore::Release(int64_t id) {
  Query(db_, "UPDATE report_analyses SET state = 'pending', owner = NULL WHERE report_id = ? AND state = 'working' "
             "AND owner = ?")
      .Bind(1, id)
      .Bind(2, owner_)
      .Run();
}

ReportFacts AnalysisStore::LoadReport(int64_t id) {
  ReportFacts facts;
  facts.id = id;
  Query report(db_,
                     "SELECT r.type, r.expName, r.callStack, "
                     "CASE WHEN r.crashTime > 0 THEN r.crashTime ELSE q.received_at END, "
                     "q.version, q.bundleId, q.prodId, r.userid, COALESCE(NULLIF(r.deviceId, ''), q.deviceId) "
                     "FROM reports r LEFT JOIN requests q ON q.id = r.request_id WHERE r.id = ?");
  report.Bind(1, id);
  if (!report.Step()) throw std::runtime_error("report " + std::to_string(id) + " is not stored");
  facts.type = report.Text(0);
  facts.name = report.Text(1);
  facts.callStack = report.Text(2);
  facts.seenAt = report.Int(3);
  facts.version = report.Text(4);
  facts.bundleId = report.Text(5);
  facts.prodId = report.Text(6);
  facts.userId = report.Text(7);
  facts.deviceId = report.Text(8);
  Query dump(db_, "SELECT data FROM attachments WHERE report_id = ? AND fileName = ? ORDER BY id LIMIT 1");
  dump.Bind(1, id).Bind(2, std::string(kMinidumpAttachment));
  if (dump.Step()) {
    facts.hasMinidump = true;
    facts.minidumpData = dump.Text(0);
  }
  return facts;
}

namespace {

void Bump(Database& db, const char* table, const char* column, int64_t groupId, const std::string& value) {
  Query(db, std::string("INSERT INTO ") + table + " (group_id, " + column + ", count) VALUES (?, ?, 1) " +
                      "ON CONFLICT (group_id, " + column + ") DO UPDATE SET count = " + table + ".count + 1")
      .Bind(1, groupId)
      .Bind(2, value)
      .Run();
}

void Drop(Database& db, const char* table, const char* column, int64_t groupId, const std::string& value) {
  Query(db, std::string("UPDATE ") + table + " SET count = count - 1 WHERE group_id = ? AND " + column + " = ?")
      .Bind(1, groupId)
      .Bind(2, value)
      .Run();
  Query(db, std::string("DELETE FROM ") + table + " WHERE group_id = ? AND " + column + " = ? AND count <= 0")
      .Bind(1, groupId)
      .Bind(2, value)
      .Run();
}

// The apps a report counts for: its bundleId and its prodId, once each.
std::set<std::string> AppsOf(const ReportFacts& facts) {
  std::set<std::string> apps;
  if (!facts.bundleId.empty()) apps.insert(facts.bundleId);
  if (!facts.prodId.empty()) apps.insert(facts.prodId);
  return apps;
}

constexpr int64_t kSecondsPerDay = 86400;

}  // namespace

void AnalysisStore::Join(int64_t groupId, const ReportFacts& facts) {
  Query(db_,
              "UPDATE crash_groups SET report_count = report_count + 1, "
              "first_seen = CASE WHEN first_seen < ?1 THEN first_seen ELSE ?1 END, "
              "last_seen = CASE WHEN last_seen > ?1 THEN last_seen ELSE ?1 END WHERE id = ?2")
      .Bind(1, facts.seenAt)
      .Bind(2, groupId)
      .Run();
  Query(db_, "INSERT INTO group_days (group_id, day, count) VALUES (?, ?, 1) "
                   "ON CONFLICT (group_id, day) DO UPDATE SET count = group_days.count + 1")
      .Bind(1, groupId)
      .Bind(2, facts.seenAt / kSecondsPerDay)
      .Run();
  Bump(db_, "group_versions", "version", groupId, facts.version);
  if (!facts.userId.empty()) Bump(db_, "group_users", "user_id", groupId, facts.userId);
  if (!facts.deviceId.empty()) Bump(db_, "group_devices", "device_id", groupId, facts.deviceId);
  for (const std::string& app : AppsOf(facts)) Bump(db_, "group_apps", "app", groupId, app);
}

void AnalysisStore::Leave(int64_t groupId, const ReportFacts& facts) {
  Query(db_, "UPDATE crash_groups SET report_count = report_count - 1 WHERE id = ?").Bind(1, groupId).Run();
  Query(db_, "UPDATE group_days SET count = count - 1 WHERE group_id = ? AND day = ?")
      .Bind(1, groupId)
      .Bind(2, facts.seenAt / kSecondsPerDay)
      .Run();
  Query(db_, "DELETE FROM group_days WHERE group_id = ? AND count <= 0").Bind(1, groupId).Run();
  Drop(db_, "group_versions", "version", groupId, facts.version);
  if (!facts.userId.empty()) Drop(db_, "group_users", "user_id", groupId, facts.userId);
  if (!facts.deviceId.empty()) Drop(db_, "group_devices", "device_id", groupId, facts.deviceId);
  for (const std::string& app : AppsOf(facts)) Drop(db_, "group_apps", "app", groupId, app);
  // First and last seen of what remains, read over the group's own reports.
  Query(db_,
              "UPDATE crash_groups SET (first_seen, last_seen) = (SELECT "
              "MIN(CASE WHEN r.crashTime > 0 THEN r.crashTime ELSE q.received_at END), "
              "MAX(CASE WHEN r.crashTime > 0 THEN r.crashTime ELSE q.received_at END) "
              "FROM report_analyses a JOIN reports r ON r.id = a.report_id LEFT JOIN requests q ON q.id = r.request_id "
              "WHERE a.group_id = ?1 AND a.report_id <> ?2) WHERE id = ?1 AND report_count > 0")
      .Bind(1, groupId)
      .Bind(2, facts.id)
      .Run();
  Query(db_, "DELETE FROM crash_groups WHERE id = ? AND report_count <= 0").Bind(1, groupId).Run();
}

void AnalysisStore::Save(const ReportFacts& facts, const ReportOutcome& outcome, int64_t now) {
  Transaction transaction(db_);
  int64_t oldGroup = -1;
  {
    Query old(db_, "SELECT group_id FROM report_analyses WHERE report_id = ? AND group_id IS NOT NULL");
    old.Bind(1, facts.id);
    if (old.Step()) oldGroup = old.Int(0);
  }
  Query(db_, "INSERT INTO crash_groups (signature, kind, title, report_count, first_seen, last_seen) "
                   "VALUES (?, ?, ?, 0, ?, ?) ON CONFLICT (signature) DO UPDATE SET title = excluded.title")
      .Bind(1, outcome.key.signature)
      .Bind(2, outcome.kind)
      .Bind(3, outcome.key.title)
      .Bind(4, facts.seenAt)
      .Bind(5, facts.seenAt)
      .Run();
  int64_t groupId = 0;
  {
    Query group(db_, "SELECT id FROM crash_groups WHERE signature = ?");
    group.Bind(1, outcome.key.signature);
    if (!group.Step()) throw std::runtime_error("crash group vanished");
    groupId = group.Int(0);
  }
  if (oldGroup != groupId) {
    if (oldGroup >= 0) Leave(oldGroup, facts);
    Join(groupId, facts);
  }

  for (const char* table : {"stack_frames", "dump_threads", "dump_modules"}) {
    Query(db_, std::string("DELETE FROM ") + table + " WHERE report_id = ?").Bind(1, facts.id).Run();
  }
  const DumpAnalysis& analysis = outcome.analysis;
  Query frame(db_, "INSERT INTO stack_frames (report_id, thread_id, frame_index, pc, trust, module_name, "
                         "module_offset, function, file, line) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  Query thread(db_, "INSERT INTO dump_threads (report_id, thread_id, faulting, error) VALUES (?, ?, ?, ?)");
  for (const AnalysedThread& t : analysis.threads) {
    thread.Bind(1, facts.id).Bind(2, int64_t{t.thread_id}).Bind(3, int64_t{t.faulting ? 1 : 0}).Bind(4, t.error).Run();
    thread.Reset();
    for (size_t i = 0; i < t.frames.size(); ++i) {
      const AnalysedFrame& f = t.frames[i];
      frame.Bind(1, facts.id).Bind(2, int64_t{t.thread_id}).Bind(3, static_cast<int64_t>(i));
      frame.Bind(4, static_cast<int64_t>(f.pc)).Bind(5, f.trust).Bind(6, f.module_name);
      frame.Bind(7, static_cast<int64_t>(f.module_offset)).Bind(8, f.function).Bind(9, f.file).Bind(10, int64_t{f.line});
      frame.Run();
      frame.Reset();
    }
  }
  Query module(db_, "INSERT INTO dump_modules (report_id, module_index, name, base, size, debug_id, debug_file, "
                          "has_symbols) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  for (size_t i = 0; i < analysis.modules.size(); ++i) {
    const AnalysedModule& m = analysis.modules[i];
    module.Bind(1, facts.id).Bind(2, static_cast<int64_t>(i)).Bind(3, m.name).Bind(4, static_cast<int64_t>(m.base));
    module.Bind(5, int64_t{m.size}).Bind(6, m.debug_id).Bind(7, m.debug_file).Bind(8, int64_t{m.has_symbols ? 1 : 0});
    module.Run();
    module.Reset();
  }
  std::string missing;
  for (const std::string& id : analysis.missing_symbols) missing += (missing.empty() ? "" : " ") + id;
  Query row(db_, "INSERT INTO report_analyses (report_id, state, kind, error, signature, group_id, "
                 "exception_code, exception_address, crashing_thread, missing_symbols, analysed_at, owner, claimed_at) "
                 "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, NULL, NULL) ON CONFLICT (report_id) DO UPDATE SET "
                 "state = excluded.state, kind = excluded.kind, error = excluded.error, signature = excluded.signature, "
                 "group_id = excluded.group_id, exception_code = excluded.exception_code, "
                 "exception_address = excluded.exception_address, crashing_thread = excluded.crashing_thread, "
                 "missing_symbols = excluded.missing_symbols, analysed_at = excluded.analysed_at, owner = NULL, "
                 "claimed_at = NULL");
  row.Bind(1, facts.id).Bind(2, outcome.state).Bind(3, outcome.kind).Bind(4, outcome.error);
  row.Bind(5, outcome.key.signature).Bind(6, groupId);
  if (outcome.kind == "crash" && analysis.has_exception) {
    row.Bind(7, int64_t{analysis.exception_code}).Bind(8, static_cast<int64_t>(analysis.exception_address));
    row.Bind(9, int64_t{analysis.crashing_thread});
  } else {
    row.BindNull(7).BindNull(8).BindNull(9);
  }
  row.Bind(10, missing).Bind(11, now);
  row.Run();
  transaction.Commit();
}

int AnalysisStore::MarkReportsWithNewSymbols() {
  std::vector<std::string> ids;
  int64_t last = lastSymbolRow_;
  {
    Query rows(db_, "SELECT rowid, debug_id FROM symbol_files WHERE rowid > ? ORDER BY rowid");
    rows.Bind(1, lastSymbolRow_ < 0 ? int64_t{0} : lastSymbolRow_);
    while (rows.Step()) {
      last = std::max(last, rows.Int(0));
      ids.push_back(rows.Text(1));
    }
  }
  // At start every stored debug id counts as new: symbols may have arrived
  // while the server was down.
  lastSymbolRow_ = std::max<int64_t>(last, 0);
  int marked = 0;
  Query mark(db_, "UPDATE report_analyses SET state = 'pending' WHERE state NOT IN ('pending', 'working') AND "
                        "(' ' || missing_symbols || ' ') LIKE ('% ' || ? || ' %')");
  for (const std::string& id : ids) {
    if (id.empty()) continue;
    mark.Bind(1, id).Run();
    marked += static_cast<int>(db_.Changes());
    mark.Reset();
  }
  return marked;
}

}  // namespace collector
