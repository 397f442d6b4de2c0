#include <windows.h>

#include <cstdint>
#include <cstring>

#include "crash/caught_integer.h"

namespace vextra_test {
namespace {

template <typename T>
T At(ULONG_PTR base, int64_t offset) {
  T value;
  std::memcpy(&value, reinterpret_cast<const char*>(base + offset), sizeof value);
  return value;
}

// Reads the record as the x86-64 compiler runtime's catch matching does:
// every reference past the record is a 32-bit offset from the image base in
// its fourth argument.
std::optional<int> ReadThrownInteger(const EXCEPTION_RECORD& record, std::string* why) {
  if (record.ExceptionCode != 0xE06D7363) {
    *why = "raised code " + std::to_string(record.ExceptionCode);
    return std::nullopt;
  }
  if ((record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0) {
    *why = "continuable";
    return std::nullopt;
  }
  if (record.NumberParameters != 4 || record.ExceptionInformation[0] != 0x19930520) {
    *why = "not a thrown object's arguments";
    return std::nullopt;
  }
  const ULONG_PTR object = record.ExceptionInformation[1];
  const ULONG_PTR throw_info = record.ExceptionInformation[2];
  const ULONG_PTR base = record.ExceptionInformation[3];
  // ThrowInfo: attributes, destructor, forward compatibility, catchable types.
  if (At<int32_t>(throw_info, 8) != 0) {
    *why = "a forward-compatibility handler";
    return std::nullopt;
  }
  const int32_t catchables = At<int32_t>(throw_info, 12);
  if (At<int32_t>(base, catchables) < 1) {
    *why = "no catchable type";
    return std::nullopt;
  }
  // CatchableType: properties, type, three displacements, size, copy function.
  const int32_t first = At<int32_t>(base, catchables + 4);
  const int32_t type = At<int32_t>(base, first + 4);
  // TypeDescriptor: type_info's vtable, a spare pointer, the decorated name.
  const std::string name = reinterpret_cast<const char*>(base + type + 2 * sizeof(void*));
  if (name != ".H" || (At<uint32_t>(base, first) & 1) == 0 || At<int32_t>(base, first + 20) != 4) {
    *why = "first catchable type is " + name + ", not a simple 4-byte int";
    return std::nullopt;
  }
  return At<int>(object, 0);
}

struct Raising {
  void (*raise)();
  DWORD thread_id = 0;
  std::optional<int> caught;
  std::string why = "returned";
};
Raising* g_raising = nullptr;

// Reads the raising thread's first exception, then ends that thread where a
// catch would have ended the throw.
LONG CALLBACK ReadAndEndThread(EXCEPTION_POINTERS* pointers) {
  if (g_raising == nullptr || GetCurrentThreadId() != g_raising->thread_id) return EXCEPTION_CONTINUE_SEARCH;
  g_raising->why.clear();
  g_raising->caught = ReadThrownInteger(*pointers->ExceptionRecord, &g_raising->why);
  ExitThread(0);
}

DWORD WINAPI RaiseOnThisThread(void* raising) {
  static_cast<Raising*>(raising)->raise();
  return 0;
}

}  // namespace

std::optional<int> CatchThrownInteger(void (*raise)(), std::string* why) {
  Raising raising{raise};
  g_raising = &raising;
  void* reader = AddVectoredExceptionHandler(1, &ReadAndEndThread);
  HANDLE thread = CreateThread(nullptr, 0, &RaiseOnThisThread, &raising, CREATE_SUSPENDED, &raising.thread_id);
  if (thread != nullptr) {
    ResumeThread(thread);
    if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0) {
      TerminateThread(thread, 1);
      raising.why = "still running after 10 s";
    }
    CloseHandle(thread);
  }
  RemoveVectoredExceptionHandler(reader);
  g_raising = nullptr;
  *why = raising.why;
  return raising.caught;
}

}  // namespace vextra_test
