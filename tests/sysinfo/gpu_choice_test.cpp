#include "sysinfo/gpu_choice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sysinfo/fact_text.h"

namespace lumarobase {
namespace {

TEST(GpuChoice, PreferredVendorsAreCaseSensitiveSubstrings) {
  static constexpr struct {
    const char* caption;
    bool preferred;
  } kCases[] = {
      {"NVIDIA GeForce RTX 3080", true},
      {"AMD Radeon RX 6800 XT", true},
      {"ATI Radeon HD 5450", true},
      {"Radeon (TM) RX 480 Graphics by AMD", true},
      {"Intel(R) UHD Graphics 630", false},
      {"nvidia geforce", false},
      {"Amd Radeon", false},
      {"Microsoft Basic Display Adapter", false},
      {"VideoController1", false},
      {"", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.caption);
    EXPECT_EQ(IsPreferredGpuCaption(c.caption), c.preferred);
  }
}

TEST(GpuChoice, AdapterRamBecomesMibAndNeverExceeds4095) {
  EXPECT_EQ(AdapterRamToMib(536870912u), 512);
  EXPECT_EQ(AdapterRamToMib(0xFFFFFFFFu), 4095);
  EXPECT_EQ(AdapterRamToMib(0xFFF00000u), 4095);
  EXPECT_EQ(AdapterRamToMib(1048575u), 0);
}

// A walk into fixed buffers as the settings store gives them.
struct WalkResult {
  std::string name;
  std::string version;
  int32_t memory;
  size_t taken;
};

WalkResult Walk(const std::vector<VideoAdapterFacts>& adapters, size_t name_capacity = 255) {
  char name[256] = {};
  char version[256] = {};
  int32_t memory = 1;
  GpuFactsWalk walk(name, name_capacity, version, 255, &memory);
  size_t taken = 0;
  for (const VideoAdapterFacts& adapter : adapters) {
    ++taken;
    if (walk.Take(adapter)) break;
  }
  return {name, version, memory, taken};
}

VideoAdapterFacts Adapter(const char* caption, int32_t mib, const char* version) {
  return {std::string(caption), mib, std::string(version)};
}

TEST(GpuChoice, FactsComeFromTheFirstPreferredAdapter) {
  WalkResult second = Walk({Adapter("Intel(R) UHD Graphics 630", 1024, "27.20.100.8681"),
                            Adapter("NVIDIA GeForce GTX 1060", 3072, "31.0.15.3623"),
                            Adapter("AMD Radeon RX 580", 4095, "30.0.13023.1012")});
  EXPECT_EQ(second.name, "NVIDIA GeForce GTX 1060");
  EXPECT_EQ(second.version, "31.0.15.3623");
  EXPECT_EQ(second.memory, 3072);
  EXPECT_EQ(second.taken, 2u);

  WalkResult first = Walk({Adapter("NVIDIA GeForce GTX 1060", 3072, "31.0.15.3623"),
                           Adapter("Intel(R) UHD Graphics 630", 1024, "27.20.100.8681")});
  EXPECT_EQ(first.name, "NVIDIA GeForce GTX 1060");
  EXPECT_EQ(first.memory, 3072);
  EXPECT_EQ(first.taken, 1u);
}

TEST(GpuChoice, WithoutAPreferredAdapterEachFactKeepsTheLastThatHadIt) {
  VideoAdapterFacts no_driver{std::string("Microsoft Basic Display Adapter"), std::nullopt, std::nullopt};
  WalkResult result = Walk({Adapter("Intel(R) UHD Graphics 630", 1024, "27.20.100.8681"), no_driver});
  EXPECT_EQ(result.name, "Microsoft Basic Display Adapter");
  EXPECT_EQ(result.memory, 1024);
  EXPECT_EQ(result.version, "27.20.100.8681");
  EXPECT_EQ(result.taken, 2u);

  WalkResult nothing = Walk({VideoAdapterFacts{}});
  EXPECT_EQ(nothing.name, "");
  EXPECT_EQ(nothing.version, "");
  EXPECT_EQ(nothing.memory, 1);
}

TEST(GpuChoice, ACaptionThatDoesNotFitIsSkippedAndCannotBePreferred) {
  // Capacity 16: the NVIDIA caption is 23 characters and is skipped, so the walk
  // goes on and the later adapter's caption stays.
  WalkResult result = Walk({Adapter("NVIDIA GeForce GTX 1060", 3072, "31.0.15.3623"),
                            Adapter("Intel(R) UHD", 1024, "27.20.100.8681")},
                           16);
  EXPECT_EQ(result.name, "Intel(R) UHD");
  EXPECT_EQ(result.memory, 1024);
  EXPECT_EQ(result.taken, 2u);
  EXPECT_EQ(Walk({Adapter("0123456789abcde", 1, "")}, 16).name, "0123456789abcde");
  EXPECT_EQ(Walk({Adapter("0123456789abcdef", 1, "")}, 16).name, "");
}

TEST(GpuChoice, NullMemoryPlaceIsSkipped) {
  char name[32] = {};
  char version[32] = {};
  GpuFactsWalk walk(name, sizeof name, version, sizeof version, nullptr);
  EXPECT_TRUE(walk.Take(Adapter("AMD Radeon", 2048, "1.0")));
  EXPECT_STREQ(name, "AMD Radeon");
  EXPECT_STREQ(version, "1.0");
}

TEST(GpuChoice, CaptionIsCutAtTheParenthesisOrTo32Characters) {
  static constexpr struct {
    const char* caption;
    const char* stored;
  } kCases[] = {
      // 40 characters with "(" at position 20: what precedes it, blank included.
      {"NVIDIA GeForce RTX (TM) 3080 Laptop GPU!", "NVIDIA GeForce RTX "},
      // 40 characters without "(": the first 32.
      {"NVIDIA GeForce RTX 3080 Laptop GPU 16 GB", "NVIDIA GeForce RTX 3080 Laptop G"},
      // Exactly 32 characters, with or without "(": whole.
      {"NVIDIA GeForce RTX 3080 Ti Lapto", "NVIDIA GeForce RTX 3080 Ti Lapto"},
      {"Intel(R) UHD Graphics 630 abcdef", "Intel(R) UHD Graphics 630 abcdef"},
      {"Intel(R) UHD Graphics 630 abcdefg", "Intel"},
      {"", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.caption);
    EXPECT_EQ(ShortenGpuCaption(c.caption), c.stored);
  }
}

TEST(FactText, PresentUnlessEmptyNullErrorOrUnknown) {
  for (uint16_t absent : {0, 1, 10, 13}) {
    SCOPED_TRACE(absent);
    EXPECT_FALSE(IsPresentVariantType(absent));
  }
  // VT_I2, VT_I4, VT_BSTR, VT_BOOL, VT_UI4, VT_ARRAY|VT_BSTR.
  for (uint16_t present : {2, 3, 8, 11, 19, 0x2008}) {
    SCOPED_TRACE(present);
    EXPECT_TRUE(IsPresentVariantType(present));
  }
}

TEST(FactText, CopiesOnlyTextsShorterThanTheCapacity) {
  char out[8] = "before";
  EXPECT_FALSE(CopyIfShorter("8 chars!", out, sizeof out));
  EXPECT_STREQ(out, "before");
  EXPECT_TRUE(CopyIfShorter("7 chars", out, sizeof out));
  EXPECT_STREQ(out, "7 chars");
  EXPECT_TRUE(CopyIfShorter("", out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(CopyIfShorter("x", out, 0));
  EXPECT_FALSE(CopyIfShorter("x", nullptr, 8));
}

}  // namespace
}  // namespace lumarobase
