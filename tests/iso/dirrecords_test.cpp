// Path tables and directory records: record layouts byte for byte, names in
// both trees, the sector-boundary rule, the dot records, and the compact form
// the extents are kept in until the stream reads them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "iso/image_helpers.h"
#include "iso/iso.h"
#include "iso/writers.h"

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

// ---- the compact extents

// A directory record: the fields, the name, the pad byte and the system use bytes.
std::vector<uint8_t> MakeRecord(uint32_t extent, uint32_t length, uint8_t flags, const std::string& name,
                                const std::string& su = {}) {
  std::vector<uint8_t> r(33 + name.size() + (name.size() % 2 == 0 ? 1 : 0), 0);
  PutBoth32(&r[2], extent);
  PutBoth32(&r[10], length);
  const uint8_t date[7] = {123, 11, 14, 22, 13, 20, 4};
  std::memcpy(&r[18], date, 7);
  r[25] = flags;
  PutBoth16(&r[28], 1);
  r[32] = static_cast<uint8_t>(name.size());
  std::memcpy(&r[33], name.data(), name.size());
  r.insert(r.end(), su.begin(), su.end());
  r[0] = static_cast<uint8_t>(r.size());
  return r;
}

std::string Field(const char* sig, const std::string& data) {
  return std::string{sig[0], sig[1], static_cast<char>(4 + data.size()), '\1'} + data;
}

std::string Both(uint32_t v) {
  uint8_t b[8];
  PutBoth32(b, v);
  return std::string(reinterpret_cast<const char*>(b), 8);
}

std::string PX(uint32_t mode, uint32_t serial) { return Field("PX", Both(mode) + Both(1) + Both(0) + Both(0) + Both(serial)); }
std::string TF(size_t timeBytes) {
  std::string t(1, timeBytes == 7 ? '\x0E' : '\x8E');
  for (size_t i = 0; i < 3 * timeBytes; ++i) t += static_cast<char>('0' + i % 10);
  return Field("TF", t);
}
std::string NM(const std::string& name) { return Field("NM", std::string(1, '\0') + name); }
std::string Even(std::string su, size_t nameLength) {
  if ((33 + nameLength + (nameLength % 2 == 0 ? 1 : 0) + su.size()) % 2 != 0) su += '\0';
  return su;
}

// Every shape of record the walk gives, and some it does not: each reads
// back exactly as written, at any offset and in pieces of any size, and
// those of the usual shapes are not kept whole.
// Directory extents beside the bytes they should read back as: records go
// into both as the walk puts them, never across a sector.
struct TExtentsAndBytes {
  TDirectoryExtents Extents;
  TMemoryStream Expected;
  size_t Used = 0;
  void Add(const std::vector<uint8_t>& r) {
    if (Used + r.size() > 2048) Zeros(2048 - Used);
    Extents.Record(r);
    Expected.Write(r);
    Used = (Used + r.size()) % 2048;
  }
  void Zeros(size_t n) {
    Extents.Zeros(n);
    Expected.WriteZeros(n);
    Used = (Used + n) % 2048;
  }
  // Ends the last sector (and Extra zeros more) and reads back in pieces of each size.
  void ExpectReadsBack(std::initializer_list<size_t> Pieces, size_t Extra = 0) {
    Zeros((2048 - Used) % 2048 + Extra);
    Extents.Shrink();
    ASSERT_EQ(Extents.Size(), Expected.Size());
    for (const size_t piece : Pieces)
      for (int64_t at = 0; at < Expected.Size(); at += static_cast<int64_t>(piece)) {
        std::vector<uint8_t> want(std::min<size_t>(piece, static_cast<size_t>(Expected.Size() - at)));
        std::vector<uint8_t> got(want.size(), 0xAA);
        Expected.Read(at, want);
        Extents.Fill(at, got);
        ASSERT_EQ(got, want) << "at " << at << ", pieces of " << piece;
      }
  }
};

TEST(DirectoryExtents, ReadBackAsWrittenAndUsualRecordsKeptCompact) {
  const std::string joliet("\0F\0i\0l\0e\0.\0t\0x\0t\0;\0" "1", 20);
  const struct {
    const char* What;
    std::vector<uint8_t> Record;
    bool Whole;
  } cases[] = {
      {"ISO file", MakeRecord(1000, 12345, 0, "FILE.TXT;1"), false},
      {"Joliet file", MakeRecord(1000, 12345, 1, joliet), false},
      {"Joliet file beyond Latin-1", MakeRecord(1000, 12345, 0, std::string("\x30\x42\0;\0" "1", 6)), false},
      {"Joliet file of one unit", MakeRecord(1000, 12345, 0, std::string("\0x", 2)), false},
      {"part of a multi-extent file", MakeRecord(7, 0xFFFFF800u, 0x80, "BIG.BIN;1"), false},
      {"Rock Ridge file", MakeRecord(5, 6, 0, "A.TXT;1", Even(PX(0100444, 9) + TF(7) + NM("a.txt"), 7)), false},
      {"Rock Ridge name of odd length", MakeRecord(5, 6, 0, "AB.TXT;1", Even(PX(0100444, 10) + TF(7) + NM("ab.txt"), 8)), false},
      {"Rock Ridge dot record", MakeRecord(20, 2048, 2, std::string(1, '\1'), Even(PX(040555, 11) + TF(7), 1)), false},
      {"Rock Ridge long times", MakeRecord(5, 6, 0, "L.TXT;1", Even(PX(0100444, 12) + TF(17) + NM("l.txt"), 7)), false},
      {"Rock Ridge other owner", MakeRecord(5, 6, 0, "O.TXT;1", Even(PX(0100600, 13) + TF(7) + NM("o.txt"), 7)), false},
      {"symbolic link", MakeRecord(0, 0, 0, "LN;1", Even(PX(0120777, 14) + TF(7) + NM("ln") + Field("SL", std::string("\0\0\1x", 4)), 4)), true},
      {"continued fields", MakeRecord(0, 0, 0, "C;1", Even(PX(0100444, 15) + TF(7) + Field("CE", Both(300) + Both(0) + Both(60)), 3)), true},
      {"root's dot record", MakeRecord(20, 2048, 2, std::string(1, '\0'), Even(Field("SP", "\xBE\xEF\0") + PX(040555, 1) + TF(7), 1)), true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.What);
    // Between whole sectors of other records, and across the end of a sector.
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < 25; ++i) records.push_back(MakeRecord(uint32_t(i), 2048, 0, "F" + std::to_string(i) + ".DAT;1"));
    records.push_back(k.Record);
    TExtentsAndBytes e;
    for (int round = 0; round < 2; ++round)
      for (const auto& r : records) e.Add(r);
    // Zeros to the end of the sector and a whole one more.
    e.ExpectReadsBack({2048, 777, 1, 6000}, 2048);
    EXPECT_EQ(e.Extents.WholeRecords(), k.Whole ? 2u : 0u);
  }
}

// The records of a directory as the walk gives them, a few hundred of them
// over several sectors, each shape of change from one record to the next:
// they read back exactly, none is kept whole, and a run much alike keeps
// few bytes a record.
TEST(DirectoryExtents, RecordsToldByWhatDiffersFromTheOneBefore) {
  // Seven bytes of a time, the seconds and minutes from t.
  auto time = [](int t) { return std::string{'\x7E', '\x0C', '\x0A', '\x0A', '\x17', char(t / 60 % 60), char(t % 60)}; };
  auto tf = [](const std::string& m, const std::string& a, const std::string& c) { return Field("TF", "\x0E" + m + a + c); };
  const struct {
    const char* What;
    std::function<std::vector<uint8_t>(int)> Make;
    size_t MostBytes;  // kept a record, on average (a sector's first record tells all)
  } cases[] = {
      {"Rock Ridge files in order",
       [&](int i) {
         const std::string name = "FILE_" + std::to_string(i) + ".DAT";
         return MakeRecord(1000 + uint32_t(i), 100 + uint32_t(i), 0, name + ";1",
                           Even(PX(0100444, 50 + uint32_t(i)) + tf(time(7), time(7), time(7)) + NM("f" + name), name.size() + 2));
       },
       18},
      {"Joliet files in order", [&](int i) { return MakeRecord(1000 + uint32_t(i), 100, 0, JolietBytes("file " + std::to_string(i) + ".txt;1")); }, 8},
      {"extents and serials apart, sizes large",
       [&](int i) {
         return MakeRecord(uint32_t(i * i * 977), 0x7FFF0000u + uint32_t(i), 0, "A" + std::to_string(i) + ";1",
                           Even(PX(0100444, uint32_t(i * 7919)) + tf(time(7), time(7), time(7)), std::to_string(i).size() + 3));
       },
       40},
      {"times of their own, modify the record's date",
       [&](int i) {
         std::vector<uint8_t> r = MakeRecord(5, 6, 0, "T.TXT;1", Even(PX(0100444, 9) + tf(time(i), time(3 * i), time(i + 1)) + NM("t.txt"), 7));
         const std::string date = time(i);
         std::memcpy(&r[18], date.data(), 7);
         return r;
       },
       30},
      {"owners and flags alternate, some names without NM",
       [&](int i) {
         const std::string nm = i % 3 == 0 ? std::string() : NM("n" + std::to_string(i));
         return MakeRecord(5, 6, uint8_t(i % 2 ? 2 : 0), "N" + std::to_string(i) + ";1",
                           Even(PX(i % 2 ? 040555 : 0100600, 9) + tf(time(7), time(7), time(7)) + nm, std::to_string(i).size() + 3));
       },
       40},
      {"names of every length sharing nothing",
       [&](int i) {
         const std::string name(size_t(1 + i % 100), char('A' + i % 26));
         return MakeRecord(5, 6, 0, name, Even(PX(0100444, 9) + tf(time(7), time(7), time(7)) + NM(std::string(size_t(1 + i % 40), char('a' + i % 26))), name.size()));
       },
       300},
      {"long times", [&](int i) { return MakeRecord(5, 6, 0, "L.TXT;1", Even(PX(0100444, uint32_t(12 + i)) + TF(17) + NM("l.txt"), 7)); }, 18},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.What);
    TExtentsAndBytes e;
    const int count = 300;
    for (int i = 0; i < count; ++i) e.Add(k.Make(i));
    e.ExpectReadsBack({2048, 777});
    EXPECT_EQ(e.Extents.WholeRecords(), 0u);
    EXPECT_LE(e.Extents.KeptBytes(), k.MostBytes * count);
  }
}

// A record the walk would never give: one that crosses a sector, and fields
// that say other than the bytes (both byte orders differing, extended
// attributes, a volume number in one byte order), bytes that are no record.
// They read back as written all the same.
TEST(DirectoryExtents, OddRecordsReadBackAsWritten) {
  std::vector<uint8_t> orders = MakeRecord(1, 2, 0, "X.Y;1");
  orders[9] ^= 1;  // the big-endian extent
  std::vector<uint8_t> attributes = MakeRecord(1, 2, 0, "X.Y;1");
  attributes[1] = 1;
  std::vector<uint8_t> volume = MakeRecord(1, 2, 0, "X.Y;1");
  volume[31] = 0;  // volume sequence number 1 in one byte order only
  TDirectoryExtents extents;
  TMemoryStream expected;
  extents.Zeros(2000);
  expected.WriteZeros(2000);
  std::vector<uint8_t> run(300);  // longer than a length byte can say
  for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<uint8_t>(i * 7 + 1);
  for (const auto& r : {orders, attributes, volume, run}) {
    extents.Record(r);
    expected.Write(r);
  }
  ASSERT_EQ(extents.Size(), expected.Size());
  EXPECT_EQ(extents.WholeRecords(), 6u);  // the first and the run in two pieces each
  std::vector<uint8_t> want(static_cast<size_t>(expected.Size())), got(want.size());
  expected.Read(0, want);
  extents.Fill(0, got);
  EXPECT_EQ(got, want);
}

}  // namespace
