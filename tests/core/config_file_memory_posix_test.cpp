#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "core/config_file.h"
#include "support/peak_memory_posix.h"
#include "support/temp_dir.h"

namespace Vextra {
namespace {

TEST(ConfigFileMemoryTest, HugeFileWithoutLineBreakIsReadInBoundedMemory) {
  vextra_test::TempDir dir{"vextra-config-huge"};
  {
    std::FILE* file = std::fopen((dir.path() / "HexaCubConfig64.dat").string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string open = "<AppId>";
    std::fwrite(open.data(), 1, open.size(), file);
    const std::string mebibyte(1 << 20, 'a');
    for (int i = 0; i < 300; ++i) ASSERT_EQ(std::fwrite(mebibyte.data(), 1, mebibyte.size(), file), mebibyte.size());
    ASSERT_EQ(std::fclose(file), 0);
  }
  CommonInfo settings;

  const long growth_kib = vextra_test::PeakMemoryGrowthKib([&] { ReadConfigFilesIn(dir.wpath(), settings); });

  RecordProperty("peak_growth_kib", static_cast<int>(growth_kib));
  EXPECT_LT(growth_kib, 16 * 1024);
  EXPECT_EQ(settings.GetAppId(), std::string(kMaxConfigLineBytes - 7, 'a'));
}

}  // namespace
}  // namespace Vextra
