#pragma once
// The data of the web view's pages, read from the collector's database as
// JSON values: the API sends them as they are, the pages render them.
// Every query is served by an index or the per-group tables.

#include <cstdint>
#include <map>
#include <string>

#include "collector/storage/database.h"
#include "collector/web/json_value.h"

namespace collector {

struct WebFilters {
  std::string type;     // "crash", "error" or empty for both
  std::string app;      // bundleId or prodId
  std::string version;  // the envelope's version
  std::string user;     // the report's userid
  std::string text;     // found in titles and signatures (groups) or report texts (a group's reports)
  int page = 1;         // from 1
};

// Reads the filters from query parameters (type, app, version, user, q, page).
WebFilters FiltersFromParams(const std::multimap<std::string, std::string>& params);
// The filters as a JSON object (only those that are set).
Json FiltersJson(const WebFilters& filters);

inline constexpr int kGroupsPerPage = 200;
inline constexpr int kReportsPerPage = 50;
inline constexpr int kChartDays = 30;

// {"filters", "chart_end_day", "groups": [{id, kind, title, signature, count,
// first_seen, last_seen, versions: [{version, count}], users, devices,
// days: [count per day, kChartDays days ending at chart_end_day]}]}, sorted
// by count, biggest first.
Json QueryGroups(const Database& db, const WebFilters& filters);
// {"group": (as above), "filters", "page", "page_size", "total", "reports":
// [{id, type, name, message, seen, version, app, user, device, state}]};
// null when the group does not exist.
Json QueryGroup(const Database& db, int64_t groupId, const WebFilters& filters);
// {"report": every column, "request": every column of its request but the
// body bytes, "userMap", "valueMap", "allStacks", "attachments": [{id,
// fileName, type, size, inflated, error, text}], "analysis", "threads":
// [{thread_id, faulting, error, frames: [{index, pc, trust, module,
// module_offset, function, file, line, text}]}], "modules"}; null when the
// report does not exist.
Json QueryReport(const Database& db, int64_t reportId);

// A frame as the pages show it: module!function (file:line), module!function,
// module+0xoffset, or the address alone.
std::string FrameLabel(const std::string& module, uint64_t offset, uint64_t pc, const std::string& function,
                       const std::string& file, int line);

}  // namespace collector
