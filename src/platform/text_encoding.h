#pragma once
// Conversions between the host's narrow texts and the library's wide paths.

#include <string>

namespace Vextra::platform {

// Narrow to wide as the exports convert their arguments: the C runtime's
// multibyte conversion of the current locale on Windows, UTF-8 elsewhere.
// Elsewhere a byte that is not part of valid UTF-8 becomes the code point
// U+DC00 + byte (U+DC80..U+DCFF), which the wide-to-narrow conversions below
// turn back into that byte: a narrow path reaches the file system byte for
// byte whatever it holds. Output is cut to max_chars characters. A null input
// yields the empty text.
std::wstring NarrowToWide(const char* text, size_t max_chars = 259);
// Wide to the system's ANSI code page (Windows) or UTF-8 (elsewhere, with
// U+DC80..U+DCFF back to their bytes); the form in which earlier runs stored
// paths in the record database.
std::string WideToAnsi(const std::wstring& text);
std::string WideToUtf8(const std::wstring& text);
// UTF-8 to wide, the whole text. Windows: a sequence that is not UTF-8
// becomes U+FFFD. Elsewhere: as NarrowToWide, so WideToUtf8 gives the bytes back.
std::wstring Utf8ToWide(const std::string& text);
// The inverse of WideToAnsi, for paths earlier runs stored in the record database; the
// whole text is converted, never cut (up to an embedded NUL elsewhere).
std::wstring AnsiToWide(const std::string& text);

}  // namespace Vextra::platform
