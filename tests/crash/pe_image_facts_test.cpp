// A module's facts read from its mapped PE image: built here byte by byte as
// the format lays it out (DOS header, PE32+ headers, a debug directory with a
// CodeView "RSDS" record, a version resource), then spoiled one way per row.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crash/dump/pe_image_facts.h"

namespace {

constexpr uint64_t kBase = 0x140000000;
constexpr char kPdbName[] = "C:\\build\\host.pdb";

struct Image {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(0x3000, 0);
  size_t readable = 0x3000;  // reads at or past this offset fail

  void Put16(size_t at, uint16_t v) { std::memcpy(&bytes[at], &v, 2); }
  void Put32(size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); }
  void PutText(size_t at, const char* text, size_t size) { std::memcpy(&bytes[at], text, size); }
};

// Offsets of the image below.
constexpr size_t kNt = 0x80;
constexpr size_t kOptional = kNt + 24;
constexpr size_t kDebugEntries = 0x1000;
constexpr size_t kCodeView = 0x1100;
constexpr size_t kResources = 0x2000;
constexpr size_t kVersionInfo = 0x2100;

Image GoodImage() {
  Image image;
  image.Put16(0, 0x5A4D);  // "MZ"
  image.Put32(0x3C, kNt);
  image.PutText(kNt, "PE\0\0", 4);
  image.Put16(kNt + 4, 0x8664);
  image.Put32(kNt + 8, 0x5F3759DF);  // time stamp
  image.Put16(kOptional, 0x20B);     // PE32+
  image.Put32(kOptional + 56, 0x3000);  // size of image
  image.Put32(kOptional + 64, 0x0001E2F4);  // checksum
  image.Put32(kOptional + 108, 16);  // data directories
  image.Put32(kOptional + 112 + 2 * 8, kResources);
  image.Put32(kOptional + 112 + 2 * 8 + 4, 0x200);
  image.Put32(kOptional + 112 + 6 * 8, kDebugEntries);
  image.Put32(kOptional + 112 + 6 * 8 + 4, 2 * 28);
  // A debug entry of another type first, then the CodeView one.
  image.Put32(kDebugEntries + 12, 13);
  image.Put32(kDebugEntries + 16, 20);
  image.Put32(kDebugEntries + 20, 0x1080);
  const uint32_t record_size = 24 + sizeof kPdbName;
  image.Put32(kDebugEntries + 28 + 12, 2);
  image.Put32(kDebugEntries + 28 + 16, record_size);
  image.Put32(kDebugEntries + 28 + 20, kCodeView);
  image.PutText(kCodeView, "RSDS", 4);
  for (int i = 0; i < 16; ++i) image.bytes[kCodeView + 4 + i] = static_cast<uint8_t>(0xA0 + i);
  image.Put32(kCodeView + 20, 3);  // age
  image.PutText(kCodeView + 24, kPdbName, sizeof kPdbName);
  // Resources: an icon type, then the version type (16) -> name 1 -> language 0x409 -> data.
  image.Put16(kResources + 14, 2);
  image.Put32(kResources + 16, 3);
  image.Put32(kResources + 20, 0x80000000u | 0x180);
  image.Put32(kResources + 24, 16);
  image.Put32(kResources + 28, 0x80000000u | 0x30);
  image.Put16(kResources + 0x30 + 14, 1);
  image.Put32(kResources + 0x30 + 16, 1);
  image.Put32(kResources + 0x30 + 20, 0x80000000u | 0x50);
  image.Put16(kResources + 0x50 + 14, 1);
  image.Put32(kResources + 0x50 + 16, 0x409);
  image.Put32(kResources + 0x50 + 20, 0x70);
  image.Put32(kResources + 0x70, kVersionInfo);
  image.Put32(kResources + 0x74, 0x5C);
  image.Put16(kVersionInfo, 0x5C);
  image.Put16(kVersionInfo + 2, 52);
  const char16_t key[] = u"VS_VERSION_INFO";
  std::memcpy(&image.bytes[kVersionInfo + 6], key, sizeof key);
  image.Put32(kVersionInfo + 40, 0xFEEF04BD);
  image.Put32(kVersionInfo + 44, 0x00010000);
  image.Put32(kVersionInfo + 48, 0x00020001);  // file version 2.1.4.3
  image.Put32(kVersionInfo + 52, 0x00040003);
  image.Put32(kVersionInfo + 56, 0x00010000);  // product version 1.0.0.9
  image.Put32(kVersionInfo + 60, 0x00000009);
  return image;
}

size_t ReadImage(uint64_t address, void* buffer, size_t size, void* context) {
  const Image& image = *static_cast<const Image*>(context);
  if (address < kBase || address - kBase >= image.readable) return 0;
  const size_t at = static_cast<size_t>(address - kBase);
  const size_t n = size < image.readable - at ? size : image.readable - at;
  std::memcpy(buffer, &image.bytes[at], n);
  return n;
}


TEST(PeImageFacts, ReadsHeadersCodeViewAndVersionAndSurvivesSpoiledParts) {
  const uint32_t record_size = 24 + sizeof kPdbName;
  struct Row {
    const char* name;
    std::function<void(Image&)> spoil;
    uint32_t capacity;  // of the CodeView buffer
    bool valid;
    bool codeview;
    bool version;
  };
  const Row rows[] = {
      {"whole image", [](Image&) {}, 300, true, true, true},
      {"record larger than the buffer", [](Image&) {}, 30, true, false, true},
      {"record exactly fills the buffer", [](Image&) {}, 24 + sizeof kPdbName, true, true, true},
      {"no debug directory", [](Image& i) { i.Put32(kOptional + 112 + 6 * 8, 0); }, 300, true, false, true},
      {"record not RSDS", [](Image& i) { i.PutText(kCodeView, "NB10", 4); }, 300, true, false, true},
      {"PDB name without its NUL",
       [](Image& i) { i.bytes[kCodeView + 24 + sizeof kPdbName - 1] = 'x'; }, 300, true, false, true},
      {"too few data directories for either", [](Image& i) { i.Put32(kOptional + 108, 2); }, 300, true, false, false},
      {"no version type among the resources", [](Image& i) { i.Put32(kResources + 24, 24); }, 300, true, true, false},
      {"version data without its signature", [](Image& i) { i.Put32(kVersionInfo + 40, 0xFEEF04BC); }, 300, true, true,
       false},
      {"resources unreadable", [](Image& i) { i.readable = kResources; }, 300, true, true, false},
      {"PE32 instead of PE32+", [](Image& i) { i.Put16(kOptional, 0x10B); }, 300, false, false, false},
      {"no MZ", [](Image& i) { i.Put16(0, 0x4D5A); }, 300, false, false, false},
      {"no PE signature", [](Image& i) { i.PutText(kNt, "PX\0\0", 4); }, 300, false, false, false},
      {"headers cut short", [](Image& i) { i.readable = kOptional + 20; }, 300, false, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Image image = GoodImage();
    row.spoil(image);
    std::vector<uint8_t> codeview(row.capacity, 0xEE);
    Vextra::PeImageFacts facts;
    const bool valid = Vextra::ReadPeImageFacts(kBase, &ReadImage, &image, codeview.data(), row.capacity, &facts);
    ASSERT_EQ(valid, row.valid);
    if (!row.valid) continue;
    EXPECT_EQ(facts.size_of_image, 0x3000u);
    EXPECT_EQ(facts.time_date_stamp, 0x5F3759DFu);
    EXPECT_EQ(facts.checksum, 0x0001E2F4u);
    if (row.codeview) {
      ASSERT_EQ(facts.codeview_size, record_size);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(codeview.data()), 4), "RSDS");
      EXPECT_EQ(codeview[4], 0xA0);
      EXPECT_EQ(codeview[19], 0xAF);
      EXPECT_EQ(codeview[20], 3);  // age
      EXPECT_STREQ(reinterpret_cast<char*>(codeview.data() + 24), kPdbName);
    } else {
      EXPECT_EQ(facts.codeview_size, 0u);
    }
    EXPECT_EQ(facts.file_version_ms, row.version ? 0x00020001u : 0u);
    EXPECT_EQ(facts.file_version_ls, row.version ? 0x00040003u : 0u);
    EXPECT_EQ(facts.product_version_ms, row.version ? 0x00010000u : 0u);
    EXPECT_EQ(facts.product_version_ls, row.version ? 0x00000009u : 0u);
  }
}

}  // namespace
