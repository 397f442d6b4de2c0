#include "core/config_file.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/process_flags.h"
#include "platform/file_system.h"
#include "platform/process_info.h"

namespace Vextra {
namespace {

enum class ConfigTag { kAppId, kDomainUrl, kIgnoreDlls, kIgnoreDllCnt, kGameName, kLogOutput, kLogPath };

struct TagText {
  ConfigTag tag;
  std::string_view open;
  std::string_view close;
};

// Looked for in this order; the first opening tag found decides the line.
constexpr TagText kTags[] = {
    {ConfigTag::kAppId, "<AppId>", "</AppId>"},
    {ConfigTag::kDomainUrl, "<DomainUrl>", "</DomainUrl>"},
    {ConfigTag::kIgnoreDlls, "<IgnoreDlls>", "</IgnoreDlls>"},
    {ConfigTag::kIgnoreDllCnt, "<IgnoreDllCnt>", "</IgnoreDllCnt>"},
    {ConfigTag::kGameName, "<GameName>", "</GameName>"},
    {ConfigTag::kLogOutput, "<LogOutput>", "</LogOutput>"},
    {ConfigTag::kLogPath, "<LogPath>", "</LogPath>"},
};

std::string TrimBlanks(std::string_view value) {
  size_t begin = value.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return std::string();
  size_t end = value.find_last_not_of(" \t");
  return std::string(value.substr(begin, end - begin + 1));
}

// Per-file state that spans lines.
struct ReadState {
  int ignore_dll_lines = 0;
};

void ApplyValue(ConfigTag tag, std::string_view raw, CommonInfo& settings, ReadState& state) {
  if (tag == ConfigTag::kIgnoreDlls) {
    // Every line carrying the tag uses up one of the places, whatever its value.
    if (state.ignore_dll_lines >= kMaxIgnoreDllLines) return;
    ++state.ignore_dll_lines;
  }
  if (tag == ConfigTag::kLogOutput) {
    // Compared untrimmed with the app id current at this line.
    if (!raw.empty() && raw == settings.GetAppId()) SetDebugMode(true);
    return;
  }
  std::string value = TrimBlanks(raw);
  if (value.empty()) return;
  switch (tag) {
    case ConfigTag::kAppId: settings.SetAppId(value); break;
    case ConfigTag::kDomainUrl: settings.SetServerUrl(value); break;
    case ConfigTag::kIgnoreDlls: settings.AddIgnoredDll(value); break;
    case ConfigTag::kGameName: settings.SetGameName(value); break;
    case ConfigTag::kLogPath: settings.SetConfigLogPath(value); break;
    case ConfigTag::kIgnoreDllCnt:  // read and discarded
    case ConfigTag::kLogOutput: break;
  }
}

void ApplyLine(std::string_view line, CommonInfo& settings, ReadState& state) {
  if (line.find("<!--") != std::string_view::npos || line.find("-->") != std::string_view::npos) return;
  for (const TagText& tag : kTags) {
    size_t open = line.find(tag.open);
    if (open == std::string_view::npos) continue;
    size_t begin = open + tag.open.size();
    // A missing closing tag, or one before the opening tag, lets the value run to the line end.
    size_t close = line.find(tag.close);
    size_t end = (close == std::string_view::npos || close < begin) ? line.size() : close;
    ApplyValue(tag.tag, line.substr(begin, end - begin), settings, state);
    return;
  }
}

}  // namespace

void ApplyConfigText(const std::string& text, CommonInfo& settings) {
  std::string_view rest(text);
  ReadState state;
  while (!rest.empty()) {
    size_t newline = rest.find('\n');
    bool ended = newline != std::string_view::npos;
    std::string_view line = rest.substr(0, ended ? newline : rest.size());
    rest.remove_prefix(ended ? newline + 1 : rest.size());
    if (ended && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = line.substr(0, line.find('\0'));
    ApplyLine(line, settings, state);
  }
}

bool ReadConfigFilesIn(const std::wstring& directory, CommonInfo& settings) {
  for (const char* name : kConfigFileNames) {
    std::wstring path = directory + platform::kPathSeparator + std::wstring(name, name + std::strlen(name));
    if (!platform::FileExists(path)) continue;  // a directory of that name is no file to read
    FILE* file = platform::OpenFile(path, "rb");
    if (file == nullptr) continue;
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    std::fclose(file);
    ApplyConfigText(text, settings);
    return true;
  }
  return false;
}

void ReadConfigFiles() {
  std::wstring module = platform::LibraryPath();
  size_t cut = module.find_last_of(platform::kPathSeparator);
  if (cut == std::wstring::npos) return;  // no module path: nowhere to look
  ReadConfigFilesIn(module.substr(0, cut), CommonInfo::Instance());
}

}  // namespace Vextra
