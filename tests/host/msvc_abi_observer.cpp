// A host's crash observer as an MSVC-built game would make it: compiled by
// clang for the x86_64-pc-windows-msvc target (the MSVC C++ ABI: one slot for
// the virtual destructor), with no C++ runtime, and handed to MinGW-built
// library code through two C functions. Built only by tests/host/CMakeLists.txt.

#include "vextra.h"

inline void* operator new(decltype(sizeof(0)), void* place) noexcept { return place; }

namespace {

class MsvcHostObserver : public HRBCrashObserver {
 public:
  virtual ~MsvcHostObserver() { text = 0; }
  // The deleting destructor in the table calls this, not the runtime's.
  static void operator delete(void*) {}
  void* OnCrashReserved(void*) override { return this; }
  const char* OnCrashExtraMessage(int32_t kind) override {
    lastKind = kind;
    return text;
  }
  const char* text = "text of an MSVC-layout observer";
  int32_t lastKind = 0;
};

alignas(16) unsigned char storage[sizeof(MsvcHostObserver)];

}  // namespace

extern "C" HRBCrashObserver* MakeMsvcAbiObserver(void) { return new (storage) MsvcHostObserver(); }
extern "C" int32_t MsvcAbiObserverLastKind(void) { return reinterpret_cast<MsvcHostObserver*>(storage)->lastKind; }
