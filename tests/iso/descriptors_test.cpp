// The generated metadata: system area, primary and Joliet volume descriptors,
// terminator byte for byte, DescriptorCopy and the stream as a whole.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "iso/image_helpers.h"
#include "iso/iso.h"

using namespace isotest;

namespace {

using TSector = std::array<uint8_t, 2048>;

void Both32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void Both16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
void Text(uint8_t* p, const std::string& s, size_t width) {
  std::memset(p, ' ', width);
  std::memcpy(p, s.data(), std::min(s.size(), width));
}
// ASCII text as UTF-16 big-endian, padded with UTF-16 spaces.
void Wide(uint8_t* p, const std::string& s, size_t width) {
  for (size_t i = 0; i < width; i += 2) {
    p[i] = 0;
    p[i + 1] = i / 2 < s.size() ? static_cast<uint8_t>(s[i / 2]) : ' ';
  }
}
void Ascii(uint8_t* p, const char* s) { std::memcpy(p, s, std::strlen(s)); }

TSector Sector(const VEZEZadira& c, uint32_t lba) {
  TSector s;
  std::memcpy(s.data(), MetaSector(c, lba), 2048);
  return s;
}

class DescriptorTest : public ::testing::Test {
protected:
  void SetUp() override {
    c_.IdSystem = "Linux";
    c_.IdVolume = "My Disc";
    c_.IdVolumeSet = "set";
    c_.IdPublisher = "Publisher";
    c_.IdPreparer = "prep";
    c_.IdApplication = "App 1.0";
    c_.FileCopyright = "copy.txt";
    c_.FileAbstract = "abs.txt";
    c_.FileBibliographic = "bib.txt";
    c_.DateCreation = EncodeDateTime({2004, 5, 6, 7, 8, 9, 0});
    c_.DateModification = EncodeDateTime({2010, 11, 12, 13, 14, 15, 0});
    c_.DateEffective = EncodeDateTime({2011, 1, 1, 0, 0, 0, 0});   // not recorded
    c_.DateExpiration = EncodeDateTime({2012, 1, 1, 0, 0, 0, 0});  // not recorded
  }

  // The descriptor as it must be for the root-only image of these properties.
  TSector Expected(bool joliet) const {
    TSector s{};
    s[0] = joliet ? 2 : 1;
    Ascii(&s[1], "CD001");
    s[6] = 1;
    auto text = [&](size_t at, const std::string& v, size_t width, size_t wideWidth) {
      if (joliet)
        Wide(&s[at], v, wideWidth);
      else
        Text(&s[at], UpperCase(v), width);
    };
    text(8, "Linux", 32, 32);
    text(40, "My Disc", 32, 32);
    Both32(&s[80], 150);
    if (joliet) Ascii(&s[88], "\x25\x2F\x40");  // the primary's bytes 88-90 stay zero
    Both16(&s[120], 1);
    Both16(&s[124], 1);
    Both16(&s[128], 2048);
    Both32(&s[132], 10);
    const uint32_t tl = joliet ? 21 : 19, tm = joliet ? 22 : 20, dir = joliet ? 24 : 23;
    s[140] = static_cast<uint8_t>(tl);
    s[151] = static_cast<uint8_t>(tm);
    uint8_t* root = &s[156];
    root[0] = 34;
    Both32(root + 2, dir);
    Both32(root + 10, 2048);
    root[25] = 2;
    Both16(root + 28, 1);
    root[32] = 1;
    text(190, "set", 128, 128);
    text(318, "Publisher", 128, 128);
    text(446, "prep", 128, 128);
    text(574, "App 1.0", 128, 128);
    text(702, "copy.txt", 37, 36);
    text(739, "abs.txt", 37, 36);
    text(776, "bib.txt", 37, 36);
    Ascii(&s[813], "2004050607080900");
    Ascii(&s[830], "2010111213141500");
    Ascii(&s[847], "0000000000000000");
    Ascii(&s[864], "0000000000000000");
    s[881] = 1;
    Ascii(&s[1024], "        ");
    return s;
  }

  VEZEZadira c_;
};

TEST_F(DescriptorTest, RootOnlyImageByteForByte) {
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  for (uint32_t lba = 0; lba < 16; ++lba)
    EXPECT_EQ(Sector(c_, lba), TSector{}) << "system area sector " << lba;
  EXPECT_EQ(Sector(c_, 16), Expected(false));
  EXPECT_EQ(Sector(c_, 17), Expected(true));
  TSector term{};
  term[0] = 0xFF;
  Ascii(&term[1], "CD001");
  term[6] = 1;
  EXPECT_EQ(Sector(c_, 18), term);
  // Padding up to the first file.
  for (uint32_t lba = 25; lba < 150; ++lba) EXPECT_EQ(Sector(c_, lba), TSector{}) << lba;
}

TEST_F(DescriptorTest, WithoutJoliet) {
  c_.JolietFileSystem = false;
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  const TSector primary = Sector(c_, 16);
  EXPECT_EQ(primary[88], 0);
  EXPECT_EQ(primary[89], 0);
  EXPECT_EQ(primary[90], 0);
  EXPECT_EQ(Sector(c_, 17)[0], 0xFF);  // the terminator follows at once
  EXPECT_EQ(c_.Plan->DescriptorCopySize, 36864);
  EXPECT_EQ(MetadataOf(c_).Size(), 150 * 2048);
  // The tables and the one directory sector: ISO only.
  EXPECT_EQ(c_.PathTableL, 18u);
  EXPECT_EQ(c_.DirArea, 20u);
  EXPECT_EQ(MetaSector(c_, 20)[0], 34);
  EXPECT_EQ(Sector(c_, 21), TSector{});
}

TEST_F(DescriptorTest, EmptyIdentifiersAreSpacesAndZeroDateIs1899) {
  VEZEZadira c;
  ASSERT_TRUE(c.PrepareImage(true, nullptr));
  const TSector p = Sector(c, 16), j = Sector(c, 17);
  for (auto [at, width] : {std::pair{8, 32}, {40, 32}, {190, 128}, {318, 128}, {446, 128},
                          {574, 128}, {702, 37}, {739, 37}, {776, 37}}) {
    for (int i = 0; i < width; ++i) EXPECT_EQ(p[at + i], ' ') << at + i;
    const int wide = width == 37 ? 36 : width;
    for (int i = 0; i < wide; ++i) EXPECT_EQ(j[at + i], i % 2 ? ' ' : 0) << at + i;
    if (width == 37) {
      EXPECT_EQ(j[at + 36], 0);
    }
  }
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[813]), 17), std::string("1899123000000000\0", 17));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&j[813]), 17), std::string("1899123000000000\0", 17));
}

TEST_F(DescriptorTest, DescriptorCopyHoldsTheHeadThenFF) {
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  ASSERT_EQ(c_.Plan->DescriptorCopySize, 38912);
  EXPECT_EQ(std::memcmp(c_.Plan->DescriptorCopy.data(), MetaBytes(MetadataOf(c_)).data(), 38912), 0);
  for (size_t i = 38912; i < c_.Plan->DescriptorCopy.size(); ++i) ASSERT_EQ(c_.Plan->DescriptorCopy[i], 0xFF) << i;
}

TEST_F(DescriptorTest, VolumeSpaceSizeAndTablesFollowTheLayout) {
  TDEntry* root = c_.RootDirectory();
  for (int i = 0; i < 3; ++i) ASSERT_NE(AddDir(c_, root, "DIR" + std::to_string(i)), nullptr);
  ASSERT_TRUE(AddFileEntry(c_, root, "f.bin", 3 * 2048 + 1));
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  const TSector p = Sector(c_, 16), j = Sector(c_, 17);
  EXPECT_EQ(LE32(&p[80]), 154u);
  EXPECT_EQ(BE32(&p[84]), 154u);
  EXPECT_EQ(LE32(&p[132]), c_.PathTableSize);
  EXPECT_EQ(c_.PathTableSize, 10u + 3 * 12);
  EXPECT_EQ(LE32(&p[140]), c_.PathTableL);
  EXPECT_EQ(BE32(&p[148]), c_.PathTableM);
  EXPECT_EQ(LE32(&p[156 + 2]), c_.DirArea);
  EXPECT_EQ(LE32(&j[132]), c_.JolietPathTableSize);
  EXPECT_EQ(c_.JolietPathTableSize, 10u + 3 * 16);
  EXPECT_EQ(LE32(&j[140]), c_.JolietPathTableL);
  EXPECT_EQ(BE32(&j[148]), c_.JolietPathTableM);
  EXPECT_EQ(LE32(&j[156 + 2]), c_.JolietDirArea);
  EXPECT_EQ(LE32(&j[156 + 10]), static_cast<uint32_t>(root->JolietDirSize));
  // Only the first 32 characters of a long identifier fit.
  c_.IdVolume = std::string(40, 'v');
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(MetaSector(c_, 16) + 40), 32), std::string(32, 'V'));
  EXPECT_EQ(MetaSector(c_, 16)[72], 0);
}

}  // namespace
