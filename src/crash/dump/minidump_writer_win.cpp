#include "crash/dump/minidump_writer.h"

#include <windows.h>
// dbghelp.h needs windows.h first.
#include <dbghelp.h>

#include "crash/dump/crash_dump_dir.h"
#include "crash/dump/dump_settings.h"
#include "crash/dump/own_dump_writer_win.h"
#include "log/sdk_log.h"
#include "log/time_stamp.h"

namespace Vextra {
namespace {

// Only the file name of the library is looked for: the library under another
// name gives the host executable's directory.
// crash path: reads what the attach remembered; looks the module up only when
// nothing was remembered (a statically linked test program).
bool LibraryDirectory(wchar_t (&out)[kDumpPathChars]) {
  if (ReadLibraryDirectory(out) && out[0] != L'\0') return true;
  wchar_t module_path[kDumpPathChars] = {};
  GetModuleFileNameW(GetModuleHandleA("Vextra64.dll"), module_path, kDumpPathChars);
  return DirectoryPart(module_path, L'\\', out);
}

int PathLength(const wchar_t* path) {
  int length = 0;
  while (path[length] != L'\0') ++length;
  return length;
}

void CreateIfMissing(const wchar_t* directory) {
  const DWORD attributes = GetFileAttributesW(directory);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CreateDirectoryW(directory, nullptr);
  }
}

int32_t NowSeconds() { return DumpNameSeconds(static_cast<int64_t>(WallClockSeconds())); }

// _HcSpyCreateDumpFile with the file's size in 64 bits: a full dump can pass
// 4 GiB, whose low 32 bits alone could read as a small file.
uint64_t CreateDumpFile(const wchar_t* path, _EXCEPTION_POINTERS* pointers, int32_t dump_type, uint32_t thread_id);

struct DumpOfThread {
  _EXCEPTION_POINTERS* pointers;
  uint32_t thread_id;
};

// The system's writer or the library's own, whichever the configuration puts
// first, the other when it writes nothing (own_dump_writer_win.h).
uint64_t WriteDumpOfThread(const wchar_t* path, int32_t dump_type, void* context) {
  const DumpOfThread& dump = *static_cast<const DumpOfThread*>(context);
  return WriteDumpFileWithFallback(path, dump.pointers, dump_type, dump.thread_id, &CreateDumpFile);
}

}  // namespace

bool GetDefaultDumpDir(wchar_t (&out)[kDumpPathChars]) {
  wchar_t library_dir[kDumpPathChars];
  if (!LibraryDirectory(library_dir) || !FormatDefaultDumpDir(library_dir, L'\\', out)) {
    out[0] = L'\0';
    return true;
  }
  CreateIfMissing(out);
  return true;
}

uint32_t _HcSpyCreateDumpFile(const wchar_t* path, _EXCEPTION_POINTERS* pointers, int32_t dump_type,
                              uint32_t thread_id) {
  return SaturatedDumpSize(CreateDumpFile(path, pointers, dump_type, thread_id));
}

namespace {

// A dump written for another thread leaves the writing thread out: its own
// stack shows only the dump being written, and the helper's is large.
// crash path: compares thread ids.
BOOL CALLBACK LeaveWriterOut(PVOID, const PMINIDUMP_CALLBACK_INPUT input, PMINIDUMP_CALLBACK_OUTPUT) {
  const ULONG writer = GetCurrentThreadId();
  switch (input->CallbackType) {
    case IncludeThreadCallback:
      return input->IncludeThread.ThreadId != writer;
    case ThreadCallback:
    case ThreadExCallback:
      return input->Thread.ThreadId != writer;
    case IncludeModuleCallback:
    case ModuleCallback:
      return TRUE;
    default:
      return FALSE;  // no memory of our own to add, no cancelling
  }
}

bool ReadAt(HANDLE file, uint64_t offset, void* data, DWORD size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  DWORD done = 0;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ReadFile(file, data, size, &done, nullptr) && done == size;
}

bool WriteAt(HANDLE file, uint64_t offset, const void* data, DWORD size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  DWORD done = 0;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && WriteFile(file, data, size, &done, nullptr) && done == size;
}

// Mends the thread list of a dump written for another thread. The writer
// records that thread with the registers it has while it waits; it gets its
// registers at the fault (its recorded stack runs from where it waits, below
// the fault, to its base, so the top of the faulting stack is in the dump).
// A writer that sized the list before leaving a thread out (Wine's) gets the
// list's size put right, which readers check against its count. False when
// the dump has no such thread or the file cannot be read back.
// crash path: fixed buffers, file reads and writes, allocates nothing.
bool MendThreadList(HANDLE file, uint32_t thread_id, const CONTEXT& fault) {
  MINIDUMP_HEADER header{};
  if (!ReadAt(file, 0, &header, sizeof header)) return false;
  for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
    MINIDUMP_DIRECTORY entry{};
    if (!ReadAt(file, header.StreamDirectoryRva + uint64_t{i} * sizeof entry, &entry, sizeof entry)) return false;
    if (entry.StreamType != ThreadListStream) continue;
    ULONG32 count = 0;
    if (!ReadAt(file, entry.Location.Rva, &count, sizeof count)) return false;
    const ULONG32 list_size = static_cast<ULONG32>(sizeof count + count * sizeof(MINIDUMP_THREAD));
    if (entry.Location.DataSize > list_size) {
      entry.Location.DataSize = list_size;
      if (!WriteAt(file, header.StreamDirectoryRva + uint64_t{i} * sizeof entry, &entry, sizeof entry)) return false;
    }
    for (ULONG32 t = 0; t < count; ++t) {
      MINIDUMP_THREAD thread{};
      if (!ReadAt(file, entry.Location.Rva + sizeof count + uint64_t{t} * sizeof thread, &thread, sizeof thread)) {
        return false;
      }
      if (thread.ThreadId != thread_id) continue;
      if (thread.ThreadContext.DataSize < sizeof fault) return false;
      return WriteAt(file, thread.ThreadContext.Rva, &fault, sizeof fault);
    }
  }
  return false;
}

uint64_t CreateDumpFile(const wchar_t* path, _EXCEPTION_POINTERS* pointers, int32_t dump_type, uint32_t thread_id) {
  LogDebug("enter _HcSpyCreateDumpFile\n");
  const int length = PathLength(path);
  HANDLE file =
      CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = thread_id;
  exception.ExceptionPointers = pointers;
  exception.ClientPointers = TRUE;
  const bool for_another_thread = thread_id != GetCurrentThreadId();
  MINIDUMP_CALLBACK_INFORMATION leave_writer_out{&LeaveWriterOut, nullptr};
  // A file that could not be created fails here with the creation's error
  // (a missing directory names itself), not with whatever the writer makes
  // of an invalid handle.
  const BOOL written =
      file != INVALID_HANDLE_VALUE &&
      GuardedMiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                               static_cast<MINIDUMP_TYPE>(dump_type), pointers != nullptr ? &exception : nullptr,
                               nullptr, for_another_thread ? &leave_writer_out : nullptr);
  if (written) {
    LogDebug("file path lenth: %d,  game dump by self succeed\n", length);
    if (for_another_thread && pointers != nullptr && pointers->ContextRecord != nullptr &&
        !MendThreadList(file, thread_id, *pointers->ContextRecord)) {
      LogDebug("the dump lacks the faulting thread %u\n", static_cast<unsigned>(thread_id));
    }
    LARGE_INTEGER size{};
    const bool sized = GetFileSizeEx(file, &size) != FALSE;
    CloseHandle(file);
    return sized && size.QuadPart > 0 ? static_cast<uint64_t>(size.QuadPart) : 0;
  }
  const DWORD error = GetLastError();
  // The system's text into a buffer of our own: nothing is allocated here.
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0x400, text,
                 sizeof text, nullptr);
  LogDebug("file name length %d game dump by self also failed errid(%X) res(%s)\n", length,
           static_cast<unsigned>(error), text);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!DeleteFileW(path)) LogDebug("DeleteFile fail %d\n", length);
  return 0;
}

}  // namespace

void WriteCrashDumpForThread(_EXCEPTION_POINTERS* pointers, uint32_t thread_id,
                             wchar_t (&dump_path)[kDumpPathChars]) {
  dump_path[0] = L'\0';
  wchar_t dump_dir[kDumpPathChars];
  if (!ChooseCrashDumpDir(L'\\', CrashDumpDirCalls{&LibraryDirectory, &CreateIfMissing}, dump_dir)) return;
  DumpOfThread dump{pointers, thread_id};
  const DumpFileWriter writer{&WriteDumpOfThread, &NowSeconds, &dump};
  if (!WriteDumpWithCompanion(dump_dir, L'\\', ReadDumpType(), writer, dump_path)) {
    LogDebug("dump directory too long, no dump written\n");
  }
}

void WriteCrashDump(_EXCEPTION_POINTERS* pointers, wchar_t (&dump_path)[kDumpPathChars]) {
  WriteCrashDumpForThread(pointers, GetCurrentThreadId(), dump_path);
}

long WriteTestDump(uint32_t code, _EXCEPTION_POINTERS* pointers) {
  HANDLE file = CreateFileA("test.dmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = pointers;
  exception.ClientPointers = TRUE;
  if (file != INVALID_HANDLE_VALUE &&
      GuardedMiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                        pointers != nullptr ? &exception : nullptr, nullptr, nullptr)) {
    LogDebug("%s game dump by self succeed\n", "test.dmp");
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace Vextra
