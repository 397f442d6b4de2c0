#pragma once
// What the host can learn about the library file that the loader chose.

#include <string>

// Full path of the loaded file holding the given exported function; empty when
// it cannot be told.
std::string LoadedLibraryPath(const void* exported_function);

// The version the file itself carries: on Windows the version resource's
// fixed file version and its "ProductVersion" text (both must agree), on Linux
// the version part of the real file name libVextra64.so.<version>. Empty when
// absent or when the two Windows records disagree.
std::string LibraryFileVersion(const std::string& path);
