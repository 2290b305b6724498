// Path tables and directory records: record layouts byte for byte, names in
// both trees, the sector-boundary rule and the dot records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "iso/image_helpers.h"
#include "iso/iso.h"

using namespace isotest;

namespace {

enum class TTree { ISO, Joliet };

class DirRecordTest : public ::testing::Test {
protected:
  TDEntry* Root() { return c_.RootDirectory(); }
  std::vector<TRecord> Records(TTree tree, const TDEntry& d) {
    const bool iso = tree == TTree::ISO;
    const uint32_t lba = (iso ? c_.DirArea : c_.JolietDirArea) + (iso ? d.ISODirOffset : d.JolietDirOffset);
    return ParseDirectory(MetaSector(c_, lba), static_cast<size_t>(iso ? d.ISODirSize : d.JolietDirSize));
  }
  VEZEZadira c_;
};

TEST_F(DirRecordTest, RootAloneHasTheDotRecordsAndTenBytePathTables) {
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  for (TTree tree : {TTree::ISO, TTree::Joliet}) {
    const uint32_t area = tree == TTree::ISO ? c_.DirArea : c_.JolietDirArea;
    const uint8_t* s = MetaSector(c_, area);
    for (int r = 0; r < 2; ++r) {
      const uint8_t* rec = s + 34 * r;
      EXPECT_EQ(rec[0], 34);
      EXPECT_EQ(rec[1], 0);
      EXPECT_EQ(LE32(rec + 2), area);
      EXPECT_EQ(BE32(rec + 6), area);
      EXPECT_EQ(LE32(rec + 10), 2048u);
      EXPECT_EQ(BE32(rec + 14), 2048u);
      EXPECT_EQ(rec[25], 2);
      EXPECT_EQ(rec[26], 0);
      EXPECT_EQ(rec[27], 0);
      EXPECT_EQ(LE16(rec + 28), 1);
      EXPECT_EQ(BE16(rec + 30), 1);
      EXPECT_EQ(rec[32], 1);
      EXPECT_EQ(rec[33], r);  // 00h ".", 01h ".."
      EXPECT_EQ(rec[24], static_cast<uint8_t>(TimeZoneOffset));
    }
    for (int i = 68; i < 2048; ++i) ASSERT_EQ(s[i], 0) << i;
  }
  const uint8_t l[10] = {1, 0, 23, 0, 0, 0, 1, 0, 0, 0};
  const uint8_t m[10] = {1, 0, 0, 0, 0, 23, 0, 1, 0, 0};
  EXPECT_EQ(std::memcmp(MetaSector(c_, c_.PathTableL), l, 10), 0);
  EXPECT_EQ(std::memcmp(MetaSector(c_, c_.PathTableM), m, 10), 0);
  const uint8_t jl[10] = {1, 0, 24, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(MetaSector(c_, c_.JolietPathTableL), jl, 10), 0);
  for (int i = 10; i < 2048; ++i) ASSERT_EQ(MetaSector(c_, c_.PathTableL)[i], 0);
}

TEST_F(DirRecordTest, FileRecordsInBothTrees) {
  const TDateTime date = EncodeDateTime({2004, 5, 6, 7, 8, 10, 0});
  ASSERT_TRUE(AddFileEntry(c_, Root(), "a.txt", 3000));
  ASSERT_TRUE(AddFileEntry(c_, Root(), "AB.C", 1));
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  const auto iso = Records(TTree::ISO, *Root());
  ASSERT_EQ(iso.size(), 4u);
  // A.TXT;1: 7 name bytes, 40-byte record, no pad byte.
  std::vector<uint8_t> expect(40, 0);
  expect[0] = 40;
  expect[2] = 150 & 0xFF;
  expect[9] = 150;
  expect[10] = 3000 & 0xFF;
  expect[11] = 3000 >> 8;
  expect[16] = 3000 >> 8;
  expect[17] = 3000 & 0xFF;
  const TDateParts p = DecodeDateTime(date);
  const uint8_t when[7] = {104, 5, 6, 7, 8, static_cast<uint8_t>(p.Second),
                           static_cast<uint8_t>(TimeZoneOffset)};
  std::memcpy(&expect[18], when, 7);
  expect[28] = 1;
  expect[31] = 1;
  expect[32] = 7;
  std::memcpy(&expect[33], "A.TXT;1", 7);
  EXPECT_EQ(iso[2].Bytes, expect);
  // AB.C;1: 6 name bytes and the pad byte.
  EXPECT_EQ(iso[3].Bytes.size(), 40u);
  EXPECT_EQ(iso[3].Name(), "AB.C;1");
  EXPECT_EQ(iso[3].Bytes[39], 0);
  EXPECT_EQ(iso[3].Extent(), 152u);
  // Joliet: a.txt;1 as 14 bytes of UTF-16BE, record length 48, after AB.C
  // (the tree's own identifiers: "A" is below "a").
  const auto jol = Records(TTree::Joliet, *Root());
  ASSERT_EQ(jol.size(), 4u);
  EXPECT_EQ(jol[3].Bytes.size(), 48u);
  EXPECT_EQ(jol[3].Name(), std::string("\0a\0.\0t\0x\0t\0;\0001", 14));
  EXPECT_EQ(jol[3].Extent(), 150u);
  EXPECT_EQ(jol[3].DataLength(), 3000u);
  EXPECT_EQ(jol[2].Name(), std::string("\0A\0B\0.\0C\0;\0001", 12));
}

TEST_F(DirRecordTest, PathTableRecordsBothByteOrders) {
  TDEntry* data = AddDir(c_, Root(), "DATA");
  TDEntry* docs = AddDir(c_, data, "DOCS1");
  ASSERT_TRUE(data && docs);
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(c_.PathTableSize, 10u + 12 + 14);
  const uint8_t* l = MetaSector(c_, c_.PathTableL) + 10;
  const uint8_t* m = MetaSector(c_, c_.PathTableM) + 10;
  const uint8_t dataL[12] = {4, 0, 24, 0, 0, 0, 1, 0, 'D', 'A', 'T', 'A'};
  const uint8_t dataM[12] = {4, 0, 0, 0, 0, 24, 0, 1, 'D', 'A', 'T', 'A'};
  EXPECT_EQ(std::memcmp(l, dataL, 12), 0);
  EXPECT_EQ(std::memcmp(m, dataM, 12), 0);
  const uint8_t docsL[14] = {5, 0, 25, 0, 0, 0, 2, 0, 'D', 'O', 'C', 'S', '1', 0};
  const uint8_t docsM[14] = {5, 0, 0, 0, 0, 25, 0, 2, 'D', 'O', 'C', 'S', '1', 0};
  EXPECT_EQ(std::memcmp(l + 12, docsL, 14), 0);
  EXPECT_EQ(std::memcmp(m + 12, docsM, 14), 0);
  // Joliet: names in UTF-16BE, never a pad byte; based on the Joliet area.
  EXPECT_EQ(c_.JolietPathTableSize, 10u + 16 + 18);
  const uint8_t* jl = MetaSector(c_, c_.JolietPathTableL) + 10;
  EXPECT_EQ(jl[0], 8);
  EXPECT_EQ(LE32(jl + 2), c_.JolietDirArea + 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(jl + 8), 8), std::string("\0D\0A\0T\0A", 8));
  const uint8_t* jm = MetaSector(c_, c_.JolietPathTableM) + 10 + 16;
  EXPECT_EQ(jm[0], 10);
  EXPECT_EQ(BE32(jm + 2), c_.JolietDirArea + 2);
  EXPECT_EQ(BE16(jm + 6), 2);
}

TEST_F(DirRecordTest, PathTableOfExactlyTwoSectors) {
  // 10 + 254 x 16 + 22 = 4096 bytes.
  for (int i = 0; i < 254; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "DIR%05d", i);
    ASSERT_NE(AddDir(c_, Root(), name), nullptr);
  }
  ASSERT_NE(AddDir(c_, Root(), "FOURTEEN_CHARS"), nullptr);
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(c_.PathTableSize, 4096u);
  EXPECT_EQ(c_.PathTableM, c_.PathTableL + 2);
  EXPECT_EQ(c_.JolietPathTableL, c_.PathTableM + 2);
  // The big-endian table starts right after the little-endian one.
  EXPECT_EQ(MetaSector(c_, c_.PathTableM)[0], 1);
  EXPECT_EQ(BE32(MetaSector(c_, c_.PathTableM) + 2), c_.DirArea);
}

TEST_F(DirRecordTest, RecordsNeverCrossASector) {
  // After the dot records 1980 bytes are left: 45 records of 44 bytes fill
  // them exactly; the 46th opens a second sector.
  TDEntry* full = AddDir(c_, Root(), "FULL");
  TDEntry* over = AddDir(c_, Root(), "OVER");
  TDEntry* mixed = AddDir(c_, Root(), "MIXED");
  for (int i = 0; i < 46; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "F%05d.A", i);  // F00000.A;1: 10 bytes, record 44
    if (i < 45) {
      ASSERT_TRUE(AddFileEntry(c_, full, name, 1));
    }
    ASSERT_TRUE(AddFileEntry(c_, over, name, 1));
  }
  // Records of 44 bytes up to 2004, then one of 46 that does not fit the 44 left.
  for (int i = 0; i < 44; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "G%05d.A", i);
    ASSERT_TRUE(AddFileEntry(c_, mixed, name, 1));
  }
  ASSERT_TRUE(AddFileEntry(c_, mixed, "LONGER_N.AME", 1));  // LONGER_N.AME;1: 14 bytes, record 48
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));

  EXPECT_EQ(full->ISODirSize, 2048);
  const auto f = Records(TTree::ISO, *full);
  ASSERT_EQ(f.size(), 47u);
  EXPECT_EQ(f.back().Offset + f.back().Bytes.size(), 2048u);

  EXPECT_EQ(over->ISODirSize, 4096);
  const auto o = Records(TTree::ISO, *over);
  ASSERT_EQ(o.size(), 48u);
  EXPECT_EQ(o.back().Offset, 2048u);
  EXPECT_EQ(o.back().Name(), "F00045.A;1");

  EXPECT_EQ(mixed->ISODirSize, 4096);
  const auto m = Records(TTree::ISO, *mixed);
  ASSERT_EQ(m.size(), 47u);
  EXPECT_EQ(m[45].Offset, 68u + 44 * 43);
  EXPECT_EQ(m.back().Offset, 2048u);
  const uint8_t* ext = MetaSector(c_, c_.DirArea + mixed->ISODirOffset);
  for (size_t i = 2004; i < 2048; ++i) EXPECT_EQ(ext[i], 0) << i;
  // The directory extents follow one another as measured.
  EXPECT_EQ(over->ISODirOffset, full->ISODirOffset + 1);
  EXPECT_EQ(mixed->ISODirOffset, over->ISODirOffset + 2);
  // In the Joliet tree every record is longer, so these directories take two sectors.
  EXPECT_EQ(full->JolietDirSize, 4096);
  for (const TRecord& r : Records(TTree::Joliet, *over)) EXPECT_LE(r.Offset % 2048 + r.Bytes.size(), 2048u);
}

TEST_F(DirRecordTest, FlagsEmptyFilesAndSubdirectoryRecords) {
  TDEntry* hidden = AddDir(c_, Root(), ".hid", faDirectory | faHidden);
  ASSERT_NE(hidden, nullptr);
  ASSERT_TRUE(AddFileEntry(c_, Root(), ".secret", 10, faArchive | faHidden));
  ASSERT_TRUE(AddFileEntry(c_, Root(), "empty.txt", 0));
  ASSERT_TRUE(AddFileEntry(c_, hidden, "in.txt", 5));
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  for (TTree tree : {TTree::ISO, TTree::Joliet}) {
    const auto r = Records(tree, *Root());
    ASSERT_EQ(r.size(), 5u);
    // In identifier order: ".secret" (an empty name before its extension), ".hid", "empty.txt".
    EXPECT_EQ(r[3].Flags(), 0x03);  // hidden directory
    const bool iso = tree == TTree::ISO;
    EXPECT_EQ(r[3].Extent(), (iso ? c_.DirArea : c_.JolietDirArea) + 1);
    EXPECT_EQ(r[3].DataLength(), 2048u);
    EXPECT_EQ(r[2].Flags(), 0x01);  // hidden file
    EXPECT_EQ(r[4].Flags(), 0x00);
    EXPECT_EQ(r[4].Extent(), 0u);  // empty file
    EXPECT_EQ(r[4].DataLength(), 0u);
    EXPECT_EQ(LE32(&r[4].Bytes[2]), 0u);
    // The subdirectory's ".." points back to the root.
    const auto s = Records(tree, *hidden);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].Extent(), r[3].Extent());
    EXPECT_EQ(s[1].Extent(), iso ? c_.DirArea : c_.JolietDirArea);
    EXPECT_EQ(s[0].Flags(), 0x02);  // the dot records carry no hidden flag
  }
}

TEST_F(DirRecordTest, JolietDotRecordCarriesTheJolietSize) {
  TDEntry* d = AddDir(c_, Root(), "big");
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(AddFileEntry(c_, d, "a rather long file name " + std::to_string(i) + ".txt", 1));
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  ASSERT_EQ(d->ISODirSize, 2048);
  ASSERT_EQ(d->JolietDirSize, 4096);
  const auto j = Records(TTree::Joliet, *d);
  EXPECT_EQ(LE32(&j[0].Bytes[10]), 4096u);
  EXPECT_EQ(BE32(&j[0].Bytes[14]), 4096u);
  const auto i = Records(TTree::ISO, *d);
  EXPECT_EQ(i[0].DataLength(), 2048u);
  // The parent's entry for the directory carries the same sizes.
  const auto r = Records(TTree::Joliet, *Root());
  EXPECT_EQ(r[2].DataLength(), 4096u);
  EXPECT_EQ(Records(TTree::ISO, *Root())[2].DataLength(), 2048u);
}

}  // namespace
