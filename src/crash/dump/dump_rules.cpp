#include "crash/dump/dump_rules.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Vextra {

const char kNotUploadText[] = "--------------------------not upload--------------------------";
const unsigned char kDumpMarker[kDumpMarkerBytes] = {0x23, 0xA0, 0xBE, 0x93, 0x46, 0xFF, 0x62, 0x44,
                                                     0xB5, 0xCA, 0x54, 0x10, 0x85, 0xFA, 0xF9, 0x3B};

void WidePathBuilder::Fail() {
  ok_ = false;
  length_ = 0;
  buffer_[0] = L'\0';
}

WidePathBuilder& WidePathBuilder::Text(const wchar_t* text) {
  if (!ok_) return *this;
  if (text == nullptr) {
    Fail();
    return *this;
  }
  for (; *text != L'\0'; ++text) {
    if (length_ + 1 >= kDumpPathChars) {
      Fail();
      return *this;
    }
    buffer_[length_++] = *text;
  }
  buffer_[length_] = L'\0';
  return *this;
}

WidePathBuilder& WidePathBuilder::Text(const char* ascii) {
  wchar_t wide[64];
  size_t i = 0;
  for (; ascii != nullptr && ascii[i] != '\0' && i + 1 < sizeof wide / sizeof wide[0]; ++i) {
    wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(ascii[i]));
  }
  wide[i] = L'\0';
  return Text(wide);
}

WidePathBuilder& WidePathBuilder::Decimal(int32_t value) {
  wchar_t digits[16];
  size_t count = 0;
  // Through the unsigned magnitude, so INT32_MIN prints too.
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  wchar_t text[16];
  size_t length = 0;
  if (value < 0) text[length++] = L'-';
  while (count > 0) text[length++] = digits[--count];
  text[length] = L'\0';
  return Text(text);
}

bool FormatDefaultDumpDir(const wchar_t* library_dir, wchar_t sep, wchar_t (&out)[kDumpPathChars]) {
  const wchar_t piece[] = {sep, L'p', L'x', L'r', L'6', L'4', sep, L'\0'};
  const wchar_t tail[] = {sep, L'd', L'u', L'm', L'p', L'\0'};
  const wchar_t joint[] = {sep, L'\0'};
  return WidePathBuilder(out).Text(library_dir).Text(joint).Text(piece).Text(tail).Ok();
}

bool FormatCrashDumpDirs(const wchar_t* library_dir, wchar_t sep, wchar_t (&pxr64_dir)[kDumpPathChars],
                         wchar_t (&dump_dir)[kDumpPathChars]) {
  const wchar_t pxr64[] = {sep, L'p', L'x', L'r', L'6', L'4', sep, L'\0'};
  const wchar_t dump[] = {sep, L'd', L'u', L'm', L'p', sep, L'\0'};
  const bool ok = WidePathBuilder(pxr64_dir).Text(library_dir).Text(pxr64).Ok() &&
                  WidePathBuilder(dump_dir).Text(pxr64_dir).Text(dump).Ok();
  if (!ok) {
    pxr64_dir[0] = L'\0';
    dump_dir[0] = L'\0';
  }
  return ok;
}

bool FormatDumpFilePath(const wchar_t* dump_dir, wchar_t sep, int32_t seconds, bool small,
                        wchar_t (&out)[kDumpPathChars]) {
  const wchar_t joint[] = {sep, L'\0'};
  return WidePathBuilder(out)
      .Text(dump_dir)
      .Text(joint)
      .Text("HcDump.HcS.")
      .Decimal(seconds)
      .Text(small ? "-small.dmp" : ".dmp")
      .Ok();
}

bool WriteDumpWithCompanion(const wchar_t* dump_dir, wchar_t sep, int32_t dump_type, const DumpFileWriter& writer,
                            wchar_t (&dump_path)[kDumpPathChars]) {
  if (!FormatDumpFilePath(dump_dir, sep, writer.name_seconds(), false, dump_path)) return false;
  const uint64_t full_bytes = writer.write(dump_path, dump_type, writer.context);
  if (!NeedsSmallDump(full_bytes)) return true;
  dump_path[0] = L'\0';
  if (!FormatDumpFilePath(dump_dir, sep, writer.name_seconds(), true, dump_path)) return true;
  writer.write(dump_path, 0, writer.context);
  return true;
}

bool DirectoryPart(const wchar_t* path, wchar_t sep, wchar_t (&out)[kDumpPathChars]) {
  out[0] = L'\0';
  if (path == nullptr) return false;
  size_t cut = 0;
  bool found = false;
  for (size_t i = 0; path[i] != L'\0'; ++i) {
    if (path[i] == sep || path[i] == L'\\') {
      cut = i;
      found = true;
    }
  }
  if (!found || cut > kDumpPathChars - 1) return false;
  for (size_t i = 0; i < cut; ++i) out[i] = path[i];
  out[cut] = L'\0';
  return true;
}

std::vector<std::string> SplitRecordFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (start < line.size()) {
    const size_t tab = line.find('\t', start);
    if (tab == std::string::npos) {
      fields.push_back(line.substr(start));
      break;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  return fields;
}

void ParseRecordText(const std::string& text, DumpRecordMap& records, int* skipped) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kRecordLineChars) return;  // too long to read: the rest is lost
    start = next;
    const std::vector<std::string> fields = SplitRecordFields(line);
    if (fields.size() != 3) {
      if (skipped != nullptr) ++*skipped;
      continue;
    }
    DumpRecord record;
    record.time = static_cast<int32_t>(std::strtol(fields[1].c_str(), nullptr, 10));
    record.guid = fields[2];
    records.emplace(fields[0], std::move(record));  // the first of a digest stays
  }
}

std::string FormatRecordText(const DumpRecordMap& records, int64_t now) {
  std::string text;
  for (const auto& [digest, record] : records) {
    if (now - record.time >= kRecordKeepSeconds) continue;
    text += digest;
    text += '\t';
    text += std::to_string(record.time);
    text += '\t';
    text += record.guid;
    text += "\r\n";
  }
  return text;
}

RecentDumpSelector::RecentDumpSelector(std::string directory, char sep, int64_t now)
    : directory_(std::move(directory)), sep_(sep), now_(now) {}

bool RecentDumpSelector::Offer(const DumpListingEntry& entry) {
  if (entry.isDirectory) return true;  // directories are not counted
  if (now_ - entry.writeTime < kRecentDumpSeconds) {
    std::string path = directory_ + sep_ + entry.name;
    // A path the 259-character buffers cannot hold is left out.
    if (path.size() <= kDumpPathChars - 1) taken_.emplace_back(entry.writeTime, std::move(path));
  }
  if (countdown_ < 0) return false;
  --countdown_;
  return true;
}

std::vector<std::string> RecentDumpSelector::Result() const {
  std::vector<std::pair<int64_t, std::string>> sorted = taken_;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::string> paths;
  for (size_t i = 0; i < sorted.size() && i < kDumpsPerScan; ++i) paths.push_back(sorted[i].second);
  return paths;
}

bool ContainsDumpMarker(const char* bytes, size_t length) {
  if (bytes == nullptr || length < kDumpMarkerBytes) return false;
  for (size_t offset = 0; offset + kDumpMarkerBytes <= length; ++offset) {
    if (std::memcmp(bytes + offset, kDumpMarker, kDumpMarkerBytes) == 0) return true;
  }
  return false;
}

void FormatDigestHex(const unsigned char (&digest)[16], char (&out)[33]) {
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < 16; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  out[32] = '\0';
}

}  // namespace Vextra
