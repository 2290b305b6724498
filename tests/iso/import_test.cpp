// Import of an earlier session: sessions made by independent tools, recorded
// onto a virtual disc and carried into a new session byte for byte; the cases
// of the import on discs built sector by sector in memory; and hostile discs,
// whose bad records must end the reading without harm.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/memory_drive.h"
#include "iso/image_helpers.h"
#include "iso/iso.h"
#include "iso/udf_private.h"
#include "record/record_helpers.h"
#include "vrecorder/vrecorder.h"

namespace {

using memdrive::TMemoryDisc;
using memdrive::TMemoryDrive;

// ---------------------------------------------------------------- disc builder
// A directory record as written on the disc.
struct TRec {
  TRec(std::string name, uint32_t extent, uint32_t size, uint8_t flags = 0)
      : Name(std::move(name)), Extent(extent), Size(size), Flags(flags) {}
  std::string Name;  // raw name bytes (UCS-2 for Joliet: use J())
  uint32_t Extent = 0;
  uint32_t Size = 0;
  uint8_t Flags = 0;
  std::array<uint8_t, 6> Date{104, 5, 6, 7, 8, 10};  // 2004-05-06 07:08:10
  std::string SystemUse;
};

std::string J(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += '\0';
    out += c;
  }
  return out;
}

std::vector<uint8_t> RecordBytes(const TRec& r) {
  const size_t n = r.Name.size();
  const size_t length = 33 + n + (n % 2 == 0 ? 1 : 0) + r.SystemUse.size();
  std::vector<uint8_t> b(length, 0);
  b[0] = static_cast<uint8_t>(length);
  PutBoth32(&b[2], r.Extent);
  PutBoth32(&b[10], r.Size);
  std::copy(r.Date.begin(), r.Date.end(), b.begin() + 18);
  b[25] = r.Flags;
  PutBoth16(&b[28], 1);
  b[32] = static_cast<uint8_t>(n);
  std::memcpy(&b[33], r.Name.data(), n);
  std::memcpy(&b[33 + n + (n % 2 == 0 ? 1 : 0)], r.SystemUse.data(), r.SystemUse.size());
  return b;
}

// Writes a directory at lba: "." and "..", then the records, a record that
// does not fit starting the next sector. Returns its data length.
uint32_t PutDirectory(TMemoryDisc& disc, uint32_t lba, uint32_t parent, const std::vector<TRec>& recs,
                      uint32_t sectors = 0, const std::string& selfUse = {}) {
  std::vector<TRec> all{{std::string(1, '\0'), lba, 0, 0x02}, {std::string(1, '\1'), parent, 0, 0x02}};
  all[0].SystemUse = selfUse;
  all.insert(all.end(), recs.begin(), recs.end());
  uint32_t sector = 0, offset = 0;
  for (const TRec& r : all) {
    const auto bytes = RecordBytes(r);
    if (offset + bytes.size() > 2048) {
      ++sector;
      offset = 0;
    }
    std::memcpy(disc.Sector(lba + sector) + offset, bytes.data(), bytes.size());
    offset += static_cast<uint32_t>(bytes.size());
  }
  const uint32_t used = std::max(sector + 1, sectors);
  disc.Sector(lba + used - 1);
  // The self record carries the length.
  PutBoth32(disc.Sector(lba) + 10, used * 2048);
  return used * 2048;
}

void PutDescriptor(TMemoryDisc& disc, uint32_t lba, uint8_t type, uint32_t root, uint32_t rootLength) {
  uint8_t* s = disc.Sector(lba);
  std::memset(s, 0, 2048);
  s[0] = type;
  std::memcpy(s + 1, "CD001", 5);
  s[6] = 1;
  if (type == 2) std::memcpy(s + 88, "%/E", 3);
  if (type != 0xFF) {
    const auto rootRecord = RecordBytes({std::string(1, '\0'), root, rootLength, 0x02});
    std::memcpy(s + 156, rootRecord.data(), 34);
  }
}

// One session at `start` (track `track`): a primary descriptor whose ISO root
// is at isoRoot, a Joliet descriptor when jolietRoot is not 0, a terminator.
void PutSession(TMemoryDisc& disc, uint8_t track, uint32_t start, uint32_t size, uint32_t isoRoot,
                uint32_t isoLength, uint32_t jolietRoot = 0, uint32_t jolietLength = 0) {
  disc.Tracks[track] = {start, size};
  PutDescriptor(disc, start + 16, 1, isoRoot, isoLength);
  uint32_t next = start + 17;
  if (jolietRoot != 0) PutDescriptor(disc, next++, 2, jolietRoot, jolietLength);
  PutDescriptor(disc, next, 0xFF, 0, 0);
  disc.Sector(start + size - 1);
}

// A component on an in-memory disc, with its messages collected.
struct TImportFixture : ::testing::Test {
  TMemoryDisc Disc;
  TMemoryDrive Drive{Disc};
  VEZEZadira C;

  std::vector<std::pair<std::string, uint8_t>> Messages;

  isotest::TInstantClock Clock;
  isotest::TClockScope ClockScope{&Clock};

  TImportFixture() {
    TMemoryDrive::Select(C);
    C.OnDebugMessage = [this](TObject*, const std::string& m, uint8_t kind) {
      Messages.emplace_back(m, kind);
    };
  }
  int Count(const std::string& part, uint8_t kind) const {
    return static_cast<int>(std::count_if(Messages.begin(), Messages.end(), [&](const auto& m) {
      return m.second == kind && m.first.find(part) != std::string::npos;
    }));
  }
  TFEntry* Entry(const std::string& dirPath, const std::string& name) {
    return C.FindEntry(C.FindDirectory(dirPath), name);
  }
  // A single session at 0 with a Joliet tree whose root holds recs.
  void JolietDisc(const std::vector<TRec>& recs, uint32_t size = 400) {
    Disc.SetSessions(1);
    PutDirectory(Disc, 20, 20, {{"ISO.TXT;1", 300, 1}});
    const uint32_t len = PutDirectory(Disc, 30, 30, recs);
    PutSession(Disc, 1, 0, size, 20, 2048, 30, len);
  }
  void ISODisc(const std::vector<TRec>& recs, uint32_t size = 400) {
    Disc.SetSessions(1);
    const uint32_t len = PutDirectory(Disc, 20, 20, recs);
    PutSession(Disc, 1, 0, size, 20, len);
  }
};

// ---------------------------------------------------------------- the import's cases
TEST_F(TImportFixture, LastSessionIsTakenForFFAndANumberBeyondItRefused) {
  Disc.SetSessions(3);
  for (uint8_t s = 1; s <= 3; ++s) {
    const uint32_t start = 1000 * (s - 1);
    const uint32_t len = PutDirectory(Disc, start + 20, start + 20, {{"S" + std::to_string(s) + ".TXT;1", start + 30, 5}});
    PutSession(Disc, s, start, 100, start + 20, len);
  }
  for (int asked : {255, 128}) {  // 80h-FEh name no session either: the last one
    C.ResetImageBuilder(kMaxFiles, kMaxDirs);
    Messages.clear();
    EXPECT_TRUE(C.ImportPreviousSession(static_cast<int8_t>(asked), nullptr));
    EXPECT_EQ(Count(">>> IMPORTING SESSION # 3", MSG_INFO), 1) << asked;
    EXPECT_NE(Entry("\\", "S3.TXT"), nullptr) << asked;
    EXPECT_EQ(Entry("\\", "S1.TXT"), nullptr) << asked;
  }
  C.ResetImageBuilder(kMaxFiles, kMaxDirs);
  EXPECT_TRUE(C.ImportPreviousSession(2, nullptr));
  EXPECT_NE(Entry("\\", "S2.TXT"), nullptr);
  // A session the disc does not have is refused, not replaced by another.
  C.ResetImageBuilder(kMaxFiles, kMaxDirs);
  EXPECT_EQ(C.ImportSessionTree(5, nullptr), VEZEZadira::TImportResult::Failed);
  EXPECT_EQ(Count(">>> ERROR IMPORTING SESSION 5 (THE DISC HOLDS 3 SESSIONS)", MSG_FILE), 1);
  EXPECT_EQ(C.FileCount(), 0);
}

TEST_F(TImportFixture, BlankDiscImportsNothingAndSaysNothing) {
  Disc.SetSessions(0);
  EXPECT_FALSE(C.ImportPreviousSession(-1, nullptr));
  EXPECT_TRUE(Messages.empty());
  EXPECT_EQ(C.FileCount(), 0);
  EXPECT_EQ(Disc.Reads, 0u);
}

TEST_F(TImportFixture, UnreadableTrackOrNoDescriptorIsReported) {
  Disc.SetSessions(1);
  EXPECT_FALSE(C.ImportPreviousSession(1, nullptr));
  EXPECT_EQ(Count(">>> ERROR IMPORTING SESSION # 1", MSG_FILE), 1);
  Disc.Tracks[1] = {0, 100};
  Disc.Sector(99);
  EXPECT_EQ(C.ImportSessionTree(1, nullptr), VEZEZadira::TImportResult::Failed);
  EXPECT_EQ(Count(">>> ERROR IMPORTING SESSION 1 (ISO IMAGE NOT FOUND)", MSG_FILE), 1);
}

TEST_F(TImportFixture, JolietNamesArePreferredAndVersionsRemoved) {
  JolietDisc({{J("Notes 2004.doc;1"), 200, 5}, {J("Sub Folder"), 40, 2048, 0x02}});
  PutDirectory(Disc, 40, 30, {{J("inner file.txt;1"), 201, 7}});
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  TFEntry* e = Entry("\\", "Notes 2004.doc");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->LongName, "Notes 2004.doc");
  EXPECT_EQ(e->ISOName, "NOTES2_1.DOC");  // a generated 8.3 name of d-characters
  EXPECT_EQ(Entry("\\", "ISO.TXT"), nullptr);
  ASSERT_NE(Entry("\\Sub Folder", "inner file.txt"), nullptr);
  EXPECT_EQ(Entry("\\Sub Folder", "inner file.txt")->ISOSize, 7);
}

TEST_F(TImportFixture, SupplementaryDescriptorWithoutJolietEscapesIsNotReadAsJoliet) {
  // An enhanced volume descriptor: type 2, names in 8-bit characters.
  JolietDisc({{"plain bytes.txt", 200, 5}});
  std::memset(Disc.Sector(17) + 88, 0, 3);
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  EXPECT_NE(Entry("\\", "ISO.TXT"), nullptr);
  EXPECT_EQ(C.FileCount(), 1);
}

TEST_F(TImportFixture, WithoutJolietTheISONamesAreTaken) {
  ISODisc({{"README.TXT;1", 200, 5}, {"SUB", 40, 2048, 0x02}});
  PutDirectory(Disc, 40, 20, {{"INNER.BIN;1", 201, 3000}});
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  ASSERT_NE(Entry("\\", "README.TXT"), nullptr);
  EXPECT_EQ(Entry("\\", "README.TXT")->LongName, "README.TXT");
  ASSERT_NE(Entry("\\SUB", "INNER.BIN"), nullptr);
}

TEST_F(TImportFixture, ImportedFilesKeepExtentsAttributesAndDates) {
  TRec hidden{J("secret.txt;1"), 210, 4096, 0x01};
  hidden.Date = {120, 2, 29, 23, 59, 58};  // 2020-02-29 23:59:58
  JolietDisc({hidden, {J("plain.txt;1"), 212, 1}});
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  TFEntry* e = Entry("\\", "secret.txt");
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->Imported);
  EXPECT_TRUE(e->SourcePath.Empty());
  EXPECT_EQ(e->ISOExtent, 210);
  EXPECT_EQ(e->JolietExtent, 210);
  EXPECT_EQ(e->ISOSize, 4096);
  EXPECT_EQ(e->Attr & faHidden, static_cast<uint32_t>(faHidden));
  const TDateParts p = DecodeDateTime(e->DateTime);
  EXPECT_EQ(std::vector<int>({p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second}),
            std::vector<int>({2020, 2, 29, 23, 59, 58}));
  EXPECT_EQ(Entry("\\", "plain.txt")->Attr & faHidden, 0u);
}

TEST_F(TImportFixture, LongestJolietNameIsTakenALongerOneSkippedWithItsMessage) {
  const std::string longest = std::string(101, 'n') + ".txt";  // with ";1": 107 characters, 214 bytes
  const std::string tooLong = std::string(102, 'x') + ".txt";  // 216 bytes
  JolietDisc({{J(longest + ";1"), 200, 1}, {J(tooLong + ";1"), 201, 1}, {J("after.txt;1"), 202, 1}});
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  EXPECT_NE(Entry("\\", longest), nullptr);
  EXPECT_EQ(Count("ERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS\n\r" + tooLong, MSG_FILE), 1);
  EXPECT_EQ(C.FileCount(), 2);  // the long one is not carried under another name
  EXPECT_NE(Entry("\\", "after.txt"), nullptr);
}

TEST_F(TImportFixture, DirectoryOfThreeSectorsIsReadWhole) {
  std::vector<TRec> recs;
  for (int i = 0; i < 60; ++i) recs.push_back({J("file number " + std::to_string(i) + ".dat;1"), uint32_t(200 + i), 10});
  Disc.SetSessions(1);
  const uint32_t len = PutDirectory(Disc, 30, 30, recs);
  ASSERT_EQ(len, 6144u);
  PutDescriptor(Disc, 16, 1, 30, len);
  PutDescriptor(Disc, 17, 2, 30, len);
  PutDescriptor(Disc, 18, 0xFF, 0, 0);
  Disc.Tracks[1] = {0, 400};
  Disc.Sector(399);
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  EXPECT_EQ(C.FileCount(), 60);
  EXPECT_NE(Entry("\\", "file number 59.dat"), nullptr);
  EXPECT_TRUE(Messages.size() == 1) << Messages.back().first;
}

TEST_F(TImportFixture, ImportedTreeGoesUnderTheGivenDirectory) {
  ISODisc({{"A.TXT;1", 200, 5}});
  TDEntry* target = C.ForcePath("\\OLD");
  ASSERT_TRUE(C.ImportPreviousSession(1, target));
  EXPECT_NE(Entry("\\OLD", "A.TXT"), nullptr);
  EXPECT_EQ(Entry("\\", "A.TXT"), nullptr);
}

// ---------------------------------------------------------------- hostile discs
TEST_F(TImportFixture, ISORecordsAreSteppedByTheirLengthNotTheirName) {
  // Rock Ridge-like system-use data that itself looks like a directory record.
  TRec withSystemUse{"REAL.TXT;1", 200, 5};
  const auto fake = RecordBytes({"FAKE.TXT;1", 300, 5});
  withSystemUse.SystemUse = "RR" + std::string(fake.begin(), fake.end());
  ISODisc({withSystemUse, {"NEXT.TXT;1", 201, 6}});
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  EXPECT_NE(Entry("\\", "REAL.TXT"), nullptr);
  EXPECT_NE(Entry("\\", "NEXT.TXT"), nullptr);
  EXPECT_EQ(Entry("\\", "FAKE.TXT"), nullptr);
  EXPECT_EQ(C.FileCount(), 2);
}

TEST_F(TImportFixture, BadRecordsEndTheImportWithAMessage) {
  struct TCase {
    const char* Name;
    std::function<void(uint8_t* sector, size_t secondRecord)> Spoil;
  };
  const TCase cases[] = {
      {"record crossing the sector end",
       [](uint8_t* s, size_t at) {
         // Self records as filler up to the sector's end, then one running past it.
         std::memset(s + at, 0, 2048 - at);
         size_t o = at;
         for (; o + 200 <= 2000; o += 200) {
           s[o] = 200;
           s[o + 32] = 1;
         }
         s[o] = static_cast<uint8_t>(2048 - o + 10);
         s[o + 32] = 1;
         s[o + 33] = 'Z';
       }},
      {"length byte below the fixed part", [](uint8_t* s, size_t at) { s[at] = 20; }},
      {"length byte below the fixed part plus the name", [](uint8_t* s, size_t at) { s[at + 32] = 100; }},
      {"file extent past the disc's end",
       [](uint8_t* s, size_t at) {
         PutBoth32(s + at + 2, 399);
         PutBoth32(s + at + 10, 4096);
       }},
      {"directory past the disc's end",
       [](uint8_t* s, size_t at) {
         s[at + 25] = 2;
         PutBoth32(s + at + 2, 5000);
       }},
  };
  for (const TCase& t : cases) {
    SCOPED_TRACE(t.Name);
    C.ResetImageBuilder(kMaxFiles, kMaxDirs);
    Messages.clear();
    Disc = TMemoryDisc{};
    ISODisc({{"FIRST.TXT;1", 200, 5}, {"SECOND.TXT;1", 201, 5}, {"THIRD.TXT;1", 202, 5}});
    uint8_t* s = Disc.Sector(20);
    t.Spoil(s, 34 + 34 + s[68]);
    EXPECT_EQ(C.ImportSessionTree(1, nullptr), VEZEZadira::TImportResult::Failed);
    EXPECT_EQ(C.FileCount(), 0);  // nothing of a session that cannot be carried whole
    EXPECT_EQ(Count(">>> ERROR IMPORTING SESSION, ", MSG_FILE), 1);
  }
}

TEST_F(TImportFixture, DirectoryLoopsAreSkipped) {
  Disc.SetSessions(1);
  // \A points back at the root, \B\C at \B.
  const uint32_t len = PutDirectory(Disc, 20, 20, {{"A", 20, 2048, 0x02}, {"B", 21, 2048, 0x02}, {"F.TXT;1", 200, 1}});
  PutDirectory(Disc, 21, 20, {{"C", 21, 2048, 0x02}, {"G.TXT;1", 201, 1}});
  PutSession(Disc, 1, 0, 400, 20, len);
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  EXPECT_EQ(C.FindDirectory("\\A"), nullptr);
  EXPECT_NE(Entry("\\B", "G.TXT"), nullptr);
  EXPECT_EQ(C.FindDirectory("\\B\\C"), nullptr);
  EXPECT_EQ(Count("DIRECTORY LOOP, SKIPPED", MSG_FILE), 2);
  EXPECT_LE(Disc.Reads, 10u);
}

TEST_F(TImportFixture, NestingBeyond255LevelsIsSkipped) {
  Disc.SetSessions(1);
  // Directories at 20, 21, ... each holding the next one.
  const uint32_t levels = 260;
  for (uint32_t i = 0; i < levels; ++i)
    PutDirectory(Disc, 20 + i, i == 0 ? 20 : 19 + i, {{"D", 21 + i, 2048, 0x02}});
  PutDirectory(Disc, 20 + levels, 19 + levels, {});
  PutSession(Disc, 1, 0, 400, 20, 2048);
  C.ResetImageBuilder(kMaxFiles, kMaxDirs);
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  EXPECT_EQ(C.DirectoryCount(), 255);
  EXPECT_EQ(Count("NESTED MORE THAN 255 LEVELS", MSG_FILE), 1);
}

TEST_F(TImportFixture, InvalidDatesAreClampedAndThePreparationGoesOn) {
  TRec badDate{"BAD.TXT;1", 200, 5};
  badDate.Date = {104, 2, 30, 7, 8, 9};  // February 30th
  TRec badTime{"TIME.TXT;1", 201, 5};
  badTime.Date = {104, 5, 6, 25, 61, 99};
  TRec early{"EARLY.TXT;1", 202, 5};
  early.Date = {70, 1, 1, 0, 0, 0};
  TRec late{"LATE.TXT;1", 203, 5};
  late.Date = {255, 12, 31, 0, 0, 0};
  ISODisc({badDate, badTime, early, late});
  C.ImportSession = 1;
  ASSERT_TRUE(C.PrepareImage(false, nullptr));
  auto parts = [&](const char* name) {
    const TDateParts p = DecodeDateTime(Entry("\\", name)->DateTime);
    return std::vector<int>{p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second};
  };
  EXPECT_EQ(parts("BAD.TXT"), (std::vector<int>{1980, 1, 1, 0, 0, 0}));
  EXPECT_EQ(parts("TIME.TXT"), (std::vector<int>{2004, 5, 6, 23, 59, 58}));
  EXPECT_EQ(parts("EARLY.TXT"), (std::vector<int>{1980, 1, 1, 0, 0, 0}));
  EXPECT_EQ(parts("LATE.TXT"), (std::vector<int>{2107, 12, 31, 23, 59, 58}));
}

TEST_F(TImportFixture, EmptyFileAtExtentZeroIsAnImportedEmptyFile) {
  ISODisc({{"EMPTY.TXT;1", 0, 0}, {"DATA.TXT;1", 200, 5}});
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  TFEntry* e = Entry("\\", "EMPTY.TXT");
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->Imported);
  EXPECT_EQ(e->ISOSize, 0);
  EXPECT_TRUE(e->SourcePath.Empty());
  ASSERT_TRUE(C.PrepareImage(true, nullptr));
  EXPECT_EQ(C.FileSectors, 0);  // nothing of the old session is written again
}

// A read error (a descriptor, a directory sector) or an entry the tree cannot
// take ends the import naming the sector, takes back what it added, and the
// preparation fails.
TEST_F(TImportFixture, ReadErrorsAndLimitsEndTheImport) {
  for (const auto& [bad, message] : {std::pair{21u, "DIRECTORY SECTOR 21 CANNOT BE READ"},
                                     std::pair{16u, "(VOLUME DESCRIPTOR SECTOR 16 CANNOT BE READ)"},
                                     std::pair{0u, "MAXIMUM FILES CAN BE 40"}}) {
    C.ResetImageBuilder(bad == 0 ? 40 : kMaxFiles, kMaxDirs);
    Disc = TMemoryDisc{};
    std::vector<TRec> recs;
    for (int i = 0; i < 60; ++i) recs.push_back({"F" + std::to_string(i) + ".TXT;1", uint32_t(200 + i), 10});
    ISODisc(recs);
    Disc.BadSectors.insert(bad);
    EXPECT_EQ(C.ImportSessionTree(1, nullptr), VEZEZadira::TImportResult::Failed);
    EXPECT_EQ(Count(message, bad == 0 ? MSG_LIMIT : MSG_FILE), 1) << message;
    EXPECT_EQ(C.FileCount(), 0);
    C.ImportSession = 1;
    EXPECT_FALSE(C.PrepareImage(false, nullptr));
  }
}

// Names from the disc: only a trailing version is removed; a name no entry can
// carry is refused, named; the user's entries win and folders merge.
TEST_F(TImportFixture, NamesFromTheDiscAndWhatTheUserAdded) {
  JolietDisc({{J("x;1.txt;1"), 200, 1}, {J("x;2.txt;1"), 201, 2}, {J("notes.txt;1"), 203, 4},
              {J("Sub"), 40, 2048, 0x02}, {J("a/b;1"), 204, 5}, {J(".."), 206, 5},
              {std::string("\0c\0\0\0d", 6), 207, 5}});
  PutDirectory(Disc, 40, 30, {{J("old.txt;1"), 210, 6}, {J("mine.txt;1"), 211, 7}});
  C.ReplaceFile = true;
  ASSERT_TRUE(C.AddFile(C.RootDirectory(), isotest::Found("notes.txt", 11), "/src/notes.txt", 0));
  TDEntry* sub = isotest::AddDir(C, C.RootDirectory(), "Sub");
  ASSERT_TRUE(C.AddFile(sub, isotest::Found("mine.txt", 12), "/src/Sub/mine.txt", 0));
  ASSERT_TRUE(C.ImportPreviousSession(1, nullptr));
  EXPECT_TRUE(Entry("\\", "x;1.txt") && Entry("\\", "x;2.txt") && Entry("\\Sub", "old.txt"));
  EXPECT_EQ(Entry("\\", "notes.txt")->SourceText(), "/src/notes.txt");
  EXPECT_EQ(Entry("\\Sub", "mine.txt")->SourceText(), "/src/Sub/mine.txt");
  for (const char* name : {"\\a/b", "\\..", "\\c"})  // (a NUL: named up to it)
    EXPECT_EQ(Count(std::string("INVALID NAME, NOT IMPORTED: ") + name, MSG_FILE), 1) << name;
  EXPECT_EQ(C.FileCount(), 3 + 3);  // the user's two and Sub, x;1, x;2, old.txt
}

// Consecutive extents (whole sectors but the last) are carried as one file;
// parts elsewhere, a part cut mid-sector or a last part missing never.
TEST_F(TImportFixture, FilesInSeveralExtentsAreCarriedOnlyWhole) {
  const std::pair<std::vector<TRec>, int64_t> cases[] = {  // the parts; the size carried, -1 = none
      {{{"BIG.BIN;1", 200, 4096, 0x80}, {"BIG.BIN;1", 202, 100}}, 4196},
      {{{"BIG.BIN;1", 200, 2048, 0x80}, {"BIG.BIN;1", 201, 2048, 0x80}, {"BIG.BIN;1", 202, 1}}, 4097},
      {{{"BIG.BIN;1", 200, 4096, 0x80}, {"BIG.BIN;1", 205, 100}}, -1},
      {{{"BIG.BIN;1", 200, 4000, 0x80}, {"BIG.BIN;1", 202, 100}}, -1},
      {{{"BIG.BIN;1", 200, 4096, 0x80}}, -1},
  };
  for (auto [records, size] : cases) {
    C.ResetImageBuilder(kMaxFiles, kMaxDirs);
    Messages.clear();
    records.push_back({"SMALL.TXT;1", 210, 5});
    ISODisc(records);
    ASSERT_TRUE(C.ImportPreviousSession(1, nullptr)) << size;
    const TFEntry* big = Entry("\\", "BIG.BIN");
    EXPECT_EQ(big == nullptr ? -1 : big->ISOSize, size);
    EXPECT_EQ(big == nullptr ? 200 : big->ISOExtent, 200);
    EXPECT_NE(Entry("\\", "SMALL.TXT"), nullptr);
    EXPECT_EQ(Count("FILE RECORDED IN PARTS, NOT IMPORTED: \\BIG.BIN", MSG_FILE), size < 0 ? 1 : 0) << size;
  }
}

// ---------------------------------------------------------------- Rock Ridge
// A SUSP entry: signature, length, version 1, data; fields in both byte orders.
std::string Su(const char* sig, const std::string& data) {
  return std::string(sig, 2) + static_cast<char>(4 + data.size()) + '\1' + data;
}
std::string Both(std::initializer_list<uint32_t> values) {
  std::string b;
  for (const uint32_t v : values) {
    b.resize(b.size() + 8);
    PutBoth32(reinterpret_cast<uint8_t*>(b.data() + b.size() - 8), v);
  }
  return b;
}
std::string Px(uint32_t mode) { return Su("PX", Both({mode, 1, 1000, 100, 7})); }

// With RockRidge on, a session whose root carries SP is read through its ISO
// tree: names from NM (also in pieces and continuation areas), modes and
// owners from PX, link targets from SL; a continuation off the disc or past
// its sector ends the import, a field cut short is left out.
TEST_F(TImportFixture, RockRidgeFieldsAreCarriedAndBoundsChecked) {
  const std::string nm = Su("NM", std::string(1, '\0') + "a long name.txt");
  const struct {
    std::string Use;        // of the record FILE.TXT;1
    std::string Continued;  // sector 50 of the disc
    std::string Carried;    // name, mode, uid and link target of the entry; "" = the import fails
  } cases[] = {
      {Px(0100750) + nm, "", "a long name.txt 100750 1000 "},
      {Px(0100640) + Su("NM", "\1a long ") + Su("NM", std::string(1, '\0') + "name.txt"), "",
       "a long name.txt 100640 1000 "},
      {Px(0100600) + Su("CE", Both({50, 100, 20})), std::string(100, '\0') + nm, "a long name.txt 100600 1000 "},
      {Px(0120777) + nm + Su("SL", std::string("\0\x04\0\0\1x\0\1y", 9)), "", "a long name.txt 120777 1000 ../x/y"},
      {Px(0100644) + "NM\xF0\1", "", "FILE.TXT 100644 1000 "},
      {Su("CE", Both({9999, 0, 10})), "", ""},
      {Su("CE", Both({50, 2000, 100})), "", ""},
  };
  for (const auto& c : cases) {
    C.ResetImageBuilder(kMaxFiles, kMaxDirs);
    C.RockRidge = true;
    Messages.clear();
    Disc.SetSessions(1);
    TRec file{"FILE.TXT;1", 300, 5};
    file.SystemUse = c.Use;
    const uint32_t len = PutDirectory(Disc, 20, 20, {file}, 0, Su("SP", std::string("\xBE\xEF\0", 3)) + Px(040755));
    std::memset(Disc.Sector(50), 0, 2048);
    std::memcpy(Disc.Sector(50), c.Continued.data(), c.Continued.size());
    PutSession(Disc, 1, 0, 400, 20, len);
    const bool imported = C.ImportPreviousSession(1, nullptr);
    EXPECT_EQ(imported, !c.Carried.empty()) << c.Carried;
    EXPECT_EQ(Count("ROCK RIDGE CONTINUATION OUTSIDE THE DISC", MSG_FILE), imported ? 0 : 1) << c.Carried;
    if (!imported) continue;
    ASSERT_EQ(C.FileCount(), 1);
    const TFEntry& e = *C.FileTable[0];
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", e.RR->Mode);
    EXPECT_EQ(e.LongName + " " + mode + " " + std::to_string(e.RR->Uid) + " " + e.RR->Link, c.Carried);
    EXPECT_EQ(C.RootDirectory()->RR->Mode, 040755u);
  }
}

// ---------------------------------------------------------------- independent tools
namespace fs = std::filesystem;

struct TToolCase {
  const char* Name;
  const char* Command;  // %s: output image, source folder
  bool Joliet;          // the folder's names come back (else: names that are their own ISO names)
  bool RockRidge = false;  // the component imports the session's Rock Ridge tree
};

class TToolSessionTest : public ::testing::TestWithParam<TToolCase> {};

// The first session: a folder made into an image by the tool, recorded at
// sector 0 of a blank disc (so its extents are absolute). The second: another
// folder recorded with the first session imported. The new session, read by
// xorriso, must hold both folders byte for byte.
TEST_P(TToolSessionTest, SessionIsCarriedIntoTheNextByteForByte) {
  const TToolCase& tc = GetParam();
  const std::string tool = std::string(tc.Command).substr(0, std::string(tc.Command).find(' '));
  if (!isotest::HaveTool(tool) || !isotest::HaveTool("xorriso")) GTEST_SKIP() << "needs " << tool;
  rectest::TClockScope clock;
  rectest::TTempDir tmp;
  const fs::path first = tmp / "first", second = tmp / "second", expected = tmp / "expected";
  if (tc.Joliet) {
    rectest::MakeVariedFolder(first, 11, false);
    rectest::WriteFile(first / ".hidden file", rectest::Pattern(33, 5));
  } else {
    // Without Joliet the ISO names come back: names that are their own ISO names.
    rectest::WriteFile(first / "README.TXT", rectest::Pattern(5000, 1));
    rectest::WriteFile(first / "EMPTY.TXT", {});
    rectest::WriteFile(first / "DATA.BIN", rectest::Pattern(70000, 2));
    rectest::WriteFile(first / "SUB/DEEPER/LEAF.TXT", rectest::Pattern(42, 3));
  }
  rectest::WriteFile(second / "new file.txt", rectest::Pattern(3000, 21));
  rectest::WriteFile(second / "new folder/inside.bin", rectest::Pattern(9000, 22));
  // Joins a folder of the first session.
  rectest::WriteFile(second / (tc.Joliet ? "sub" : "SUB") / "added later.txt", rectest::Pattern(100, 23));

  const fs::path iso = tmp / "first.iso", image = tmp / "disc.img";
  char command[1024];
  std::snprintf(command, sizeof command, tc.Command, rectest::Quote(iso.string()).c_str(),
                rectest::Quote(first.string()).c_str());
  std::string out;
  ASSERT_EQ(rectest::Shell(command, &out), 0) << out;
  std::string error;
  ASSERT_TRUE(VRecCreateDisc(image.string(), "cd-r", &error)) << error;
  uint32_t firstStart = 1;
  ASSERT_TRUE(VRecWriteImage(image.string(), iso.string(), false, &firstStart, &error)) << error;
  ASSERT_EQ(firstStart, 0u);

  uint32_t secondStart = 0;
  {
    rectest::TVirtualRecorder recorder(image, "cd-r");
    ASSERT_TRUE(recorder.Ok()) << recorder.Error();
    VEZEZadira c;
    ASSERT_TRUE(rectest::SelectFirstDrive(c));
    std::vector<std::string> messages;
    c.OnDebugMessage = [&](TObject*, const std::string& m, uint8_t) { messages.push_back(m); };
    ASSERT_TRUE(c.AddFolder("\\", second.string(), "*.*", faAnyFile, true, false, false));
    c.ImportSession = 255;
    c.RockRidge = tc.RockRidge;
    ASSERT_TRUE(c.PrepareImage(false, nullptr));
    EXPECT_NE(std::find(messages.begin(), messages.end(), ">>> IMPORTING SESSION # 1"), messages.end());
    secondStart = c.StartAddress;
    ASSERT_GT(secondStart, 0u);
    rectest::TRecorderRun run(c);
    const rectest::TOutcome outcome = run.Record();
    ASSERT_TRUE(outcome.Started);
    ASSERT_EQ(outcome.Error, "");
  }

  fs::copy(first, expected, fs::copy_options::recursive);
  fs::copy(second, expected, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  const fs::path extracted = tmp / "extracted";
  ASSERT_EQ(rectest::ExtractWithXorriso(image, secondStart, extracted), "");
  EXPECT_EQ(rectest::CompareTrees(expected, extracted), "");
}

INSTANTIATE_TEST_SUITE_P(
    Tools, TToolSessionTest,
    ::testing::Values(TToolCase{"GenisoimageJolietRockRidge", "genisoimage -quiet -J -R -o %s %s", true},
                      TToolCase{"GenisoimageRockRidge", "genisoimage -quiet -R -o %s %s", false},
                      TToolCase{"XorrisoJoliet", "xorriso -as mkisofs -quiet -J -o %s %s", true},
                      // The names come from NM: no Joliet tree needed.
                      TToolCase{"GenisoimageRockRidgeKept", "genisoimage -quiet -R -o %s %s", true, true},
                      TToolCase{"XorrisoRockRidgeKept", "xorriso -as mkisofs -quiet -R -J -o %s %s", true, true}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace

// A UDF session as the layout makes it, then spoiled one way at a time: a
// directory that holds its own parent, a descriptor whose CRC is wrong, a
// file's extent past the disc's end, a name of more than 255 bytes in UTF-8.
// Each is read through its ISO tree with a message, or read with the entry
// skipped; never a crash, never a read out of bounds.
TEST_F(TImportFixture, SpoiledUdfTreesEndInAMessage) {
  VEZEZadira maker;
  maker.UDF = true;
  TDEntry* dir = isotest::AddDir(maker, maker.RootDirectory(), "dir");
  ASSERT_TRUE(isotest::AddFileEntry(maker, dir, "a.txt", 100));
  ASSERT_TRUE(isotest::AddFileEntry(maker, maker.RootDirectory(), std::string(100, 'n'), 5000));
  ASSERT_TRUE(maker.PrepareImage(true, nullptr));
  const TImagePlan& plan = *maker.Plan;
  std::vector<uint8_t> image(static_cast<size_t>(maker.EndSector) * 2048);
  plan.MetadataStream.Read(0, std::span(image.data(), static_cast<size_t>(plan.MetadataStream.Size())));
  if (plan.TailStream.Size() > 0)
    plan.TailStream.Read(0, std::span(image.data() + plan.TailSector * 2048, static_cast<size_t>(plan.TailStream.Size())));

  // Where things are: anchor, logical volume, partition, file set, root.
  using isotest::LE32;
  auto at = [&](uint32_t lba) { return image.data() + size_t{lba} * 2048; };
  uint32_t partition = 0, fsd = 0;
  for (uint32_t s = LE32(at(256) + 20); at(s)[0] != 8; ++s) {
    if (at(s)[0] == 5) partition = LE32(at(s) + 188);
    if (at(s)[0] == 6) fsd = LE32(at(s) + 252);
  }
  auto block = [&](uint32_t b) { return at(partition + b); };
  const uint32_t root = LE32(block(fsd) + 404);
  uint8_t* rootFids = block(LE32(block(root) + 180));
  // Each identifier of the root by its name's first byte: its offset.
  std::map<uint8_t, size_t> fid;
  for (size_t o = 0; o < LE32(block(root) + 56); o += (38 + rootFids[o + 19] + 3) / 4 * 4)
    fid[rootFids[o + 19] ? rootFids[o + 39] : 0] = o;
  auto retag = [](uint8_t* d) {
    const uint16_t n = isotest::LE16(d + 10);
    const uint16_t crc = UdfCrc(d + 16, n);
    d[8] = static_cast<uint8_t>(crc), d[9] = static_cast<uint8_t>(crc >> 8);
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
    d[4] = sum;
  };
  const struct {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Spoil;
    const char* Message;
  } cases[] = {
      {"loop", [&](auto&) { std::memcpy(rootFids + fid['d'] + 24, &root, 4), retag(rootFids + fid['d']); },
       "UDF DIRECTORY LOOP, SKIPPED: \\dir"},
      {"crc", [&](auto&) { block(root)[40] ^= 1; }, "UDF TREE OF SESSION 1 NOT READ (PART OF ITS TREE CANNOT BE READ), ITS ISO TREE IS IMPORTED"},
      {"extent", [&](auto&) {
         uint8_t* e = block(LE32(rootFids + fid['n'] + 24));
         const uint32_t far = 0x7FFFFF00;
         std::memcpy(e + 176 + LE32(e + 168) + 4, &far, 4), retag(e);
       }, "UDF FILE DATA OUTSIDE THE PARTITION, NOT IMPORTED: \\nnn"},
      {"name", [&](auto&) {
         // One more identifier after the root's others: 127 characters of 16 bits.
         uint8_t* e = block(root);
         const uint32_t end = LE32(e + 56), length = (38 + 255 + 3) / 4 * 4;
         uint8_t* f = rootFids + end;
         std::memcpy(f, rootFids + fid['n'], 38);
         f[19] = 255, f[38] = 16, f[10] = uint8_t(length - 16), f[11] = uint8_t((length - 16) >> 8);
         for (int i = 0; i < 127; ++i) f[39 + 2 * i] = 0x4E, f[40 + 2 * i] = 0x2D;
         retag(f);
         const uint32_t grown = end + length;
         std::memcpy(e + 56, &grown, 4), std::memcpy(e + 176 + LE32(e + 168), &grown, 4), retag(e);
       }, "UDF INVALID NAME, NOT IMPORTED: \\\xE4\xB8\xAD"},
  };
  const std::vector<uint8_t> sound = image;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    image = sound;
    c.Spoil(image);
    C.ResetImageBuilder(kMaxFiles, kMaxDirs);
    C.UDF = true;
    Messages.clear();
    Disc = TMemoryDisc{};
    Disc.SetSessions(1);
    Disc.Tracks[1] = {0, static_cast<uint32_t>(maker.EndSector)};
    Disc.Data = image;
    EXPECT_EQ(C.ImportSessionTree(1, nullptr), VEZEZadira::TImportResult::Imported);
    EXPECT_EQ(Count(c.Message, MSG_FILE), 1);
  }
}
