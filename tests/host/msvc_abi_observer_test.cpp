// The library (built by MinGW) asks an observer built with the MSVC C++ ABI
// (tests/host/msvc_abi_observer.cpp) for its text: the call through the third
// slot of the table reaches OnCrashExtraMessage, and the report gets "extmsg".

#include <gtest/gtest.h>

#include "crash/crash_callbacks.h"
#include "report/report_content.h"
#include "vextra.h"

extern "C" HRBCrashObserver* MakeMsvcAbiObserver(void);
extern "C" int32_t MsvcAbiObserverLastKind(void);

namespace {

TEST(MsvcAbiObserverTest, MinGwLibraryAsksAnMsvcLayoutObserver) {
  HRBCrashObserver* observer = MakeMsvcAbiObserver();
  EXPECT_STREQ(Vextra::CallOnCrashExtraMessage(observer, 107), "text of an MSVC-layout observer");
  EXPECT_EQ(MsvcAbiObserverLastKind(), 107);

  VX_SetCrashObserver(observer);
  Vextra::ReportBuilder builder(1, "0123456789ABCDEF0123456789ABCDEF");
  Vextra::AddExtMsg(builder, Vextra::kCrashExtMsgCode);
  EXPECT_EQ(MsvcAbiObserverLastKind(), 2);
  ASSERT_EQ(builder.GetUpload().usermap().count("extmsg"), 1u);
  EXPECT_EQ(builder.GetUpload().usermap().at("extmsg"), "text of an MSVC-layout observer");
  VX_SetCrashObserver(nullptr);
}

}  // namespace
