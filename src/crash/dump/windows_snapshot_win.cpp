#include "crash/dump/windows_snapshot_win.h"

#include <winternl.h>

#include <cstring>

namespace Vextra {
namespace {

constexpr ULONG kSystemProcessInformation = 5;
constexpr ULONG kThreadBasicInformation = 0;
// The 64-bit layout of the system's process list: each process entry holds
// its id at 0x50 and its thread entries from 0x100, each 0x50 bytes with the
// owning process's id at 0x28 and the thread's id at 0x30.
constexpr size_t kProcessIdAt = 0x50;
constexpr size_t kProcessThreadsAt = 0x100;
constexpr size_t kThreadEntryBytes = 0x50;
constexpr size_t kThreadProcessIdAt = 0x28;
constexpr size_t kThreadIdAt = 0x30;
// The loader's records, 64-bit: the PEB's loader data at 0x18, its load-order
// list at 0x10; in a module's record the image base at 0x30, its size at 0x40
// and its full path (UNICODE_STRING) at 0x48.
constexpr uint64_t kPebLoaderData = 0x18;
constexpr uint64_t kLoaderLoadOrderList = 0x10;
constexpr uint64_t kModuleBase = 0x30;
constexpr uint64_t kModuleSize = 0x40;
constexpr uint64_t kModulePath = 0x48;
// The TEB's thread information block: stack base (top) at 8, stack limit at 16.
constexpr uint64_t kTebStackBase = 8;
constexpr uint64_t kTebStackLimit = 16;

struct ThreadBasicInformation {
  LONG exit_status;
  PVOID teb;
  CLIENT_ID client_id;
  KAFFINITY affinity;
  LONG priority;
  LONG base_priority;
};

void Registers(const CONTEXT& context, minidump::Amd64Registers* out) {
  std::memset(out, 0, sizeof(*out));
  out->rax = context.Rax;
  out->rbx = context.Rbx;
  out->rcx = context.Rcx;
  out->rdx = context.Rdx;
  out->rsi = context.Rsi;
  out->rdi = context.Rdi;
  out->rbp = context.Rbp;
  out->rsp = context.Rsp;
  out->r8 = context.R8;
  out->r9 = context.R9;
  out->r10 = context.R10;
  out->r11 = context.R11;
  out->r12 = context.R12;
  out->r13 = context.R13;
  out->r14 = context.R14;
  out->r15 = context.R15;
  out->rip = context.Rip;
  out->eflags = context.EFlags;
  out->cs = context.SegCs;
  out->ds = context.SegDs;
  out->es = context.SegEs;
  out->fs = context.SegFs;
  out->gs = context.SegGs;
  out->ss = context.SegSs;
  out->mxcsr = context.MxCsr;
  if ((context.ContextFlags & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT) {
    static_assert(sizeof(context.FltSave) == sizeof(out->fxsave), "FXSAVE area");
    std::memcpy(out->fxsave, &context.FltSave, sizeof(out->fxsave));
    out->has_fxsave = true;
  }
}

// UTF-16 to UTF-8 into a fixed buffer, cut at a whole character.
void Utf8(const wchar_t* text, size_t length, char* out, size_t capacity) {
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    uint32_t code = static_cast<uint16_t>(text[i]);
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < length) {
      const uint32_t low = static_cast<uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    char bytes[4];
    size_t count = 0;
    if (code < 0x80) {
      bytes[count++] = static_cast<char>(code);
    } else if (code < 0x800) {
      bytes[count++] = static_cast<char>(0xC0 | (code >> 6));
      bytes[count++] = static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      bytes[count++] = static_cast<char>(0xE0 | (code >> 12));
      bytes[count++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[count++] = static_cast<char>(0x80 | (code & 0x3F));
    } else {
      bytes[count++] = static_cast<char>(0xF0 | (code >> 18));
      bytes[count++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes[count++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[count++] = static_cast<char>(0x80 | (code & 0x3F));
    }
    if (used + count + 1 > capacity) break;
    std::memcpy(out + used, bytes, count);
    used += count;
  }
  out[used] = '\0';
}

// The calling thread's TEB, from its self pointer at gs:0x30 (the compiler's
// own intrinsic for this draws a false array-bounds warning).
uint64_t CurrentTeb() {
  uint64_t teb;
  asm volatile("movq %%gs:0x30, %0" : "=r"(teb));
  return teb;
}
constexpr uint64_t kTebPeb = 0x60;

size_t ReadForImage(uint64_t address, void* buffer, size_t size, void* context) {
  return static_cast<const WindowsSnapshot*>(context)->ReadMemory(address, buffer, size);
}

// Constant-initialised: no guard variable, nothing runs on first use.
WindowsSnapshot g_snapshot;

}  // namespace

WindowsSnapshot& WindowsSnapshot::Instance() { return g_snapshot; }

bool WindowsSnapshot::Reserve() {
  if (thread_list_ != nullptr) return true;
  if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
    auto lookup = [ntdll](const char* name) { return reinterpret_cast<void*>(GetProcAddress(ntdll, name)); };
    query_system_ = reinterpret_cast<QuerySystemFn>(lookup("NtQuerySystemInformation"));
    query_thread_ = reinterpret_cast<QueryThreadFn>(lookup("NtQueryInformationThread"));
    get_version_ = reinterpret_cast<GetVersionFn>(lookup("RtlGetVersion"));
  }
  thread_list_ =
      static_cast<uint8_t*>(VirtualAlloc(nullptr, kThreadListBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  return thread_list_ != nullptr;
}

size_t WindowsSnapshot::ReadMemory(uint64_t address, void* buffer, size_t size) const {
  SIZE_T got = 0;
  if (size == 0) return 0;
  if (ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<LPCVOID>(address), buffer, size, &got)) return got;
  // Page by page up to the first page that does not read.
  constexpr uint64_t kPage = 4096;
  size_t done = 0;
  while (done < size) {
    const uint64_t at = address + done;
    const uint64_t page_left = kPage - (at % kPage);
    const size_t chunk = size - done < page_left ? size - done : static_cast<size_t>(page_left);
    got = 0;
    if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<LPCVOID>(at), static_cast<uint8_t*>(buffer) + done,
                           chunk, &got) ||
        got != chunk) {
      break;
    }
    done += chunk;
  }
  return done;
}

void WindowsSnapshot::Capture(EXCEPTION_POINTERS* pointers, uint32_t thread_id) {
  CaptureSystem();
  exception_ = minidump::ExceptionFacts{};
  exception_.thread_id = thread_id;
  if (pointers != nullptr && pointers->ExceptionRecord != nullptr) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    exception_.code = record.ExceptionCode;
    exception_.flags = record.ExceptionFlags;
    exception_.record = reinterpret_cast<uint64_t>(record.ExceptionRecord);
    exception_.address = reinterpret_cast<uint64_t>(record.ExceptionAddress);
    exception_.parameter_count = record.NumberParameters > 15 ? 15 : record.NumberParameters;
    for (uint32_t i = 0; i < exception_.parameter_count; ++i) {
      exception_.parameters[i] = record.ExceptionInformation[i];
    }
  }
  if (pointers != nullptr && pointers->ContextRecord != nullptr) {
    Registers(*pointers->ContextRecord, &exception_.registers);
  }
  CaptureThreads(pointers, thread_id);
  CaptureModules();
}

void WindowsSnapshot::Release() {
  for (uint32_t i = 0; i < suspended_count_; ++i) {
    ResumeThread(suspended_[i]);
    CloseHandle(suspended_[i]);
  }
  suspended_count_ = 0;
}

void WindowsSnapshot::CaptureSystem() {
  system_ = minidump::SystemFacts{};
  system_.os = minidump::OsFamily::kWindows;
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  system_.cpu_count = info.dwNumberOfProcessors;
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  version_text_[0] = '\0';
  if (get_version_ != nullptr && get_version_(&version) == 0) {
    system_.major_version = version.dwMajorVersion;
    system_.minor_version = version.dwMinorVersion;
    system_.build_number = version.dwBuildNumber;
    Utf8(version.szCSDVersion, wcsnlen(version.szCSDVersion, 128), version_text_, sizeof version_text_);
  }
  system_.version_text = version_text_;
}

void WindowsSnapshot::AddThread(uint32_t thread_id, EXCEPTION_POINTERS* pointers, uint32_t faulting_thread) {
  if (thread_count_ >= kMaxThreads) return;
  minidump::ThreadFacts& facts = threads_[thread_count_++];
  facts = minidump::ThreadFacts{};
  facts.thread_id = thread_id;
  uint64_t teb = 0;
  const bool self = thread_id == GetCurrentThreadId();
  if (self) {
    teb = CurrentTeb();
    std::memset(&context_, 0, sizeof context_);
    RtlCaptureContext(&context_);
    Registers(context_, &facts.registers);
    facts.registers_known = true;
  } else {
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, thread_id);
    if (thread == nullptr) return;
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
      CloseHandle(thread);
      return;
    }
    suspended_[suspended_count_++] = thread;
    std::memset(&context_, 0, sizeof context_);
    context_.ContextFlags = CONTEXT_FULL | CONTEXT_FLOATING_POINT;
    if (GetThreadContext(thread, &context_)) {
      Registers(context_, &facts.registers);
      facts.registers_known = true;
    }
    ThreadBasicInformation basic{};
    if (query_thread_ != nullptr &&
        query_thread_(thread, kThreadBasicInformation, &basic, sizeof basic, nullptr) == 0) {
      teb = reinterpret_cast<uint64_t>(basic.teb);
    }
  }
  // The faulting thread is dumped as it stood at the fault.
  if (thread_id == faulting_thread && pointers != nullptr && pointers->ContextRecord != nullptr) {
    Registers(*pointers->ContextRecord, &facts.registers);
    facts.registers_known = true;
  }
  facts.environment_block = teb;
  uint64_t stack_base = 0, stack_limit = 0;
  if (teb != 0 && ReadMemory(teb + kTebStackBase, &stack_base, 8) == 8 &&
      ReadMemory(teb + kTebStackLimit, &stack_limit, 8) == 8 && stack_limit < stack_base) {
    facts.stack_low = stack_limit;
    facts.stack_high = stack_base;
  }
}

void WindowsSnapshot::CaptureThreads(EXCEPTION_POINTERS* pointers, uint32_t faulting_thread) {
  thread_count_ = 0;
  suspended_count_ = 0;
  const uint32_t self = GetCurrentThreadId();
  const uint64_t process = GetCurrentProcessId();
  bool listed = false;
  ULONG length = 0;
  if (thread_list_ != nullptr && query_system_ != nullptr &&
      query_system_(kSystemProcessInformation, thread_list_, static_cast<ULONG>(kThreadListBytes), &length) == 0) {
    size_t at = 0;
    for (;;) {
      const uint8_t* entry = thread_list_ + at;
      uint64_t id = 0;
      std::memcpy(&id, entry + kProcessIdAt, 8);
      if (id == process) {
        uint32_t count = 0;
        std::memcpy(&count, entry + 4, 4);
        for (uint32_t i = 0; i < count; ++i) {
          const uint8_t* thread = entry + kProcessThreadsAt + i * kThreadEntryBytes;
          if (thread + kThreadEntryBytes > thread_list_ + kThreadListBytes) break;
          uint64_t owner = 0, thread_id = 0;
          std::memcpy(&owner, thread + kThreadProcessIdAt, 8);
          std::memcpy(&thread_id, thread + kThreadIdAt, 8);
          if (owner != process) break;  // not the layout this reads: keep what was found
          AddThread(static_cast<uint32_t>(thread_id), pointers, faulting_thread);
          listed = listed || thread_id == self;
        }
        break;
      }
      uint32_t next = 0;
      std::memcpy(&next, entry, 4);
      if (next == 0 || at + next + kProcessThreadsAt > kThreadListBytes) break;
      at += next;
    }
  }
  // Without the system's list (or with a list that missed them) the writing
  // thread and the faulting thread are dumped on their own.
  if (!listed) AddThread(self, pointers, faulting_thread);
  bool faulting_listed = false;
  for (uint32_t i = 0; i < thread_count_; ++i) {
    faulting_listed = faulting_listed || threads_[i].thread_id == faulting_thread;
  }
  if (!faulting_listed) AddThread(faulting_thread, pointers, faulting_thread);
}

void WindowsSnapshot::CaptureModules() {
  module_count_ = 0;
  uint64_t peb = 0, loader = 0;
  if (ReadMemory(CurrentTeb() + kTebPeb, &peb, 8) != 8 || ReadMemory(peb + kPebLoaderData, &loader, 8) != 8 ||
      loader == 0) {
    return;
  }
  const uint64_t head = loader + kLoaderLoadOrderList;
  uint64_t link = 0;
  if (ReadMemory(head, &link, 8) != 8) return;
  // Bounded: a list changed under the walk cannot make it loop for ever.
  for (uint32_t steps = 0; link != 0 && link != head && steps < 2 * kMaxModules && module_count_ < kMaxModules;
       ++steps) {
    const uint64_t record = link;
    if (ReadMemory(record, &link, 8) != 8) break;
    uint64_t base = 0;
    uint32_t size = 0;
    uint16_t path_bytes = 0;
    uint64_t path_at = 0;
    if (ReadMemory(record + kModuleBase, &base, 8) != 8 || ReadMemory(record + kModuleSize, &size, 4) != 4 ||
        ReadMemory(record + kModulePath, &path_bytes, 2) != 2 ||
        ReadMemory(record + kModulePath + 8, &path_at, 8) != 8 || base == 0) {
      continue;
    }
    minidump::ModuleFacts& module = modules_[module_count_];
    module = minidump::ModuleFacts{};
    wchar_t path[MAX_PATH];
    size_t chars = path_bytes / sizeof(wchar_t);
    if (chars > MAX_PATH) chars = MAX_PATH;
    chars = ReadMemory(path_at, path, chars * sizeof(wchar_t)) / sizeof(wchar_t);
    Utf8(path, chars, paths_[module_count_], kPathBytes);
    module.path = paths_[module_count_];
    module.base = base;
    module.size = size;
    PeImageFacts facts;
    if (ReadPeImageFacts(base, &ReadForImage, this, codeviews_[module_count_], kCodeViewBytes, &facts)) {
      if (module.size == 0) module.size = facts.size_of_image;
      module.time_date_stamp = facts.time_date_stamp;
      module.checksum = facts.checksum;
      module.file_version_ms = facts.file_version_ms;
      module.file_version_ls = facts.file_version_ls;
      module.product_version_ms = facts.product_version_ms;
      module.product_version_ls = facts.product_version_ls;
      module.codeview = facts.codeview_size > 0 ? codeviews_[module_count_] : nullptr;
      module.codeview_size = facts.codeview_size;
    }
    ++module_count_;
  }
}

}  // namespace Vextra
