#include "collector/web/web_pages.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>

#include "collector/web/web_queries.h"

namespace collector {
namespace {

std::string E(const Json& value) { return HtmlEscape(value.Text()); }

// Query string of the filters, for links that keep them.
std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string FilterQuery(const Json& filters, int page) {
  std::string query;
  for (const auto& member : filters.Members()) {
    query += (query.empty() ? "?" : "&") + member.first + "=" + UrlEncode(member.second.Text());
  }
  if (page > 1) query += (query.empty() ? "?" : "&") + std::string("page=") + std::to_string(page);
  return query;
}

std::string Time(const Json& seconds) {
  if (seconds.IsNull()) return "";
  const std::time_t value = static_cast<std::time_t>(seconds.AsInt());
  std::tm parts{};
  gmtime_r(&value, &parts);
  char buffer[32];
  std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &parts);
  return buffer;
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222}table{border-collapse:collapse}"
    "td,th{border-bottom:1px solid #ddd;padding:3px 8px;text-align:left;vertical-align:top}"
    "pre{background:#f6f6f6;padding:6px;white-space:pre-wrap;max-height:30em;overflow:auto}"
    "form input,form select{margin-right:6px}.err{color:#b00}.frame{font-family:monospace}"
    "svg rect{fill:#4a7bd0}";

// Opens or closes every thread's stack at once.
constexpr char kThreadScript[] =
    "<script>(function(){var b=document.getElementById('expand-threads');if(!b)return;"
    "b.addEventListener('click',function(){var d=document.querySelectorAll('#threads details');"
    "var open=b.textContent==='expand all';d.forEach(function(x){x.open=open;});"
    "b.textContent=open?'collapse all':'expand all';});})();</script>";

// Applies the type filter as soon as it is chosen.
constexpr char kFilterScript[] =
    "<script>(function(){var f=document.getElementById('filters');if(!f)return;"
    "f.elements['type'].addEventListener('change',function(){f.submit();});})();</script>";

std::string Head(const std::string& title) {
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) + "</title><style>" +
         kStyle + "</style></head><body><p><a href=\"/\">Crash groups</a></p><h1>" + HtmlEscape(title) + "</h1>";
}

std::string FilterForm(const Json& filters, const std::string& action) {
  auto input = [&](const char* name, const char* label) {
    return std::string("<label>") + label + " <input name=\"" + name + "\" value=\"" + E(filters[name]) + "\"></label>";
  };
  const std::string type = filters["type"].Text();
  auto option = [&](const char* value, const char* label) {
    return std::string("<option value=\"") + value + "\"" + (type == value ? " selected" : "") + ">" + label + "</option>";
  };
  return "<form id=\"filters\" method=\"get\" action=\"" + action + "\"><label>type <select name=\"type\">" +
         option("", "all") + option("crash", "crash") + option("error", "error") + "</select></label>" +
         input("app", "app") + input("version", "version") + input("user", "user") + input("q", "search") +
         "<button type=\"submit\">Filter</button></form>" + kFilterScript;
}

// Bars of the reports per day, oldest on the left.
std::string DayChart(const Json& days) {
  const auto& items = days.Items();
  int64_t top = 1;
  for (const Json& day : items) top = std::max(top, day.AsInt());
  std::string svg = "<svg class=\"chart\" width=\"" + std::to_string(items.size() * 6) +
                    "\" height=\"25\" role=\"img\" aria-label=\"reports per day\"><line x1=\"0\" y1=\"24.5\" x2=\"" +
                    std::to_string(items.size() * 6) + "\" y2=\"24.5\" stroke=\"#bbb\"/>";
  for (size_t i = 0; i < items.size(); ++i) {
    const int64_t height = items[i].AsInt() == 0 ? 0 : std::max<int64_t>(1, items[i].AsInt() * 24 / top);
    svg += "<rect x=\"" + std::to_string(i * 6) + "\" y=\"" + std::to_string(24 - height) + "\" width=\"5\" height=\"" +
           std::to_string(height) + "\"><title>" + std::to_string(items[i].AsInt()) + "</title></rect>";
  }
  return svg + "</svg>";
}

std::string Versions(const Json& versions) {
  std::string text;
  for (const Json& version : versions.Items()) {
    if (!text.empty()) text += ", ";
    text += E(version["version"]) + " (" + E(version["count"]) + ")";
  }
  return text;
}

std::string GroupRow(const Json& group, bool link) {
  std::string title = E(group["title"]);
  if (link) title = "<a href=\"/groups/" + E(group["id"]) + "\">" + title + "</a>";
  return "<tr class=\"group\" data-id=\"" + E(group["id"]) + "\"><td>" + title + "<br><small class=\"signature\">" +
         E(group["signature"]) + "</small></td><td class=\"kind\">" + E(group["kind"]) + "</td><td class=\"count\">" +
         E(group["count"]) + "</td><td>" + Time(group["first_seen"]) + "</td><td>" + Time(group["last_seen"]) +
         "</td><td class=\"versions\">" + Versions(group["versions"]) + "</td><td class=\"users\">" + E(group["users"]) +
         "</td><td class=\"devices\">" + E(group["devices"]) + "</td><td>" + DayChart(group["days"]) + "</td></tr>";
}

constexpr char kGroupHeader[] =
    "<tr><th>group</th><th>kind</th><th>reports</th><th>first seen</th><th>last seen</th><th>versions</th>"
    "<th>users</th><th>devices</th><th>per day</th></tr>";

std::string KeyValueTable(const Json& object, const char* id) {
  std::string html = std::string("<table id=\"") + id + "\">";
  for (const auto& member : object.Members()) {
    html += "<tr><th>" + HtmlEscape(member.first) + "</th><td>" + E(member.second) + "</td></tr>";
  }
  return html + "</table>";
}

std::string Frames(const Json& frames) {
  std::string html = "<ol start=\"0\">";
  for (const Json& frame : frames.Items()) {
    html += "<li class=\"frame\">" + E(frame["text"]) + " <small>[" + E(frame["trust"]) + "]</small></li>";
  }
  return html + "</ol>";
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
  return EscapeUtf8(text, "\xEF\xBF\xBD", [](char c, std::string* out) {
    switch (c) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"': *out += "&quot;"; break;
      case '\'': *out += "&#39;"; break;
      case '\n':
      case '\t': *out += c; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          *out += "\xEF\xBF\xBD";
        } else {
          *out += c;
        }
    }
  });
}

std::string RenderGroupsPage(const Json& data) {
  std::string html = Head("Crash groups") + FilterForm(data["filters"], "/") + "<table id=\"groups\">" + kGroupHeader;
  for (const Json& group : data["groups"].Items()) html += GroupRow(group, true);
  html += "</table>";
  if (data["groups"].Items().empty()) html += "<p id=\"empty\">No groups match.</p>";
  const int page = static_cast<int>(data["page"].AsInt());
  html += "<p>";
  if (page > 1) html += "<a href=\"/" + FilterQuery(data["filters"], page - 1) + "\">previous</a> ";
  if (data["groups"].Items().size() >= static_cast<size_t>(kGroupsPerPage)) {
    html += "<a href=\"/" + FilterQuery(data["filters"], page + 1) + "\">next</a>";
  }
  html += "</p>";
  return html + "<p><a href=\"/api/groups" + FilterQuery(data["filters"], page) + "\">JSON</a></p></body></html>";
}

std::string RenderGroupPage(const Json& data) {
  const Json& group = data["group"];
  const std::string self = "/groups/" + group["id"].Text();
  std::string html = Head(group["title"].Text()) + "<table id=\"group\">" + kGroupHeader + GroupRow(group, false) +
                     "</table>" + FilterForm(data["filters"], self) + "<p id=\"total\">" + E(data["total"]) +
                     " reports</p><table id=\"reports\"><tr><th>report</th><th>type</th><th>name</th><th>message</th>"
                     "<th>time</th><th>version</th><th>app</th><th>user</th><th>device</th><th>analysis</th></tr>";
  for (const Json& report : data["reports"].Items()) {
    html += "<tr class=\"report\"><td><a href=\"/reports/" + E(report["id"]) + "\">" + E(report["id"]) + "</a></td><td>" +
            E(report["type"]) + "</td><td>" + E(report["name"]) + "</td><td>" + E(report["message"]) + "</td><td>" +
            Time(report["seen"]) + "</td><td>" + E(report["version"]) + "</td><td>" + E(report["app"]) + "</td><td>" +
            E(report["user"]) + "</td><td>" + E(report["device"]) + "</td><td>" + E(report["state"]) + "</td></tr>";
  }
  html += "</table>";
  const int page = static_cast<int>(data["page"].AsInt());
  const int64_t pages = (data["total"].AsInt() + data["page_size"].AsInt() - 1) / std::max<int64_t>(1, data["page_size"].AsInt());
  html += "<p>page " + std::to_string(page) + " of " + std::to_string(std::max<int64_t>(1, pages)) + " ";
  if (page > 1) html += "<a href=\"" + self + FilterQuery(data["filters"], page - 1) + "\">previous</a> ";
  if (page < pages) html += "<a href=\"" + self + FilterQuery(data["filters"], page + 1) + "\">next</a>";
  return html + "</p><p><a href=\"/api" + self + FilterQuery(data["filters"], page) + "\">JSON</a></p></body></html>";
}

std::string RenderReportPage(const Json& data) {
  const Json& report = data["report"];
  const Json& analysis = data["analysis"];
  const std::string id = report["id"].Text();
  std::string html = Head("Report " + id + ": " + report["expName"].Text());
  if (!analysis["group_id"].IsNull()) {
    html += "<p>Group: <a id=\"group-link\" href=\"/groups/" + E(analysis["group_id"]) + "\">" + E(analysis["signature"]) +
            "</a></p>";
  }
  html += "<p id=\"analysis-state\">analysis: " + E(analysis["state"]) + " (" + E(analysis["kind"]) + ")</p>";
  const std::string errors = analysis["error"].Text();
  if (!errors.empty()) {
    html += "<h2>Errors</h2><ul id=\"analysis-errors\">";
    size_t start = 0;
    while (start <= errors.size()) {
      size_t end = errors.find('\n', start);
      if (end == std::string::npos) end = errors.size();
      if (end > start) html += "<li class=\"err\">" + HtmlEscape(errors.substr(start, end - start)) + "</li>";
      start = end + 1;
    }
    html += "</ul>";
  }
  if (analysis["kind"].Text() == "crash") {
    html += "<h2>Exception</h2><p id=\"exception\">";
    if (analysis["exception_name"].IsNull()) {
      html += "no exception in the dump";
    } else {
      html += E(analysis["exception_name"]) + " (" + E(analysis["exception_code_hex"]) + ") at " +
              E(analysis["exception_address_hex"]) + ", thread " + E(analysis["crashing_thread"]);
    }
    html += "</p>";
    const auto& threads = data["threads"].Items();
    for (const Json& thread : threads) {
      if (!thread["faulting"].AsBool()) continue;
      html += "<h2>Crashing thread " + E(thread["thread_id"]) + "</h2><div id=\"crashing-stack\">" +
              Frames(thread["frames"]) + "</div>";
      if (!thread["error"].Text().empty()) html += "<p class=\"err\">" + E(thread["error"]) + "</p>";
    }
    html += "<h2>Threads</h2><p><button type=\"button\" id=\"expand-threads\">expand all</button></p>"
            "<div id=\"threads\">";
    for (const Json& thread : threads) {
      html += "<details class=\"thread\"><summary>thread " + E(thread["thread_id"]) +
              (thread["faulting"].AsBool() ? " (crashed)" : "") + "</summary>" + Frames(thread["frames"]);
      if (!thread["error"].Text().empty()) html += "<p class=\"err\">" + E(thread["error"]) + "</p>";
      html += "</details>";
    }
    html += "</div><h2>Modules</h2><table id=\"modules\"><tr><th>name</th><th>base</th><th>size</th><th>debug id</th>"
            "<th>debug file</th><th>symbols</th></tr>";
    for (const Json& module : data["modules"].Items()) {
      html += "<tr><td>" + E(module["name"]) + "</td><td>" + E(module["base"]) + "</td><td>" + E(module["size"]) +
              "</td><td>" + E(module["debug_id"]) + "</td><td>" + E(module["debug_file"]) + "</td><td>" +
              (module["has_symbols"].AsBool() ? "yes" : "no") + "</td></tr>";
    }
    html += "</table>";
  }
  html += "<h2>Report</h2>" + KeyValueTable(report, "report-fields");
  html += "<h2>userMap</h2>" + KeyValueTable(data["userMap"], "userMap");
  html += "<h2>valueMap</h2>" + KeyValueTable(data["valueMap"], "valueMap");
  if (!data["allStacks"].Members().empty()) html += "<h2>allStacks</h2>" + KeyValueTable(data["allStacks"], "allStacks");
  html += "<h2>Attachments</h2>";
  for (const Json& attachment : data["attachments"].Items()) {
    html += "<h3>" + E(attachment["fileName"]) + " <small>(type " + E(attachment["type"]) + ", " + E(attachment["size"]) +
            " bytes)</small></h3>";
    if (!attachment["error"].Text().empty() && attachment["fileName"].Text() != "minidump.zip") {
      html += "<p class=\"err\">" + E(attachment["error"]) + "</p>";
    }
    if (!attachment["text"].IsNull()) {
      html += "<pre class=\"attachment\" data-name=\"" + E(attachment["fileName"]) + "\">" + E(attachment["text"]) + "</pre>";
    }
  }
  html += "<h2>Request</h2>" + KeyValueTable(data["request"], "request-fields");
  return html + "<p><a href=\"/api/reports/" + HtmlEscape(id) + "\">JSON</a></p>" + kThreadScript + "</body></html>";
}

std::string RenderMessagePage(const std::string& title, const std::string& message) {
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) + "</title></head><body><h1>" +
         HtmlEscape(title) + "</h1><p>" + HtmlEscape(message) + "</p></body></html>";
}

}  // namespace collector
