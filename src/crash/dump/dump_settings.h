#pragma once
// What the dump writer reads of the settings, kept where a faulting thread can
// read it without a lock: the custom-workspace flag and path, the dump type
// and the library directory. The settings' setters publish here; the crash
// path copies from here.

#include <cstdint>
#include <string>

#include "crash/dump/dump_rules.h"

namespace Vextra {

// Publishes the workspace as the settings now hold it (custom flag and path,
// cut to 259 characters) and the dump type. Any thread; writers are serialised.
void PublishDumpWorkspace(bool custom, const std::wstring& workspace);
void PublishDumpType(int32_t dump_type);
// Reads the settings store (its getters) and publishes all of it. Not for the
// crash path: it takes the store's lock.
void RefreshDumpSettings();

// Copies the published workspace; returns the custom flag. The copy is one
// whole published text (a writer that stops half-way does not spoil it)
// unless writers overtake it 1000 times in a row; then the last copy is used.
// crash path: takes no lock, allocates nothing.
bool ReadDumpWorkspace(wchar_t (&workspace)[kDumpPathChars]);
// crash path: one atomic load.
int32_t ReadDumpType();

// Whether the library's own dump writer goes before the system's (a setting
// of the configuration file). Off until published.
void PublishOwnDumpWriterFirst(bool first);
// crash path: one atomic load.
bool ReadOwnDumpWriterFirst();

// Remembers the library directory (found once where looking it up is safe,
// e.g. while the library is being attached).
void PublishLibraryDirectory(const wchar_t* directory);
// The remembered library directory; false when none was published.
// crash path: takes no lock, allocates nothing.
bool ReadLibraryDirectory(wchar_t (&directory)[kDumpPathChars]);

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: forgets every published value.
void ResetDumpSettingsForTesting();
}  // namespace Vextra::testing_hooks
