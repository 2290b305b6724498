// The UDF side of a bridge image, read back from the plan's metadata the way
// a reader finds it: from the anchor at 256 to the volume descriptors, the
// partition, the file set, the file entries and the identifiers. Every
// descriptor's checksum, CRC and location are checked on the way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "iso/image_helpers.h"
#include "iso/iso.h"

using namespace isotest;

namespace {

// CRC-ITU-T computed bit by bit, independently of the writer's table.
uint16_t SlowCrc(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint16_t>(p[i] << 8);
    for (int k = 0; k < 8; ++k) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

class UdfTest : public ::testing::Test {
protected:
  // The bytes of absolute sector Lba, from the metadata or the tail.
  std::vector<uint8_t> Sector(uint32_t Lba) const {
    const TImagePlan& p = *c_.Plan;
    std::vector<uint8_t> s(2048);
    const int64_t rel = int64_t{Lba} - p.StartAddress;
    if (rel >= p.TailSector && p.TailStream.Size() > 0)
      p.TailStream.Read((rel - p.TailSector) * 2048, s);
    else
      p.MetadataStream.Read(rel * 2048, s);
    return s;
  }
  // Checks the descriptor tag at the start of s (or at Offset) and gives its identifier.
  uint16_t Tag(const std::vector<uint8_t>& s, uint32_t Location, size_t Offset = 0) {
    const uint8_t* d = s.data() + Offset;
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
    EXPECT_EQ(d[4], sum) << "checksum at " << Location;
    const uint16_t length = LE16(d + 10);
    EXPECT_LE(Offset + 16 + length, s.size());
    EXPECT_EQ(LE16(d + 8), SlowCrc(d + 16, length)) << "CRC at " << Location;
    EXPECT_EQ(LE32(d + 12), Location);
    EXPECT_EQ(LE16(d + 2), 2);
    return LE16(d);
  }
  VEZEZadira c_;
};

// A file of 240 GiB takes 241 extents: 233 in its entry, the rest in an
// allocation extent descriptor its entry points to; every extent is at most
// 2^30 - 2048 bytes, they follow one another, and they add up to the size.
// A file an earlier session holds at sector 200 is kept where it lies: the
// partition starts there.
TEST_F(UdfTest, DescriptorsCheckAndLargeFilesChainTheirExtents) {
  c_.UDF = true;
  c_.IdVolume = "Label";
  TDEntry* dir = AddDir(c_, c_.RootDirectory(), "folder");
  const int64_t huge = int64_t{240} << 30;
  ASSERT_TRUE(c_.AddFile(dir, Found("huge.bin", huge), "/nonexistent/huge.bin", 0));
  ASSERT_TRUE(AddFileEntry(c_, c_.RootDirectory(), "small.txt", 100));
  ASSERT_TRUE(c_.AddFile(c_.RootDirectory(), Found("old.bin", 5000), "", 200));
  // Times further apart than 68 years, as a file's own fields.
  for (TFEntry* e = c_.RootDirectory()->Entries; e != nullptr; e = e->Next)
    if (e->LongName == "small.txt") e->RR = TRockRidge{true, 0100640, 1000, 100, 2200000000, -2000000000, 2200000100, "", ""};
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));

  const std::vector<uint8_t> anchor = Sector(256);
  ASSERT_EQ(Tag(anchor, 256), 2);
  const uint32_t main = LE32(&anchor[20]), reserve = LE32(&anchor[28]);
  const std::vector<uint8_t> last = Sector(static_cast<uint32_t>(c_.EndSector - 1));
  EXPECT_EQ(Tag(last, static_cast<uint32_t>(c_.EndSector - 1)), 2);
  EXPECT_EQ(std::memcmp(&last[16], &anchor[16], 16), 0);
  uint32_t partition = 0, fsd = 0, integrity = 0;
  for (const uint32_t seq : {main, reserve}) {
    std::vector<uint16_t> ids;
    for (uint32_t s = seq; ids.empty() || ids.back() != 8; ++s) {
      const std::vector<uint8_t> d = Sector(s);
      ids.push_back(Tag(d, s));
      if (ids.back() == 5) partition = LE32(&d[188]);
      if (ids.back() == 6) {
        fsd = LE32(&d[252]);
        integrity = LE32(&d[436]);
      }
    }
    EXPECT_EQ(ids, (std::vector<uint16_t>{1, 4, 5, 6, 7, 8}));
  }
  const std::vector<uint8_t> lvid = Sector(integrity);
  ASSERT_EQ(Tag(lvid, integrity), 9);
  EXPECT_EQ(LE32(&lvid[28]), 1u);  // closed
  EXPECT_EQ(LE32(&lvid[120]), 3u);  // files
  EXPECT_EQ(LE32(&lvid[124]), 2u);  // directories, the root included
  EXPECT_EQ(partition, 200u);

  const std::vector<uint8_t> set = Sector(partition + fsd);
  ASSERT_EQ(Tag(set, fsd), 256);
  const uint32_t root = LE32(&set[404]);
  const std::vector<uint8_t> rootEntry = Sector(partition + root);
  ASSERT_EQ(Tag(rootEntry, root), 261);
  // The root's identifiers: the parent, "folder" and "small.txt".
  const std::vector<uint8_t> rootData = Sector(partition + LE32(&rootEntry[180]));
  std::vector<std::string> names;
  uint32_t folderEntry = 0, smallEntry = 0, oldEntry = 0;
  for (size_t at = 0; at < LE32(&rootEntry[56]);) {
    EXPECT_EQ(Tag(rootData, LE32(&rootEntry[180]), at), 257);
    const uint8_t l = rootData[at + 19];
    names.emplace_back(reinterpret_cast<const char*>(&rootData[at + 38]), l);
    if (names.back() == "\x08" "folder") folderEntry = LE32(&rootData[at + 24]);
    if (names.back() == "\x08" "small.txt") smallEntry = LE32(&rootData[at + 24]);
    if (names.back() == "\x08" "old.bin") oldEntry = LE32(&rootData[at + 24]);
    at += (38 + l + 3) / 4 * 4;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"", "\x08" "folder", "\x08" "small.txt", "\x08" "old.bin"}));
  const std::vector<uint8_t> old = Sector(partition + oldEntry);
  ASSERT_EQ(Tag(old, oldEntry), 261);
  EXPECT_EQ(LE32(&old[172]), 8u);  // one extent: 5000 bytes at the partition's first block
  EXPECT_EQ(LE32(&old[176]), 5000u);
  EXPECT_EQ(LE32(&old[180]), 0u);
  // Its entry: owner, group, permissions (owner rw, group r) and the years of
  // its access, modification and change times.
  const std::vector<uint8_t> small = Sector(partition + smallEntry);
  ASSERT_EQ(Tag(small, smallEntry), 261);
  EXPECT_EQ(LE32(&small[36]), 1000u);
  EXPECT_EQ(LE32(&small[40]), 100u);
  EXPECT_EQ(LE32(&small[44]), (0x04u << 5) | (0x04u | 0x02u | 0x08u | 0x10u) << 10);
  EXPECT_EQ(LE16(&small[72 + 2]), 1906);
  EXPECT_EQ(LE16(&small[84 + 2]), 2039);
  EXPECT_EQ(LE16(&small[96 + 2]), 2039);

  const std::vector<uint8_t> folder = Sector(partition + folderEntry);
  ASSERT_EQ(Tag(folder, folderEntry), 261);
  const std::vector<uint8_t> folderData = Sector(partition + LE32(&folder[180]));
  const uint32_t hugeEntry = LE32(&folderData[40 + 24]);  // after the parent's identifier
  const std::vector<uint8_t> entry = Sector(partition + hugeEntry);
  ASSERT_EQ(Tag(entry, hugeEntry), 261);
  EXPECT_EQ(entry[27], 5);
  EXPECT_EQ(LE32(&entry[56]) | uint64_t{LE32(&entry[60])} << 32, static_cast<uint64_t>(huge));
  // The extents, following the chain.
  int64_t total = 0, expected = int64_t{c_.FirstFileSector} - partition;
  int count = 0;
  std::vector<uint8_t> block = entry;
  size_t at = 176, end = 176 + LE32(&entry[172]);
  while (at < end) {
    const uint32_t length = LE32(&block[at]), position = LE32(&block[at + 4]);
    if (length >> 30 == 3) {
      block = Sector(partition + position);
      EXPECT_EQ(Tag(block, position), 258);
      at = 24;
      end = 24 + LE32(&block[20]);
      continue;
    }
    EXPECT_LE(length, (1u << 30) - 2048);
    EXPECT_EQ(position, expected);
    expected += (length + 2047) / 2048;
    total += length;
    ++count;
    at += 8;
  }
  EXPECT_EQ(total, huge);
  EXPECT_EQ(count, 241);
}

}  // namespace
