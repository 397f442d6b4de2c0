// winsock2.h before windows.h, and windows.h before the headers that build on it.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>
#include <wbemidl.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "log/sdk_log.h"
#include "sysinfo/fact_text.h"
#include "sysinfo/gpu_choice.h"
#include "sysinfo/mac_format.h"
#include "sysinfo/os_name_table.h"
#include "sysinfo/system_info.h"
#include "sysinfo/wmi_query_win.h"
#include "sysinfo/wmi_value_win.h"

namespace lumarobase {
namespace {

using Vextra::LogDebug;

template <typename T>
void ReleaseAndClear(T*& pointer) {
  if (pointer != nullptr) pointer->Release();
  pointer = nullptr;
}

// A BSTR freed when it goes out of scope.
struct Bstr {
  explicit Bstr(const wchar_t* text) : value(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR value;
};

// A VARIANT cleared when it goes out of scope.
struct Variant {
  Variant() { VariantInit(&value); }
  ~Variant() { VariantClear(&value); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT value;
};

struct ComReleaser {
  void operator()(IUnknown* object) const { object->Release(); }
};

IWbemLocator* CreateLocator() {
  IWbemLocator* locator = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&locator));
  if (FAILED(hr)) {
    LogDebug("SystemInfo: CoCreateInstance(WbemLocator) failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return nullptr;
  }
  return locator;
}

IWbemServices* ConnectNamespace(IWbemLocator* locator, const wchar_t* name) {
  IWbemServices* services = nullptr;
  Bstr resource(name);
  HRESULT hr =
      locator->ConnectServer(resource.value, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  if (FAILED(hr)) {
    LogDebug("SystemInfo: ConnectServer(%ls) failed: 0x%08lX\n", name, static_cast<unsigned long>(hr));
    return nullptr;
  }
  return services;
}

bool SetProxyBlanket(IWbemServices* services) {
  HRESULT hr = CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) {
    LogDebug("SystemInfo: CoSetProxyBlanket failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return false;
  }
  return true;
}

HRESULT ExecQueryOfService(IWbemServices* services, BSTR language, BSTR query, LONG flags,
                           IEnumWbemClassObject** results) {
  return services->ExecQuery(language, query, flags, nullptr, results);
}

WmiExecQuery g_exec_query = ExecQueryOfService;

// Runs a WQL query and hands each result to on_object until it returns true.
// The results are waited for at most kWmiQueryTimeoutMs in all; false when
// that time ran out (what arrived before was handed on).
template <typename OnObject>
bool RunQuery(IWbemServices* services, const wchar_t* wql, OnObject on_object) {
  IEnumWbemClassObject* raw_results = nullptr;
  Bstr language(L"WQL");
  Bstr query(wql);
  // Forward-only and return-immediately: the call returns at once and the
  // results are waited for below, each wait bounded.
  HRESULT hr = g_exec_query(services, language.value, query.value,
                            WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, &raw_results);
  // Owned before the check, so an enumerator handed out with a failure is released too.
  std::unique_ptr<IEnumWbemClassObject, ComReleaser> results(raw_results);
  if (FAILED(hr) || results == nullptr) {
    LogDebug("SystemInfo: query \"%ls\" failed: 0x%08lX\n", wql, static_cast<unsigned long>(hr));
    return true;
  }
  const ULONGLONG deadline = GetTickCount64() + kWmiQueryTimeoutMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const LONG wait_ms = now < deadline ? static_cast<LONG>(deadline - now) : 0;
    IWbemClassObject* raw_object = nullptr;
    ULONG returned = 0;
    hr = results->Next(wait_ms, 1, &raw_object, &returned);
    std::unique_ptr<IWbemClassObject, ComReleaser> object(returned == 1 ? raw_object : nullptr);
    if (hr == WBEM_S_TIMEDOUT && object == nullptr) {
      LogDebug("SystemInfo: query \"%ls\" got no answer within %u ms\n", wql,
               static_cast<unsigned>(kWmiQueryTimeoutMs));
      return false;
    }
    if (object == nullptr) return true;
    if (on_object(object.get())) return true;
  }
}

// One property of a result object; absent when the object does not have it.
std::optional<std::string> TextProperty(IWbemClassObject* object, const wchar_t* name) {
  Variant v;
  if (FAILED(object->Get(name, 0, &v.value, nullptr, nullptr))) return std::nullopt;
  return WmiTextValue(v.value);
}

std::optional<uint32_t> NumberProperty(IWbemClassObject* object, const wchar_t* name) {
  Variant v;
  if (FAILED(object->Get(name, 0, &v.value, nullptr, nullptr))) return std::nullopt;
  return WmiNumberValue(v.value);
}

// Runs a query whose results each carry one text property: every present value
// that fits overwrites out, so the last result wins. False when the query timed out.
bool ReadLastText(IWbemServices* services, const wchar_t* wql, const wchar_t* property, char* out,
                  size_t capacity) {
  return RunQuery(services, wql, [&](IWbemClassObject* object) {
    if (std::optional<std::string> text = TextProperty(object, property)) CopyIfShorter(*text, out, capacity);
    return false;
  });
}

}  // namespace

void SetWmiExecQueryForTesting(WmiExecQuery exec) { g_exec_query = exec != nullptr ? exec : ExecQueryOfService; }

SystemInfo::SystemInfo() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    LogDebug("SystemInfo: CoInitializeEx failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return;
  }
  comInitialized = true;
  auto uninitialize = [this] {
    CoUninitialize();
    comInitialized = false;
  };

  hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                            RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
    LogDebug("SystemInfo: CoInitializeSecurity failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    uninitialize();
    return;
  }

  locator = CreateLocator();
  if (locator == nullptr) {
    uninitialize();
    return;
  }
  services = ConnectNamespace(locator, L"ROOT\\CIMV2");
  if (services == nullptr) {
    ReleaseAndClear(locator);
    uninitialize();
    return;
  }
  if (!SetProxyBlanket(services)) {
    // No query will run without services; the storage namespace still decides ready.
    ReleaseAndClear(services);
    ReleaseAndClear(locator);
    uninitialize();
  }

  storageLocator = CreateLocator();
  if (storageLocator == nullptr) return;
  storageServices = ConnectNamespace(storageLocator, L"Root\\Microsoft\\Windows\\Storage");
  if (storageServices == nullptr) {
    ReleaseAndClear(storageLocator);
    return;
  }
  if (!SetProxyBlanket(storageServices)) {
    ReleaseAndClear(storageServices);
    ReleaseAndClear(storageLocator);
  }
  ready = true;
}

SystemInfo::~SystemInfo() { Close(); }

bool SystemInfo::CanQuery() const { return ready && services != nullptr && !queriesTimedOut; }

void SystemInfo::Close() {
  ReleaseAndClear(services);
  ReleaseAndClear(locator);
  ReleaseAndClear(storageServices);
  ReleaseAndClear(storageLocator);
  // Only this object's own initialisation is undone: the host's COM stays as it was.
  if (comInitialized) {
    CoUninitialize();
    comInitialized = false;
  }
  ready = false;
}

void SystemInfo::GetGpuInfo(char* name, size_t name_capacity, char* driver_version, size_t version_capacity,
                            int32_t* memory_mib) {
  if (!CanQuery()) return;
  GpuFactsWalk walk(name, name_capacity, driver_version, version_capacity, memory_mib);
  queriesTimedOut = !RunQuery(services, L"SELECT * FROM Win32_VideoController", [&](IWbemClassObject* adapter) {
    VideoAdapterFacts facts;
    facts.caption = TextProperty(adapter, L"Caption");
    if (std::optional<uint32_t> ram = NumberProperty(adapter, L"AdapterRAM"))
      facts.memoryMib = AdapterRamToMib(*ram);
    facts.driverVersion = TextProperty(adapter, L"DriverVersion");
    return walk.Take(facts);
  });
}

void SystemInfo::GetOsVersion(char (&version)[64]) {
  if (!CanQuery()) return;
  queriesTimedOut =
      !ReadLastText(services, L"SELECT Version FROM Win32_OperatingSystem", L"Version", version, sizeof version);
}

void SystemInfo::GetOsName(char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  char version[64] = {};
  GetOsVersion(version);
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  std::string name = OsNameForVersion(version, system.wProcessorArchitecture, GetSystemMetrics(SM_SERVERR2));
  std::snprintf(out, capacity, "%s", name.c_str());
}

void SystemInfo::GetCpuName(char* out, size_t capacity) {
  if (!CanQuery()) return;
  queriesTimedOut = !ReadLastText(services, L"SELECT Name FROM Win32_Processor", L"Name", out, capacity);
}

uint32_t SystemInfo::GetMacAddress(char* out, size_t capacity) {
  struct Freer {
    void operator()(void* block) const { std::free(block); }
  };
  std::unique_ptr<void, Freer> room;
  auto allocate = [&room](ULONG bytes) {
    room.reset(std::malloc(bytes));
    if (room == nullptr) std::printf("Error allocating memory needed to call GetAdaptersinfo\n");
    return room != nullptr;
  };
  // Room for one adapter record first; a longer list says how much it needs.
  ULONG size = sizeof(IP_ADAPTER_INFO);
  if (!allocate(size)) return ERROR_NOT_ENOUGH_MEMORY;
  if (GetAdaptersInfo(static_cast<IP_ADAPTER_INFO*>(room.get()), &size) == ERROR_BUFFER_OVERFLOW &&
      !allocate(size)) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD result = GetAdaptersInfo(static_cast<IP_ADAPTER_INFO*>(room.get()), &size);
  if (result != NO_ERROR) return result;
  FormatMacAddress(static_cast<IP_ADAPTER_INFO*>(room.get())->Address, out, capacity);
  return 0;
}

}  // namespace lumarobase
