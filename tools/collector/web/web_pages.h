#pragma once
// Server-rendered HTML of the web view, from the same JSON values the API
// sends. Every text taken from a report is HTML-escaped.

#include <string>

#include "collector/web/json_value.h"

namespace collector {

// Escapes & < > " ' and turns bytes that are not valid UTF-8 and control
// characters other than tab and newline into U+FFFD.
std::string HtmlEscape(const std::string& text);

std::string RenderGroupsPage(const Json& data);
std::string RenderGroupPage(const Json& data);
std::string RenderReportPage(const Json& data);
// A short page for 401 and 404 answers.
std::string RenderMessagePage(const std::string& title, const std::string& message);

}  // namespace collector
