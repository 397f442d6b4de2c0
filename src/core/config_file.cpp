#include "core/config_file.h"

#include <algorithm>
#include <cctype>
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

enum class ConfigTag { kAppId, kDomainUrl, kIgnoreDlls, kIgnoreDllCnt, kGameName, kLogOutput, kLogPath,
                       kOwnDumpWriter };

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
    {ConfigTag::kOwnDumpWriter, "<OwnDumpWriter>", "</OwnDumpWriter>"},
};

std::string TrimBlanks(std::string_view value) {
  size_t begin = value.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return std::string();
  size_t end = value.find_last_not_of(" \t");
  return std::string(value.substr(begin, end - begin + 1));
}

bool IsOnValue(const std::string& value) {
  if (value == "1") return true;
  if (value.size() != 4) return false;
  constexpr char kTrue[] = "true";
  for (size_t i = 0; i < 4; ++i) {
    if (std::tolower(static_cast<unsigned char>(value[i])) != kTrue[i]) return false;
  }
  return true;
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
    // "1" or "true" (any case) puts the own writer first; any other value takes it back.
    case ConfigTag::kOwnDumpWriter: settings.SetOwnDumpWriterFirst(IsOnValue(value)); break;
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

bool HasCommentMarker(std::string_view text) {
  return text.find("<!--") != std::string_view::npos || text.find("-->") != std::string_view::npos;
}

// Cuts text, possibly arriving in pieces, into lines and applies each whole
// line. Of a line it keeps at most kMaxConfigLineBytes; the bytes past them are
// only looked through for a comment marker, so memory stays bounded whatever
// the file holds.
class ConfigReader {
 public:
  explicit ConfigReader(CommonInfo& settings) : settings_(settings) { pending_.reserve(kMaxConfigLineBytes); }

  void Feed(std::string_view text) {
    for (size_t newline; (newline = text.find('\n')) != std::string_view::npos;) {
      Take(text.substr(0, newline));
      text.remove_prefix(newline + 1);
      EndLine(true);
    }
    Take(text);
  }
  // The last line needs no line end.
  void Finish() {
    if (!pending_.empty()) EndLine(false);
  }

 private:
  void Take(std::string_view bytes) {
    const size_t room = kMaxConfigLineBytes - pending_.size();
    if (bytes.size() <= room) {
      pending_.append(bytes);
      return;
    }
    pending_.append(bytes.substr(0, room));
    bytes.remove_prefix(room);
    if (!cut_) {
      cut_ = true;
      // A NUL in the kept part already ends what the line says.
      settled_ = pending_.find('\0') != std::string::npos;
      tail_.assign(std::string_view(pending_).substr(pending_.size() - kMarkerTail));
    }
    LookPastCut(bytes);
  }

  // Looks for "<!--" or "-->" in bytes past the cut, including one that
  // straddles the previous piece, up to the first NUL. Allocates nothing.
  void LookPastCut(std::string_view bytes) {
    if (settled_) return;
    const size_t nul = bytes.find('\0');
    if (nul != std::string_view::npos) {
      bytes = bytes.substr(0, nul);
      settled_ = true;
    }
    char joint[2 * kMarkerTail];
    const size_t head = std::min(bytes.size(), kMarkerTail);
    tail_.copy(joint, tail_.size());
    bytes.copy(joint + tail_.size(), head);
    if (HasCommentMarker(std::string_view(joint, tail_.size() + head)) || HasCommentMarker(bytes)) {
      comment_past_cut_ = true;
      settled_ = true;
      return;
    }
    std::string_view last = std::string_view(joint, tail_.size() + head);
    if (bytes.size() > kMarkerTail) last = bytes;
    tail_.assign(last.substr(last.size() - std::min(last.size(), kMarkerTail)));
  }

  void EndLine(bool ended) {
    std::string_view line(pending_);
    // The line end of a cut line lies past the cut.
    if (ended && !cut_ && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!comment_past_cut_) ApplyLine(line.substr(0, line.find('\0')), settings_, state_);
    pending_.clear();
    tail_.clear();
    cut_ = settled_ = comment_past_cut_ = false;
  }

  // One byte less than the longest marker: enough to find one across pieces.
  static constexpr size_t kMarkerTail = 3;

  CommonInfo& settings_;
  ReadState state_;
  std::string pending_;  // the line read so far, at most kMaxConfigLineBytes
  bool cut_ = false;     // bytes of this line were dropped
  bool settled_ = false;  // nothing more past the cut can change the line
  bool comment_past_cut_ = false;
  std::string tail_;  // the last bytes before the unread part, for markers across pieces
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
