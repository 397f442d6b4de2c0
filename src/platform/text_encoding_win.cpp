#include "platform/text_encoding.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

namespace Vextra::platform {

std::wstring NarrowToWide(const char* text, size_t max_chars) {
  if (text == nullptr) return {};
  std::vector<wchar_t> buffer(max_chars + 1, L'\0');
  size_t converted = 0;
  // _TRUNCATE keeps what fits, as a fixed buffer of max_chars + 1 would.
  mbstowcs_s(&converted, buffer.data(), buffer.size(), text, _TRUNCATE);
  return std::wstring(buffer.data());
}

static std::string WideToCodePage(const std::wstring& text, UINT code_page) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(code_page, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(code_page, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
  }
  return out;
}

std::string WideToAnsi(const std::wstring& text) { return WideToCodePage(text, CP_ACP); }
std::string WideToUtf8(const std::wstring& text) { return WideToCodePage(text, CP_UTF8); }

static std::wstring CodePageToWide(const std::string& text, UINT code_page) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return {};
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::wstring AnsiToWide(const std::string& text) { return CodePageToWide(text, CP_ACP); }
std::wstring Utf8ToWide(const std::string& text) { return CodePageToWide(text, CP_UTF8); }

}  // namespace Vextra::platform
