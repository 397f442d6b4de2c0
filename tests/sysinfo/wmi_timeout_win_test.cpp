// A management service that never answers a query: collecting the device
// facts at start-up still ends, with the facts of that query and of every one
// after it at their unknown values.

#include <windows.h>

#include <gtest/gtest.h>
#include <wbemidl.h>

#include <atomic>
#include <chrono>
#include <cwchar>
#include <future>
#include <string>
#include <thread>

#include "core/common_info.h"
#include "sysinfo/wmi_query_win.h"

namespace lumarobase {
namespace {

// Results that never come: each wait lasts as long as the caller allows, for
// ever when it allows no limit, unless the test wakes it to end.
class NeverAnswering : public IEnumWbemClassObject {
 public:
  explicit NeverAnswering(HANDLE wake) : wake_(wake) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IEnumWbemClassObject) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Reset() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Next(LONG timeout_ms, ULONG, IWbemClassObject** objects, ULONG* returned) override {
    *objects = nullptr;
    *returned = 0;
    const DWORD wait = timeout_ms == static_cast<LONG>(WBEM_INFINITE) ? INFINITE : static_cast<DWORD>(timeout_ms);
    return WaitForSingleObject(wake_, wait) == WAIT_TIMEOUT ? WBEM_S_TIMEDOUT : WBEM_S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** copy) override {
    *copy = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return WBEM_E_NOT_SUPPORTED; }

 private:
  virtual ~NeverAnswering() = default;
  HANDLE wake_;
  std::atomic<ULONG> refs_{1};
};

// The class whose queries never answer; every other query goes to the service.
const wchar_t* g_wedged_class = L"";
HANDLE g_wake = nullptr;
std::atomic<int> g_queries{0};

HRESULT ExecWedgingOneClass(IWbemServices* services, BSTR language, BSTR query, LONG flags,
                            IEnumWbemClassObject** results) {
  ++g_queries;
  if (std::wcsstr(query, g_wedged_class) != nullptr) {
    *results = new NeverAnswering(g_wake);
    return WBEM_S_NO_ERROR;
  }
  return services->ExecQuery(language, query, flags, nullptr, results);
}

struct Facts {
  std::string cpu, gpu, displayVersion, osVer, mac;
  uint32_t displayMem;
};

class WedgedManagementService : public ::testing::Test {
 protected:
  void SetUp() override {
    store.ResetForTesting();
    g_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(g_wake, nullptr);
  }
  void TearDown() override {
    SetWmiExecQueryForTesting(nullptr);
    SetEvent(g_wake);
    CloseHandle(g_wake);
    store.ResetForTesting();
  }

  // Collects the facts as start-up does, on a thread of its own; a collection
  // still waiting after a minute is taken as hung (the service is then woken
  // so the test can end).
  Facts Collect() {
    store.ResetForTesting();
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread collecting([&] {
      store.CollectDeviceInfo();
      done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      ADD_FAILURE() << "collecting the device facts still waits for a query that never answers";
      SetEvent(g_wake);
    }
    collecting.join();
    return {store.GetCpu(), store.GetGpu(), store.GetDisplayVersion(), store.GetOsVer(), store.GetMac(),
            store.GetDisplayMem()};
  }

  Vextra::CommonInfo& store = Vextra::CommonInfo::Instance();
};

TEST_F(WedgedManagementService, CollectionEndsAndTheFactsFromTheTimedOutQueryOnAreUnknown) {
  // The service answering: real facts, which the queries before a wedged one keep.
  const Facts real = Collect();
  ASSERT_FALSE(real.cpu.empty());
  ASSERT_FALSE(real.gpu.empty());
  ASSERT_EQ(real.osVer.rfind("Microsoft Windows ", 0), 0u) << real.osVer;

  // In the order start-up asks: processor, graphics adapter, operating system.
  const struct {
    const wchar_t* wedged;
    int queriesAsked;
    bool cpuKnown, gpuKnown;
  } kCases[] = {
      {L"Win32_Processor", 1, false, false},
      {L"Win32_VideoController", 2, true, false},
      {L"Win32_OperatingSystem", 3, true, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.wedged, c.wedged + std::wcslen(c.wedged)));
    g_wedged_class = c.wedged;
    g_queries = 0;
    SetWmiExecQueryForTesting(ExecWedgingOneClass);
    const Facts facts = Collect();
    // A service that let one query time out is not asked again.
    EXPECT_EQ(g_queries.load(), c.queriesAsked);
    EXPECT_EQ(facts.cpu, c.cpuKnown ? real.cpu : "");
    EXPECT_EQ(facts.gpu, c.gpuKnown ? real.gpu : "");
    EXPECT_EQ(facts.displayVersion, c.gpuKnown ? real.displayVersion : "");
    EXPECT_EQ(facts.displayMem, c.gpuKnown ? real.displayMem : 1u);
    EXPECT_EQ(facts.osVer, "unknow os");
    // The adapter address needs no management query.
    EXPECT_EQ(facts.mac, real.mac);
  }
}

}  // namespace
}  // namespace lumarobase
