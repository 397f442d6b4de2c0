#include "crash/ignored_modules.h"

#include <cstring>

#include "core/common_info.h"

namespace Vextra {
namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

void CopyCut(char (&out)[kModuleNameChars], const char* text, bool upper) {
  size_t i = 0;
  for (; text != nullptr && text[i] != '\0' && i < kMaxModuleNameUsed; ++i) out[i] = upper ? Upper(text[i]) : text[i];
  out[i] = '\0';
}

}  // namespace

IgnoredAppend IgnoredModuleTable::Append(const char* name, uintptr_t base, uint32_t size) {
  // Cheap refusal first, so a full table is not pushed ever further.
  if (reserved_.load(std::memory_order_relaxed) >= kIgnoredModuleCapacity) return IgnoredAppend::kOverload;
  const uint32_t slot = reserved_.fetch_add(1, std::memory_order_relaxed);
  if (slot >= kIgnoredModuleCapacity) return IgnoredAppend::kOverload;
  IgnoredModule& entry = entries_[slot];
  CopyCut(entry.name, name, false);
  entry.base = base;
  entry.size = size;
  entry.ready.store(true, std::memory_order_release);
  return IgnoredAppend::kAdded;
}

bool IgnoredModuleTable::Contains(uintptr_t address) const {
  const uint32_t used = Count();
  for (uint32_t i = 0; i < used; ++i) {
    const IgnoredModule& entry = entries_[i];
    if (!entry.ready.load(std::memory_order_acquire)) continue;
    if (entry.base < address && address - entry.base < entry.size) return true;
  }
  return false;
}

uint32_t IgnoredModuleTable::Count() const {
  const uint32_t reserved = reserved_.load(std::memory_order_acquire);
  return reserved < kIgnoredModuleCapacity ? reserved : static_cast<uint32_t>(kIgnoredModuleCapacity);
}

void IgnoredModuleTable::ResetForTesting() {
  for (IgnoredModule& entry : entries_) {
    entry.ready.store(false, std::memory_order_relaxed);
    entry.base = 0;
    entry.size = 0;
    entry.name[0] = '\0';
  }
  reserved_.store(0, std::memory_order_release);
}

void IgnoredNameList::Replace(const std::set<std::string>& names) {
  const int next = 1 - current_.load(std::memory_order_acquire);
  Copy& copy = copies_[next];
  copy.count = 0;
  for (const std::string& name : names) {
    if (copy.count == kIgnoredNameCapacity) break;
    CopyCut(copy.names[copy.count++], name.c_str(), true);
  }
  current_.store(next, std::memory_order_release);
}

bool IgnoredNameList::Matches(const char* module_name) const {
  if (module_name == nullptr) return false;
  const Copy& copy = copies_[current_.load(std::memory_order_acquire)];
  for (uint32_t i = 0; i < copy.count; ++i) {
    const char* want = copy.names[i];
    size_t k = 0;
    while (want[k] != '\0' && Upper(module_name[k]) == want[k]) ++k;
    if (want[k] == '\0' && module_name[k] == '\0') return true;
  }
  return false;
}

IgnoredNameList& IgnoredDllNames() {
  static IgnoredNameList* const list = new IgnoredNameList;
  return *list;
}

void SnapshotIgnoredDllNames() { IgnoredDllNames().Replace(CommonInfo::Instance().GetIgnoredDlls()); }

}  // namespace Vextra
