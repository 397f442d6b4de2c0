#pragma once
// Device facts: operating system, processor, graphics adapter, network adapter
// and memory. Owned by the settings store through a shared pointer. The queries
// are platform code; the logic that turns raw answers into stored texts lives
// in separate, portable files (os_name_table, gpu_choice, mac_format).

#include <cstddef>
#include <cstdint>

struct IWbemLocator;
struct IWbemServices;

namespace lumarobase {

class SystemInfo {
 public:
  // Windows: initialises COM for the calling thread (single-threaded apartment)
  // and connects to the management namespaces; the object is ready only when
  // both connected. Each later query waits a few seconds at most for its
  // results; once one has run out of time no further query is made, and the
  // facts not read keep their unknown values. POSIX: nothing to connect; ready at once.
  // Construct and Close on the same thread.
  SystemInfo();
  // Closes the object when it was not closed yet.
  ~SystemInfo();
  SystemInfo(const SystemInfo&) = delete;
  SystemInfo& operator=(const SystemInfo&) = delete;

  // Releases every connection and undoes this object's own COM initialisation
  // (never one the host made); later queries of processor, adapter and
  // operating system write nothing. Safe to call more than once.
  void Close();

  // Walks the graphics adapters: the facts come from the first adapter whose
  // caption names NVIDIA, AMD or ATI, else each from the last adapter that had
  // it. Texts at or above their capacity are skipped. memory_mib may be null.
  void GetGpuInfo(char* name, size_t name_capacity, char* driver_version, size_t version_capacity,
                  int32_t* memory_mib);
  // The operating system's version text ("10.0.19045"; the kernel release on
  // POSIX); the buffer is left as it was when no text arrives.
  void GetOsVersion(char (&version)[64]);
  // The operating-system name, at most capacity - 1 characters: "Microsoft
  // Windows 10(19045)", "unknow os" when no version is known; on POSIX
  // "<distribution> <version>(<kernel release>)".
  void GetOsName(char* out, size_t capacity);
  void GetCpuName(char* out, size_t capacity);
  // Writes the first network adapter's address as "00-1a-2b-3c-4d-5e",
  // bounded by capacity. 0 on success, else the error code of the adapter
  // query and nothing written. Needs no connection.
  uint32_t GetMacAddress(char* out, size_t capacity);
  // Any pointer may be null; each value whose query succeeded is written.
  // Needs no connection; may be called from any thread.
  void GetMemoryInfo(int32_t* total_mib, int32_t* used_mib, int32_t* working_set_mib);

  bool IsReady() const { return ready; }

 private:
  // Ready, connected, and no query has timed out: a service that let one
  // query run out of time is not asked again, so start-up waits for it once.
  bool CanQuery() const;

  IWbemLocator* locator = nullptr;
  IWbemLocator* storageLocator = nullptr;
  IWbemServices* services = nullptr;
  IWbemServices* storageServices = nullptr;
  bool ready = false;
  // This object's CoInitializeEx succeeded and is not yet undone.
  bool comInitialized = false;
  bool queriesTimedOut = false;
};

}  // namespace lumarobase
