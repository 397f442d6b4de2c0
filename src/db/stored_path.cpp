#include "db/stored_path.h"

#include "platform/text_encoding.h"

namespace Vextra {
namespace {

// Position of the last separator of either kind, or npos.
size_t LastSeparator(const std::wstring& path) { return path.find_last_of(L"/\\"); }

}  // namespace

const PathCodec& SystemPathCodec() {
  static const PathCodec codec{platform::WideToUtf8, platform::Utf8ToWide, platform::WideToAnsi,
                               platform::AnsiToWide};
  return codec;
}

bool IsWellFormedUtf8(const std::string& bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  for (size_t i = 0; i < size;) {
    const unsigned lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong below U+10000
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (size - i < length || p[i + 1] < low || p[i + 1] > high) return false;
    for (size_t k = 2; k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

std::string StoredPathText(const std::wstring& path, const PathCodec& codec) { return codec.wideToUtf8(path); }

std::vector<std::string> StoredPathForms(const std::wstring& path, const PathCodec& codec) {
  std::vector<std::string> forms{codec.wideToUtf8(path)};
  std::string ansi = codec.wideToAnsi(path);
  if (ansi != forms.front()) forms.push_back(std::move(ansi));
  return forms;
}

std::wstring ReadStoredPath(const std::string& stored, const std::wstring& data_dir, const PathCodec& codec) {
  std::vector<std::wstring> readings;
  if (IsWellFormedUtf8(stored)) readings.push_back(codec.utf8ToWide(stored));
  std::wstring ansi = codec.ansiToWide(stored);
  if (readings.empty() || ansi != readings.front()) readings.push_back(std::move(ansi));
  if (data_dir.empty()) return readings.front();

  for (const std::wstring& reading : readings) {
    const size_t separator = LastSeparator(reading);
    if (separator != std::wstring::npos && reading.compare(0, separator, data_dir) == 0) return reading;
  }
  const std::string data_dir_as_ansi = codec.wideToAnsi(data_dir);
  for (const std::wstring& reading : readings) {
    const size_t separator = LastSeparator(reading);
    if (separator == std::wstring::npos) continue;
    if (codec.wideToAnsi(reading.substr(0, separator)) == data_dir_as_ansi) {
      return data_dir + reading.substr(separator);
    }
  }
  return readings.front();
}

}  // namespace Vextra
