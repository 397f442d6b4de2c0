// Under Windows (and Wine), the envelope of a user-information request carries
// the device facts that the management instrumentation and the adapter list
// report, read here through independent routes.

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "VextraPkg.pb.h"
#include "core/common_info.h"
#include "support/wmic_query_win.h"
#include "uploader/report_builder.h"

namespace Vextra {
namespace {

using vextra_test::Contains;
using vextra_test::WmicColumn;

// The first adapter of the system's adapter list as six hyphenated pairs.
std::string FirstAdapterMac() {
  ULONG size = 0;
  GetAdaptersInfo(nullptr, &size);
  std::vector<unsigned char> buffer(size);
  auto* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  if (size == 0 || GetAdaptersInfo(adapters, &size) != NO_ERROR) return {};
  char text[32];
  const BYTE* a = adapters->Address;
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
  return text;
}

TEST(EnvelopeDeviceFactsTest, UserInformationEnvelopeCarriesWhatTheSystemReports) {
  CommonInfo& info = CommonInfo::Instance();
  info.ResetForTesting();
  info.CollectDeviceInfo();
  ReportBuilder builder;
  builder.FillCommon();
  const VextraPkg::RequestPkg& envelope = *builder.BuildEnvelope();
  ASSERT_EQ(envelope.cmd(), 840);

  std::vector<std::string> processors = WmicColumn("path Win32_Processor get Name");
  ASSERT_FALSE(processors.empty());
  EXPECT_EQ(envelope.cpu(), processors.front());

  std::vector<std::string> captions = WmicColumn("path Win32_VideoController get Caption");
  std::vector<std::string> drivers = WmicColumn("path Win32_VideoController get DriverVersion");
  EXPECT_FALSE(envelope.gpu().empty());
  EXPECT_TRUE(Contains(captions, envelope.gpu()) || envelope.gpu().size() == 32) << envelope.gpu();
  EXPECT_EQ(envelope.displaycard(), envelope.gpu());
  EXPECT_TRUE(Contains(drivers, envelope.displayversion())) << envelope.displayversion();

  std::vector<std::string> builds = WmicColumn("os get BuildNumber");
  ASSERT_FALSE(builds.empty());
  EXPECT_EQ(envelope.osver().rfind("Microsoft Windows ", 0), 0u) << envelope.osver();
  const std::string build_suffix = "(" + builds.front() + ")";
  ASSERT_GE(envelope.osver().size(), build_suffix.size());
  EXPECT_EQ(envelope.osver().substr(envelope.osver().size() - build_suffix.size()), build_suffix);

  std::string mac = FirstAdapterMac();
  ASSERT_FALSE(mac.empty());
  EXPECT_EQ(envelope.mac(), mac);
  EXPECT_EQ(envelope.deviceid(), mac);  // no device id set by the host

  std::printf("envelope facts: cpu \"%s\", gpu \"%s\", driver \"%s\", os \"%s\", mac \"%s\"\n",
              envelope.cpu().c_str(), envelope.gpu().c_str(), envelope.displayversion().c_str(),
              envelope.osver().c_str(), envelope.mac().c_str());
}

}  // namespace
}  // namespace Vextra
