#pragma once
// How a data file's path is kept in the record database and read back.
//
// New records hold the path as UTF-8, SQLite's own text, so every path
// survives whatever characters it holds. Databases of earlier runs hold paths
// in the system's ANSI code page, which loses what that code page cannot
// show (a directory named in Cyrillic becomes question marks under code page
// 1252). Both kinds stay readable and updatable: reading decides per row,
// updating matches either form.

#include <string>
#include <vector>

namespace Vextra {

// The text conversions the decision uses; the system's by default, others in tests.
struct PathCodec {
  std::string (*wideToUtf8)(const std::wstring&);
  std::wstring (*utf8ToWide)(const std::string&);
  std::string (*wideToAnsi)(const std::wstring&);
  std::wstring (*ansiToWide)(const std::string&);
};
const PathCodec& SystemPathCodec();

// True when bytes are well-formed UTF-8: no stray continuation byte, no
// truncated sequence, no overlong form, no surrogate, nothing above U+10FFFF.
bool IsWellFormedUtf8(const std::string& bytes);

// The text a new record stores for path.
std::string StoredPathText(const std::wstring& path, const PathCodec& codec = SystemPathCodec());

// Every stored text that names path: its UTF-8 form, then its ANSI form when
// that differs (what an earlier run stored for the same file).
std::vector<std::string> StoredPathForms(const std::wstring& path, const PathCodec& codec = SystemPathCodec());

// The path a stored text names. Well-formed UTF-8 is read as UTF-8, anything
// else through the ANSI code page; when the text reads both ways, the reading
// whose directory is data_dir wins. A path whose directory is not data_dir
// but reads the same as data_dir through the ANSI code page is an earlier
// run's record of a file in data_dir, stored with characters lost: it is read
// as data_dir and its file name. data_dir is the directory of the database,
// where every data file it records lives; empty, nothing is re-rooted.
std::wstring ReadStoredPath(const std::string& stored, const std::wstring& data_dir,
                            const PathCodec& codec = SystemPathCodec());

}  // namespace Vextra
