#include "crash/dump/dump_settings.h"

#include <atomic>
#include <mutex>

#include "core/common_info.h"

namespace Vextra {
namespace {

// A sequence-numbered text: the writer makes the number odd while it copies,
// a reader retries a few times until it copied between two equal even numbers.
class PublishedPath {
 public:
  void Store(const wchar_t* text, size_t length) {
    std::lock_guard<std::mutex> writer(writer_);
    sequence_.fetch_add(1, std::memory_order_acq_rel);
    if (length > kDumpPathChars - 1) length = kDumpPathChars - 1;
    for (size_t i = 0; i < length; ++i) chars_[i].store(text[i], std::memory_order_relaxed);
    chars_[length].store(L'\0', std::memory_order_relaxed);
    sequence_.fetch_add(1, std::memory_order_release);
  }
  bool Load(wchar_t (&out)[kDumpPathChars]) const {
    for (int attempt = 0; attempt < 16; ++attempt) {
      const uint32_t before = sequence_.load(std::memory_order_acquire);
      CopyOut(out);
      std::atomic_thread_fence(std::memory_order_acquire);
      if ((before & 1u) == 0 && sequence_.load(std::memory_order_relaxed) == before) return true;
    }
    return false;
  }

 private:
  void CopyOut(wchar_t (&out)[kDumpPathChars]) const {
    for (size_t i = 0; i < kDumpPathChars; ++i) {
      out[i] = chars_[i].load(std::memory_order_relaxed);
      if (out[i] == L'\0') return;
    }
    out[kDumpPathChars - 1] = L'\0';
  }
  std::mutex writer_;
  std::atomic<uint32_t> sequence_{0};
  std::atomic<wchar_t> chars_[kDumpPathChars];  // zero as a static object
};

PublishedPath g_workspace;
std::atomic<bool> g_custom{false};
std::atomic<int32_t> g_dump_type{0};
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
}

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
  g_library_known.store(false, std::memory_order_release);
}
}  // namespace Vextra::testing_hooks
