// Linux only: the peak resident size comes from /proc, and narrow paths may
// hold any bytes.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "core/config_file.h"
#include "platform/text_encoding.h"
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

TEST(ConfigFileNarrowPathTest, FileBesideADirectoryNameThatIsNotUtf8IsRead) {
  vextra_test::TempDir dir{"vextra-config-bytes"};
  const std::string library_dir = dir.str() + "/caf\xE9";
  ASSERT_EQ(mkdir(library_dir.c_str(), 0755), 0);
  std::FILE* file = std::fopen((library_dir + "/VextraConfig64.dat").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("<AppId>beside</AppId>\n", file);
  ASSERT_EQ(std::fclose(file), 0);
  CommonInfo settings;

  // The library's directory as start-up gets it: a narrow module path made wide.
  EXPECT_TRUE(ReadConfigFilesIn(platform::NarrowToWide(library_dir.c_str(), 4096), settings));

  EXPECT_EQ(settings.GetAppId(), "beside");
}

}  // namespace
}  // namespace Vextra
