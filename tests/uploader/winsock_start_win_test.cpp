// Winsock is started by the first post, not while the program (or the
// library) is loaded. Checked in a fresh copy of this test program, so that no
// earlier test has posted anything in it.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/loopback_address.h"
#include "uploader/http_transport.h"

namespace {

constexpr wchar_t kChildVariable[] = L"VEXTRA_WINSOCK_CHILD";

// Whether Winsock is started in this process; leaves it as it was.
bool WinsockStarted() {
  if (WSACleanup() == 0) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    return true;
  }
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  return false;
}

TEST(WinsockStartTest, StartsOnFirstPostNotAtLoad) {
  if (GetEnvironmentVariableW(kChildVariable, nullptr, 0) != 0) {
    // The fresh process: nothing has posted yet.
    EXPECT_FALSE(WinsockStarted());
    auto transport = Vextra::MakeTlsTransport(vextra_test::LoopbackAddress(22));  // nothing listens there
    EXPECT_FALSE(WinsockStarted());
    EXPECT_FALSE(transport->Post("/pb/async", {}, "body", "application/octet-stream", 0).arrived);
    EXPECT_TRUE(WinsockStarted());
    return;
  }
  wchar_t program[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
  std::wstring command = std::wstring(L"\"") + program + L"\" --gtest_filter=WinsockStartTest.*";
  ASSERT_TRUE(SetEnvironmentVariableW(kChildVariable, L"1"));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL created =
      CreateProcessW(program, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableW(kChildVariable, nullptr);
  ASSERT_TRUE(created) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(exit_code, 0u) << "the fresh process found Winsock started before its first post, or not after it";
}

}  // namespace
