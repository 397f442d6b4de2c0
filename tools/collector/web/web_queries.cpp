#include "collector/web/web_queries.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "collector/analysis/group_key.h"
#include "minidump/identity_text.h"

namespace collector {
namespace {

using Vextra::minidump::HexNumber;

constexpr int64_t kSecondsPerDay = 86400;

std::string Param(const std::multimap<std::string, std::string>& params, const std::string& name) {
  const auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

// Escapes LIKE's wildcards so a search finds the text as typed.
std::string LikePattern(const std::string& text) {
  std::string out = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + "%";
}

// One row's columns as a JSON object: integers, texts, and BLOBs by size.
Json RowObject(const Query& row, const std::vector<std::string>& skip = {}) {
  Json object = Json::Object();
  for (int i = 0; i < row.Columns(); ++i) {
    const std::string name = row.Name(i);
    bool skipped = false;
    for (const std::string& s : skip) skipped = skipped || s == name;
    if (skipped) continue;
    switch (row.Type(i)) {
      case ColumnType::kNull: object.Set(name, nullptr); break;
      case ColumnType::kInteger: object.Set(name, row.Int(i)); break;
      case ColumnType::kBlob: object.Set(name, "(" + std::to_string(row.Text(i).size()) + " bytes)"); break;
      default: object.Set(name, row.Text(i)); break;
    }
  }
  return object;
}

// The per-group figures shared by the group list and a group's page.
class GroupDetails {
 public:
  explicit GroupDetails(const Database& db)
      : versions_(db, "SELECT version, count FROM group_versions WHERE group_id = ? ORDER BY count DESC, version LIMIT 20"),
        users_(db, "SELECT COUNT(*) FROM group_users WHERE group_id = ?"),
        devices_(db, "SELECT COUNT(*) FROM group_devices WHERE group_id = ?"),
        days_(db, "SELECT day, count FROM group_days WHERE group_id = ? AND day > ? AND day <= ? ORDER BY day") {}

  Json Describe(const Query& group, int64_t chartEndDay) {
    const int64_t id = group.Int(0);
    Json json = Json::Object();
    json.Set("id", id);
    json.Set("signature", group.Text(1));
    json.Set("kind", group.Text(2));
    json.Set("title", group.Text(3));
    json.Set("count", group.Int(4));
    json.Set("first_seen", group.Int(5));
    json.Set("last_seen", group.Int(6));
    Json versions = Json::Array();
    versions_.Bind(1, id);
    while (versions_.Step()) {
      Json version = Json::Object();
      version.Set("version", versions_.Text(0));
      version.Set("count", versions_.Int(1));
      versions.Push(std::move(version));
    }
    versions_.Reset();
    json.Set("versions", std::move(versions));
    json.Set("users", Count(users_, id));
    json.Set("devices", Count(devices_, id));
    std::vector<int64_t> counts(kChartDays, 0);
    days_.Bind(1, id).Bind(2, chartEndDay - kChartDays).Bind(3, chartEndDay);
    while (days_.Step()) counts[static_cast<size_t>(days_.Int(0) - (chartEndDay - kChartDays) - 1)] = days_.Int(1);
    days_.Reset();
    Json days = Json::Array();
    for (int64_t count : counts) days.Push(count);
    json.Set("days", std::move(days));
    return json;
  }

 private:
  static int64_t Count(Query& query, int64_t id) {
    query.Bind(1, id);
    const int64_t count = query.Step() ? query.Int(0) : 0;
    query.Reset();
    return count;
  }
  Query versions_, users_, devices_, days_;
};

constexpr char kGroupColumns[] = "g.id, g.signature, g.kind, g.title, g.report_count, g.first_seen, g.last_seen";

}  // namespace

WebFilters FiltersFromParams(const std::multimap<std::string, std::string>& params) {
  WebFilters filters;
  filters.type = Param(params, "type");
  if (filters.type != "crash" && filters.type != "error") filters.type.clear();
  filters.app = Param(params, "app");
  filters.version = Param(params, "version");
  filters.user = Param(params, "user");
  filters.text = Param(params, "q");
  const std::string page = Param(params, "page");
  const long number = std::strtol(page.c_str(), nullptr, 10);
  filters.page = number >= 1 && number <= 1000000 ? static_cast<int>(number) : 1;
  return filters;
}

Json FiltersJson(const WebFilters& filters) {
  Json json = Json::Object();
  if (!filters.type.empty()) json.Set("type", filters.type);
  if (!filters.app.empty()) json.Set("app", filters.app);
  if (!filters.version.empty()) json.Set("version", filters.version);
  if (!filters.user.empty()) json.Set("user", filters.user);
  if (!filters.text.empty()) json.Set("q", filters.text);
  return json;
}

std::string FrameLabel(const std::string& module, uint64_t offset, uint64_t pc, const std::string& function,
                       const std::string& file, int line) {
  if (module.empty() && function.empty()) return HexNumber(pc);
  std::string label = module.empty() ? HexNumber(pc) : module;
  if (function.empty()) return label + "+" + HexNumber(offset);
  label += "!" + function;
  if (!file.empty()) label += " (" + file + ":" + std::to_string(line) + ")";
  return label;
}

Json QueryGroups(const Database& db, const WebFilters& filters) {
  std::string sql = std::string("SELECT ") + kGroupColumns + " FROM crash_groups g WHERE g.report_count > 0";
  std::vector<std::string> values;
  if (!filters.type.empty()) {
    sql += " AND g.kind = ?";
    values.push_back(filters.type);
  }
  if (!filters.app.empty()) {
    sql += " AND EXISTS (SELECT 1 FROM group_apps x WHERE x.group_id = g.id AND x.app = ?)";
    values.push_back(filters.app);
  }
  if (!filters.version.empty()) {
    sql += " AND EXISTS (SELECT 1 FROM group_versions x WHERE x.group_id = g.id AND x.version = ?)";
    values.push_back(filters.version);
  }
  if (!filters.user.empty()) {
    sql += " AND EXISTS (SELECT 1 FROM group_users x WHERE x.group_id = g.id AND x.user_id = ?)";
    values.push_back(filters.user);
  }
  if (!filters.text.empty()) {
    sql += " AND (g.title LIKE ? ESCAPE '\\' OR g.signature LIKE ? ESCAPE '\\')";
    values.push_back(LikePattern(filters.text));
    values.push_back(LikePattern(filters.text));
  }
  sql += " ORDER BY g.report_count DESC, g.id LIMIT " + std::to_string(kGroupsPerPage) + " OFFSET " +
         std::to_string(static_cast<int64_t>(filters.page - 1) * kGroupsPerPage);

  int64_t lastSeen = 0;
  {
    Query newest(db, "SELECT MAX(last_seen) FROM crash_groups");
    if (newest.Step()) lastSeen = newest.Int(0);
  }
  const int64_t chartEndDay = lastSeen / kSecondsPerDay;
  Json result = Json::Object();
  result.Set("filters", FiltersJson(filters));
  result.Set("page", filters.page);
  result.Set("chart_end_day", chartEndDay);
  Json groups = Json::Array();
  Query query(db, sql);
  for (size_t i = 0; i < values.size(); ++i) query.Bind(static_cast<int>(i + 1), values[i]);
  GroupDetails details(db);
  while (query.Step()) groups.Push(details.Describe(query, chartEndDay));
  result.Set("groups", std::move(groups));
  return result;
}

Json QueryGroup(const Database& db, int64_t groupId, const WebFilters& filters) {
  Query group(db, std::string("SELECT ") + kGroupColumns + " FROM crash_groups g WHERE g.id = ?");
  group.Bind(1, groupId);
  if (!group.Step()) return Json();
  GroupDetails details(db);
  Json result = Json::Object();
  const int64_t chartEndDay = group.Int(6) / kSecondsPerDay;
  result.Set("group", details.Describe(group, chartEndDay));
  result.Set("filters", FiltersJson(filters));

  std::string where = " FROM report_analyses a JOIN reports r ON r.id = a.report_id "
                      "LEFT JOIN requests q ON q.id = r.request_id WHERE a.group_id = ?";
  std::vector<std::string> values;
  if (!filters.type.empty()) {
    where += " AND a.kind = ?";
    values.push_back(filters.type);
  }
  if (!filters.app.empty()) {
    where += " AND (q.bundleId = ? OR q.prodId = ?)";
    values.push_back(filters.app);
    values.push_back(filters.app);
  }
  if (!filters.version.empty()) {
    where += " AND q.version = ?";
    values.push_back(filters.version);
  }
  if (!filters.user.empty()) {
    where += " AND r.userid = ?";
    values.push_back(filters.user);
  }
  if (!filters.text.empty()) {
    where += " AND (r.expName LIKE ? ESCAPE '\\' OR r.expMessage LIKE ? ESCAPE '\\' OR r.callStack LIKE ? ESCAPE "
             "'\\' OR r.userid LIKE ? ESCAPE '\\' OR r.expuid LIKE ? ESCAPE '\\')";
    for (int i = 0; i < 5; ++i) values.push_back(LikePattern(filters.text));
  }
  auto bind = [&](Query& query) {
    query.Bind(1, groupId);
    for (size_t i = 0; i < values.size(); ++i) query.Bind(static_cast<int>(i + 2), values[i]);
  };
  if (values.empty()) {
    result.Set("total", group.Int(4));  // the group's own count: no need to count its reports
  } else {
    Query total(db, "SELECT COUNT(*)" + where);
    bind(total);
    result.Set("total", total.Step() ? total.Int(0) : int64_t{0});
  }
  result.Set("page", filters.page);
  result.Set("page_size", kReportsPerPage);

  Query rows(db,
                   "SELECT r.id, r.type, r.expName, r.expMessage, "
                   "CASE WHEN r.crashTime > 0 THEN r.crashTime ELSE q.received_at END, q.version, q.bundleId, "
                   "r.userid, COALESCE(NULLIF(r.deviceId, ''), q.deviceId), a.state" +
                       where + " ORDER BY a.report_id DESC LIMIT " + std::to_string(kReportsPerPage) + " OFFSET " +
                       std::to_string(static_cast<int64_t>(filters.page - 1) * kReportsPerPage));
  bind(rows);
  Json reports = Json::Array();
  while (rows.Step()) {
    Json report = Json::Object();
    report.Set("id", rows.Int(0));
    report.Set("type", rows.Text(1));
    report.Set("name", rows.Text(2));
    report.Set("message", rows.Text(3));
    report.Set("seen", rows.Int(4));
    report.Set("version", rows.Text(5));
    report.Set("app", rows.Text(6));
    report.Set("user", rows.Text(7));
    report.Set("device", rows.Text(8));
    report.Set("state", rows.Text(9));
    reports.Push(std::move(report));
  }
  result.Set("reports", std::move(reports));
  return result;
}

Json QueryReport(const Database& db, int64_t reportId) {
  Query report(db, "SELECT * FROM reports WHERE id = ?");
  report.Bind(1, reportId);
  if (!report.Step()) return Json();
  Json result = Json::Object();
  const Json reportJson = RowObject(report);
  result.Set("report", reportJson);

  Query request(db, "SELECT * FROM requests WHERE id = ?");
  request.Bind(1, reportJson["request_id"].AsInt());
  result.Set("request", request.Step() ? RowObject(request, {"body", "sBuffer"}) : Json());

  for (const char* map : {"userMap", "valueMap", "allStacks"}) {
    Query entries(db, "SELECT key, value FROM map_entries WHERE owner = 'report' AND owner_id = ? AND map = ? "
                            "ORDER BY key");
    entries.Bind(1, reportId).Bind(2, std::string(map));
    Json object = Json::Object();
    while (entries.Step()) object.Set(entries.Text(0), entries.Text(1));
    result.Set(map, std::move(object));
  }

  Query attachments(db, "SELECT id, fileName, type, size, inflated, error, "
                              "CASE WHEN fileName = 'minidump.zip' THEN NULL ELSE content END "
                              "FROM attachments WHERE report_id = ? ORDER BY id");
  attachments.Bind(1, reportId);
  Json attachmentList = Json::Array();
  while (attachments.Step()) {
    Json attachment = Json::Object();
    attachment.Set("id", attachments.Int(0));
    attachment.Set("fileName", attachments.Text(1));
    attachment.Set("type", attachments.Int(2));
    attachment.Set("size", attachments.Int(3));
    attachment.Set("inflated", attachments.Int(4) != 0);
    attachment.Set("error", attachments.Text(5));
    attachment.Set("text", attachments.IsNull(6) ? Json() : Json(attachments.Text(6)));
    attachmentList.Push(std::move(attachment));
  }
  result.Set("attachments", std::move(attachmentList));

  Query analysis(db, "SELECT state, kind, error, signature, group_id, exception_code, exception_address, "
                           "crashing_thread, missing_symbols, analysed_at FROM report_analyses WHERE report_id = ?");
  analysis.Bind(1, reportId);
  if (analysis.Step()) {
    Json json = RowObject(analysis);
    if (!analysis.IsNull(5)) {
      json.Set("exception_name", ExceptionCodeName(static_cast<uint32_t>(analysis.Int(5))));
      json.Set("exception_code_hex", HexNumber(static_cast<uint32_t>(analysis.Int(5))));
      json.Set("exception_address_hex", HexNumber(static_cast<uint64_t>(analysis.Int(6))));
    }
    result.Set("analysis", std::move(json));
  } else {
    Json pending = Json::Object();
    pending.Set("state", "pending");
    result.Set("analysis", std::move(pending));
  }

  Json threads = Json::Array();
  Query threadRows(db, "SELECT thread_id, faulting, error FROM dump_threads WHERE report_id = ? "
                             "ORDER BY faulting DESC, rowid");
  threadRows.Bind(1, reportId);
  Query frames(db, "SELECT frame_index, pc, trust, module_name, module_offset, function, file, line "
                         "FROM stack_frames WHERE report_id = ? AND thread_id = ? ORDER BY frame_index");
  while (threadRows.Step()) {
    Json thread = Json::Object();
    thread.Set("thread_id", threadRows.Int(0));
    thread.Set("faulting", threadRows.Int(1) != 0);
    thread.Set("error", threadRows.Text(2));
    Json frameList = Json::Array();
    frames.Bind(1, reportId).Bind(2, threadRows.Int(0));
    while (frames.Step()) {
      Json frame = Json::Object();
      frame.Set("index", frames.Int(0));
      frame.Set("pc", HexNumber(static_cast<uint64_t>(frames.Int(1))));
      frame.Set("trust", frames.Text(2));
      frame.Set("module", frames.Text(3));
      frame.Set("module_offset", HexNumber(static_cast<uint64_t>(frames.Int(4))));
      frame.Set("function", frames.Text(5));
      frame.Set("file", frames.Text(6));
      frame.Set("line", frames.Int(7));
      frame.Set("text", FrameLabel(frames.Text(3), static_cast<uint64_t>(frames.Int(4)),
                                   static_cast<uint64_t>(frames.Int(1)), frames.Text(5), frames.Text(6),
                                   static_cast<int>(frames.Int(7))));
      frameList.Push(std::move(frame));
    }
    frames.Reset();
    thread.Set("frames", std::move(frameList));
    threads.Push(std::move(thread));
  }
  result.Set("threads", std::move(threads));

  Json modules = Json::Array();
  Query moduleRows(db, "SELECT module_index, name, base, size, debug_id, debug_file, has_symbols "
                             "FROM dump_modules WHERE report_id = ? ORDER BY module_index");
  moduleRows.Bind(1, reportId);
  while (moduleRows.Step()) {
    Json module = Json::Object();
    module.Set("index", moduleRows.Int(0));
    module.Set("name", moduleRows.Text(1));
    module.Set("base", HexNumber(static_cast<uint64_t>(moduleRows.Int(2))));
    module.Set("size", moduleRows.Int(3));
    module.Set("debug_id", moduleRows.Text(4));
    module.Set("debug_file", moduleRows.Text(5));
    module.Set("has_symbols", moduleRows.Int(6) != 0);
    modules.Push(std::move(module));
  }
  result.Set("modules", std::move(modules));
  return result;
}

}  // namespace collector
