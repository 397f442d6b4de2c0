#include "core/config_file.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/process_flags.h"
#include "platform/file_system.h"
#include "platform/path_text.h"
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

// Cuts text, possibly arriving in pieces, into lines and applies each whole line,
// so a file is read without holding more than one line of it.
class ConfigReader {
 public:
  explicit ConfigReader(CommonInfo& settings) : settings_(settings) {}

  void Feed(std::string_view text) {
    for (size_t newline; (newline = text.find('\n')) != std::string_view::npos;) {
      pending_.append(text.substr(0, newline));
      text.remove_prefix(newline + 1);
      EndLine(true);
    }
    pending_.append(text);
  }
  // The last line needs no line end.
  void Finish() {
    if (!pending_.empty()) EndLine(false);
  }

 private:
  void EndLine(bool ended) {
    std::string_view line(pending_);
    if (ended && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    ApplyLine(line.substr(0, line.find('\0')), settings_, state_);
    pending_.clear();
  }

  CommonInfo& settings_;
  ReadState state_;
  std::string pending_;  // the line read so far
};

}  // namespace

void ApplyConfigText(const std::string& text, CommonInfo& settings) {
  ConfigReader reader(settings);
  reader.Feed(text);
  reader.Finish();
}

bool ReadConfigFilesIn(const std::wstring& directory, CommonInfo& settings) {
  for (const char* name : kConfigFileNames) {
    std::wstring path = directory + platform::kPathSeparator + std::wstring(name, name + std::strlen(name));
    if (!platform::FileExists(path)) continue;  // a directory of that name is no file to read
    // Closed on every way out, an allocation failure while reading included.
    std::unique_ptr<FILE, int (*)(FILE*)> file(platform::OpenFile(path, "rb"), &std::fclose);
    if (file == nullptr) continue;
    ConfigReader reader(settings);
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) reader.Feed(std::string_view(chunk, got));
    reader.Finish();
    return true;
  }
  return false;
}

void ReadConfigFiles() {
  std::wstring directory = platform::DirectoryOf(platform::LibraryPath());
  if (directory.empty()) return;  // no module path: nowhere to look
  ReadConfigFilesIn(directory, CommonInfo::Instance());
}

}  // namespace Vextra
