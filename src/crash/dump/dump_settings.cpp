#include "crash/dump/dump_settings.h"

#include <atomic>
#include <mutex>

#include "core/common_info.h"

namespace Vextra {
namespace {

// A text in two slots: a writer fills the slot readers are not directed to,
// then directs them to it, so a writer that stops half-way never spoils what
// readers see. Each slot carries a sequence number, odd while it is written,
// so a reader overtaken by two writes in a row notices and copies again.
class PublishedPath {
 public:
  void Store(const wchar_t* text, size_t length) {
    std::lock_guard<std::mutex> writer(writer_);
    const int next = 1 - active_.load(std::memory_order_relaxed);
    Slot& slot = slots_[next];
    slot.sequence.fetch_add(1, std::memory_order_acq_rel);
    if (length > kDumpPathChars - 1) length = kDumpPathChars - 1;
    for (size_t i = 0; i < length; ++i) slot.chars[i].store(text[i], std::memory_order_relaxed);
    slot.chars[length].store(L'\0', std::memory_order_relaxed);
    slot.sequence.fetch_add(1, std::memory_order_release);
    active_.store(next, std::memory_order_release);
  }
  // Bounded: gives up after kAttempts overtaken copies, keeping the last one.
  bool Load(wchar_t (&out)[kDumpPathChars]) const {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      const Slot& slot = slots_[active_.load(std::memory_order_acquire)];
      const uint32_t before = slot.sequence.load(std::memory_order_acquire);
      if ((before & 1u) != 0) continue;
      CopyOut(slot, out);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (slot.sequence.load(std::memory_order_relaxed) == before) return true;
    }
    return false;
  }

 private:
  static constexpr int kAttempts = 1000;
  struct Slot {
    std::atomic<uint32_t> sequence{0};
    std::atomic<wchar_t> chars[kDumpPathChars];  // zero as a static object
  };
  static void CopyOut(const Slot& slot, wchar_t (&out)[kDumpPathChars]) {
    for (size_t i = 0; i < kDumpPathChars; ++i) {
      out[i] = slot.chars[i].load(std::memory_order_relaxed);
      if (out[i] == L'\0') return;
    }
    out[kDumpPathChars - 1] = L'\0';
  }
  std::mutex writer_;
  std::atomic<int> active_{0};
  Slot slots_[2];
};

PublishedPath g_workspace;
std::atomic<bool> g_custom{false};
std::atomic<int32_t> g_dump_type{0};
std::atomic<bool> g_own_writer_first{false};
PublishedPath g_library_dir;
std::atomic<bool> g_library_known{false};

}  // namespace

void PublishDumpWorkspace(bool custom, const std::wstring& workspace) {
  g_workspace.Store(workspace.c_str(), workspace.size());
  g_custom.store(custom, std::memory_order_release);
}

void PublishDumpType(int32_t dump_type) { g_dump_type.store(dump_type, std::memory_order_release); }

void RefreshDumpSettings() {
  CommonInfo& info = CommonInfo::Instance();
  PublishDumpWorkspace(info.GetCustomWorkspace(), info.GetWorkspace());
  PublishDumpType(info.GetDumpType());
  PublishOwnDumpWriterFirst(info.GetOwnDumpWriterFirst());
}

void PublishOwnDumpWriterFirst(bool first) { g_own_writer_first.store(first, std::memory_order_release); }

bool ReadOwnDumpWriterFirst() { return g_own_writer_first.load(std::memory_order_acquire); }

bool ReadDumpWorkspace(wchar_t (&workspace)[kDumpPathChars]) {
  const bool custom = g_custom.load(std::memory_order_acquire);
  g_workspace.Load(workspace);
  return custom;
}

int32_t ReadDumpType() { return g_dump_type.load(std::memory_order_acquire); }

void PublishLibraryDirectory(const wchar_t* directory) {
  size_t length = 0;
  while (directory != nullptr && directory[length] != L'\0') ++length;
  g_library_dir.Store(directory != nullptr ? directory : L"", length);
  g_library_known.store(directory != nullptr, std::memory_order_release);
}

bool ReadLibraryDirectory(wchar_t (&directory)[kDumpPathChars]) {
  directory[0] = L'\0';
  if (!g_library_known.load(std::memory_order_acquire)) return false;
  g_library_dir.Load(directory);
  return true;
}

}  // namespace Vextra

namespace Vextra::testing_hooks {
void ResetDumpSettingsForTesting() {
  PublishDumpWorkspace(false, std::wstring());
  PublishDumpType(0);
  PublishOwnDumpWriterFirst(false);
  g_library_known.store(false, std::memory_order_release);
}
}  // namespace Vextra::testing_hooks
