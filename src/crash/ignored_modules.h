#pragma once
// Modules in which faults are not reported: the table of loaded modules that
// matched the configured ignore list, and a fixed copy of that list, both
// readable on a faulting thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace Vextra {

constexpr size_t kIgnoredModuleCapacity = 32;
constexpr size_t kModuleNameChars = 260;  // at most 255 are filled
constexpr size_t kMaxModuleNameUsed = 255;

struct IgnoredModule {
  uintptr_t base = 0;
  uint32_t size = 0;
  char name[kModuleNameChars] = {};
  std::atomic<bool> ready{false};  // set once the fields above are written
};

enum class IgnoredAppend { kAdded, kOverload };

// 32 entries, appended and never cleared. Appends from two faulting threads
// at once each take their own slot without waiting.
class IgnoredModuleTable {
 public:
  // Copies the name (at most 255 characters), base and size into the next
  // entry; kOverload, storing nothing, when all 32 are used.
  // crash path: one atomic increment, never waits, allocates nothing.
  IgnoredAppend Append(const char* name, uintptr_t base, uint32_t size);
  // True when base < address < base + size for some written entry (both
  // bounds strict, unsigned).
  // crash path: reads without a lock, allocates nothing.
  bool Contains(uintptr_t address) const;
  // Entries in use (at most 32).
  uint32_t Count() const;
  const IgnoredModule& Entry(size_t index) const { return entries_[index]; }
  // Tests only: empties the table.
  void ResetForTesting();

 private:
  std::atomic<uint32_t> reserved_{0};  // may exceed the capacity
  IgnoredModule entries_[kIgnoredModuleCapacity];
};

constexpr size_t kIgnoredNameCapacity = 64;

// A fixed copy of the settings' ignore list, taken off the crash path
// whenever the list may have changed, so that a faulting thread can match
// module names without the settings' lock and without allocating.
class IgnoredNameList {
 public:
  // Replaces the copy with upper-cased names (at most 64, each cut to 255
  // characters). Host threads only; readers see the old or the new copy whole.
  void Replace(const std::set<std::string>& names);
  // Exact, case-insensitive match of a whole module base name.
  // crash path: reads without a lock, allocates nothing.
  bool Matches(const char* module_name) const;

 private:
  struct Copy {
    uint32_t count = 0;
    char names[kIgnoredNameCapacity][kModuleNameChars] = {};
  };
  Copy copies_[2];
  std::atomic<int> current_{0};
};

// The process's copy of the ignore list.
IgnoredNameList& IgnoredDllNames();
// Copies the settings' ignore list into IgnoredDllNames(); host threads only.
void SnapshotIgnoredDllNames();

}  // namespace Vextra
