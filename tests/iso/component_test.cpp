// The burner component: defaults, setters, reset of the image builder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "iso/iso.h"
#include "iso/rockridge_private.h"

namespace {

// Sets TZ for the test's lifetime.
class TScopedTimeZone {
public:
  explicit TScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TScopedTimeZone() {
    if (saved_)
      ::setenv("TZ", saved_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

private:
  std::optional<std::string> saved_;
};

TEST(Component, NewComponentDefaults) {
  VEZEZadira c;
  EXPECT_EQ(c.DirectoryCount(), 0);
  EXPECT_EQ(c.FileCount(), 0);
  EXPECT_EQ(c.Version(), "1.20.RC6");
  EXPECT_EQ(c.CacheSize(), 4194304);
  EXPECT_TRUE(c.JolietFileSystem);
  EXPECT_TRUE(c.FinalizeTrack);
  EXPECT_TRUE(c.UnderrunProtection);
  EXPECT_TRUE(c.WritePostGap);
  EXPECT_FALSE(c.DoDebug);
  EXPECT_FALSE(c.Erasing);
  EXPECT_FALSE(c.ReplaceFile);
  EXPECT_FALSE(c.PerformOPC);
  EXPECT_FALSE(c.FinalizeDisc);
  EXPECT_FALSE(c.TestWrite);
  EXPECT_EQ(c.WriteSpeed(), 0);
  EXPECT_EQ(c.ReadSpeed, 0);
  EXPECT_EQ(c.ImportSession, 0);
  EXPECT_EQ(c.IdVolume, "");
  EXPECT_EQ(c.DateCreation, 0);
  EXPECT_EQ(c.Plan, nullptr);
  EXPECT_EQ(c.BytesWritten.load(), 0);

  EXPECT_EQ(c.MaxDirs, 8191);
  EXPECT_EQ(c.MaxFiles, 65535);
  ASSERT_EQ(c.DirCount, 1);
  ASSERT_EQ(c.DirTable.size(), 1u);
  ASSERT_EQ(c.ISOPathOrder.size(), 1u);
  ASSERT_EQ(c.JolietPathOrder.size(), 1u);
  EXPECT_TRUE(c.FileTable.empty());
  const TDEntry* root = c.DirTable[0].get();
  EXPECT_EQ(root, c.RootDirectory());
  EXPECT_EQ(c.ISOPathOrder[0], root);
  EXPECT_EQ(c.JolietPathOrder[0], root);
  EXPECT_EQ(root->ISOName, "CD_ROOT");
  EXPECT_EQ(root->LongName, "CD Root Directory");
  EXPECT_EQ(root->Path, "\\");
  EXPECT_EQ(root->Parent, root);
  EXPECT_EQ(root->Entries, nullptr);
  for (uint8_t b : ZeroSector) ASSERT_EQ(b, 0);
}

TEST(Component, CacheSizeSetter) {
  VEZEZadira c;
  const std::pair<int32_t, int32_t> cases[] = {
      {1000000, 2097152}, {5000000, 4999168}, {2097152, 2097152}, {2097151, 2097152},
      {-1, 2097152},      {4196351, 4194304}, {8388608, 8388608},
  };
  for (auto [in, out] : cases) {
    c.SetCacheSize(in);
    EXPECT_EQ(c.CacheSize(), out) << in;
  }
}

TEST(Component, VersionIsReadOnly) {
  VEZEZadira c;
  c.SetVersion("2.0");
  EXPECT_EQ(c.Version(), "1.20.RC6");
}

TEST(Component, TimeZoneOffsetInQuarterHours) {
  {
    TScopedTimeZone tz("XST-2");  // two hours east of Greenwich
    VEZEZadira c;
    EXPECT_EQ(TimeZoneOffset, 8);
  }
  {
    TScopedTimeZone tz("XST+4");  // four hours west
    VEZEZadira c;
    EXPECT_EQ(TimeZoneOffset, -16);
  }
  {
    TScopedTimeZone tz("XST-5:45");
    VEZEZadira c;
    EXPECT_EQ(TimeZoneOffset, 23);
  }
}

// Entries without times of their own get their date as seconds since 1970,
// as the system converts local time: on both sides of a zone's changes, and
// anew when TZ names another zone.
TEST(Component, EntryTimesFollowTheZoneAcrossItsChanges) {
  const std::vector<TDateParts> times = {
      {2024, 7, 1, 12, 5, 0, 0},   {2024, 3, 31, 1, 50, 0, 0},  {2024, 3, 31, 1, 59, 59, 0}, {2024, 3, 31, 3, 0, 0, 0},
      {2024, 3, 31, 3, 10, 0, 0},  {2024, 10, 27, 1, 59, 59, 0}, {2024, 10, 27, 3, 0, 0, 0},
      {2024, 10, 27, 3, 5, 0, 0},  {1969, 12, 31, 23, 59, 0, 0}, {2024, 7, 1, 12, 0, 0, 0},
  };
  for (const char* zone : {"CET-1CEST,M3.5.0,M10.5.0/3", "XST-5:45", "UTC0", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    TScopedTimeZone tz(zone);
    for (const TDateParts& p : times) {
      std::tm tm{};
      tm.tm_year = p.Year - 1900;
      tm.tm_mon = p.Month - 1;
      tm.tm_mday = p.Day;
      tm.tm_hour = p.Hour;
      tm.tm_min = p.Minute;
      tm.tm_sec = p.Second;
      tm.tm_isdst = -1;
      EXPECT_EQ(RockRidgeSeconds(EncodeDateTime(p)), static_cast<int64_t>(std::mktime(&tm)))
          << zone << " " << p.Year << "-" << p.Month << "-" << p.Day << " " << p.Hour << ":" << p.Minute;
    }
  }
}

// Each component has a tree of its own: a second one starts empty and leaves
// the first one's alone, also when it goes.
TEST(Component, EachComponentHasItsOwnTree) {
  auto first = std::make_unique<VEZEZadira>();
  ASSERT_NE(first->ForcePath("\\A\\B"), nullptr);
  EXPECT_EQ(first->DirectoryCount(), 2);
  {
    VEZEZadira second;
    EXPECT_EQ(second.DirectoryCount(), 0);
    EXPECT_EQ(second.FileCount(), 0);
    EXPECT_EQ(second.FindDirectory("\\A"), nullptr);
    ASSERT_NE(second.ForcePath("\\A"), nullptr);
    EXPECT_EQ(second.DirectoryCount(), 1);
  }
  EXPECT_EQ(first->DirectoryCount(), 2);
  EXPECT_EQ(first->FileCount(), 2);
  EXPECT_NE(first->FindDirectory("\\A\\B"), nullptr);
}

// Rock Ridge fields that boxes share (the entries of a folder made together)
// are copied on the first edit: an edit through one box leaves the others as
// they were, copies included, and an empty box reads as no fields.
TEST(Component, SharedRockRidgeFieldsAreEditedApart) {
  TRockRidgeBox first;
  EXPECT_EQ(first.Get(), nullptr);
  EXPECT_FALSE(first->Present);
  first = TRockRidge{true, 0100644, 1, 2, 3, 4, 5, "", ""};
  TRockRidgeBox second = first, third = second;
  EXPECT_EQ(second.Get(), first.Get());
  const struct {
    TRockRidgeBox* Box;
    uint32_t Mode;
    std::array<uint32_t, 3> Modes;  // first, second, third afterwards
  } edits[] = {{&second, 0100755, {0100644, 0100755, 0100644}},
               {&second, 0100600, {0100644, 0100600, 0100644}},  // its own by now
               {&first, 0100400, {0100400, 0100600, 0100644}}};
  for (const auto& e : edits) {
    e.Box->Edit().Mode = e.Mode;
    const std::array<uint32_t, 3> modes = {first->Mode, second->Mode, third->Mode};
    EXPECT_EQ(modes, e.Modes) << std::oct << e.Mode;
  }
  EXPECT_NE(first.Get(), third.Get());
  EXPECT_EQ(third->Uid, 1u);
  third.Reset();
  EXPECT_EQ(third.Get(), nullptr);
  EXPECT_EQ(second->Change, 5);
}

// Names of entries: up to 15 bytes in place, longer ones on the heap; each
// reads back as given after copies, moves and assignments from a part of
// itself, and compares and joins as a std::string would.
TEST(Component, EntryNamesKeepTheirText) {
  for (const size_t n : {0, 1, 14, 15, 16, 17, 127, 300}) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
    TName name = text;
    EXPECT_EQ(name.size(), n);
    EXPECT_EQ(name.empty(), n == 0);
    EXPECT_EQ(std::string(name.c_str()), text) << n;  // ends in a 0
    EXPECT_EQ(name, text);
    EXPECT_EQ(name + "!", text + "!");
    EXPECT_EQ("<" + name, "<" + text);
    EXPECT_EQ(name < TName(text + "a"), true);
    TName copy = name;
    TName moved = std::move(copy);
    EXPECT_EQ(moved, text);
    EXPECT_TRUE(copy.empty());
    copy = moved;
    EXPECT_EQ(copy, text);
    for (const size_t cut : {size_t{0}, n / 2, n}) {
      TName part = name;
      part = std::string_view(part).substr(cut);  // from its own bytes
      EXPECT_EQ(part, text.substr(cut)) << n << " from " << cut;
      part = part;
      EXPECT_EQ(part, text.substr(cut));
    }
    name = "x";
    EXPECT_EQ(name, "x");
    EXPECT_EQ(moved, text);  // copies own their text
  }
}

// Entries come from the pool in large blocks: each keeps its address and
// fields while others come and go, and given-back slots are handed out again.
TEST(Component, PooledEntriesKeepTheirFields) {
  std::vector<std::unique_ptr<TFEntry>> entries;
  for (int i = 0; i < 30000; ++i) {  // several blocks
    entries.push_back(std::make_unique<TFEntry>());
    entries.back()->LongName = "entry number " + std::to_string(i) + " of the pool";
    entries.back()->Serial = static_cast<uint32_t>(i);
  }
  std::set<const TFEntry*> freed;
  for (size_t i = 0; i < entries.size(); i += 2) {
    freed.insert(entries[i].get());
    entries[i].reset();
  }
  size_t reused = 0;
  for (size_t i = 0; i < entries.size(); i += 2) {
    entries[i] = std::make_unique<TFEntry>();
    reused += freed.count(entries[i].get());
    entries[i]->LongName = "again " + std::to_string(i);
    entries[i]->Serial = static_cast<uint32_t>(i);
  }
  if (TFEntry::Pooled()) {
    EXPECT_EQ(reused, freed.size());
  }
  std::set<const TFEntry*> live;
  for (size_t i = 0; i < entries.size(); ++i) {
    live.insert(entries[i].get());
    EXPECT_EQ(entries[i]->Serial, i);
    const std::string name = i % 2 == 0 ? "again " + std::to_string(i)
                                        : "entry number " + std::to_string(i) + " of the pool";
    ASSERT_EQ(entries[i]->LongName, name);
  }
  EXPECT_EQ(live.size(), entries.size());
}

std::vector<uint8_t> Contents(const TMemoryStream& s) {
  std::vector<uint8_t> v(static_cast<size_t>(s.Size()));
  EXPECT_EQ(s.Read(0, v), v.size());
  return v;
}

// The plan's list of sources keeps each path as what it shares with the path
// before it and the rest: paths come back whole whatever they share, also
// empty ones, repeated ones and ones too long for the shared form.
TEST(Component, PlanSourcesComeBackWhole) {
  const std::vector<TPlanSource> cases = {
      {"/a/b/c.txt", 1, 150},   {"/a/b/d.txt", 2, 151},  {"/a/b/d.txt", 3, 152},
      {"/a/b", 4, 153},          {"/a/b/c/d/e/f", 5, 154}, {"", 0, 155},
      {std::string(70000, 'x'), 6, 156}, {std::string(70000, 'x') + "y", 7, 157},
      {"/z/\xC3\xA9t\xC3\xA9.txt", 8, 0xFFFFFFFF},
  };
  TPlanSources list;
  for (const TPlanSource& c : cases) list.Add(c);
  ASSERT_EQ(list.size(), cases.size());
  size_t i = 0;
  for (const TPlanSource& got : list) {
    ASSERT_LT(i, cases.size());
    EXPECT_EQ(got.Path, cases[i].Path) << i;
    EXPECT_EQ(got.Size, cases[i].Size) << i;
    EXPECT_EQ(got.FirstSector, cases[i].FirstSector) << i;
    ++i;
  }
  EXPECT_EQ(i, cases.size());
}

TEST(Component, MetadataStreamGrowsAndEmpties) {
  TMemoryStream s;
  const uint8_t data[] = {1, 2, 3};
  s.Write(data, 3);
  s.WriteZeros(2);
  s.Write(std::span<const uint8_t>(data, 1));
  ASSERT_EQ(s.Size(), 6);
  EXPECT_EQ(Contents(s), (std::vector<uint8_t>{1, 2, 3, 0, 0, 1}));
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
}

// The stream keeps its bytes in pages, leaving all-zero stretches unallocated:
// writes and reads across page edges, zeros written as data and gaps between
// writes all read back exactly as written.
TEST(Component, MetadataStreamReadsBackAcrossPages) {
  constexpr size_t kPage = TMemoryStream::kPageBytes;
  TMemoryStream s;
  std::vector<uint8_t> expected;
  auto write = [&](const std::vector<uint8_t>& bytes) {
    s.Write(bytes);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  };
  auto zeros = [&](size_t n) {
    s.WriteZeros(n);
    expected.resize(expected.size() + n, 0);
  };
  zeros(kPage * 3 - 5);
  std::vector<uint8_t> run(kPage * 2 + 17);
  for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<uint8_t>(i * 7 + 1);
  write(run);                                // crosses two page edges
  write(std::vector<uint8_t>(kPage * 2, 0));  // zeros written as data
  write({9});                                // into a page that was all zeros
  zeros(kPage * 40 + 3);
  write({0, 0, 5});
  // A run longer than the 64 KiB the kept bytes are allocated in, with zero
  // pieces inside it, then a gap and a run right after a written zero piece.
  std::vector<uint8_t> longRun(70000);
  for (size_t i = 0; i < longRun.size(); ++i) longRun[i] = (i / 300) % 3 ? static_cast<uint8_t>(i | 1) : 0;
  write(longRun);
  zeros(5000);
  write(std::vector<uint8_t>(kPage, 0));
  write({7, 7});
  // A run made as it is read, right after kept bytes and before more.
  struct TCounting : TGeneratedBytes {
    void Fill(int64_t Offset, std::span<uint8_t> Dest) const override {
      for (size_t i = 0; i < Dest.size(); ++i) Dest[i] = static_cast<uint8_t>((Offset + static_cast<int64_t>(i)) % 251 + 1);
    }
  };
  s.WriteGenerated(std::make_shared<TCounting>(), 3 * static_cast<int64_t>(kPage) + 11);
  for (size_t i = 0; i < 3 * kPage + 11; ++i) expected.push_back(static_cast<uint8_t>(i % 251 + 1));
  zeros(9);
  write({3});
  ASSERT_EQ(s.Size(), static_cast<int64_t>(expected.size()));
  EXPECT_EQ(Contents(s), expected);

  // Any range, clipped at the end of the stream.
  for (size_t from : {size_t{0}, kPage - 1, kPage * 3 - 6, kPage * 5 + 3, kPage * 50,
                      kPage * 50 + 65530, expected.size() - 5100, expected.size() - 3 * kPage - 20,
                      expected.size() - 2 * kPage, expected.size() - 2}) {
    std::vector<uint8_t> part(kPage + 70000, 0xEE);
    const size_t n = s.Read(static_cast<int64_t>(from), part);
    ASSERT_EQ(n, std::min(part.size(), expected.size() - from)) << from;
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + static_cast<ptrdiff_t>(n),
                           expected.begin() + static_cast<ptrdiff_t>(from)))
        << from;
    EXPECT_TRUE(std::all_of(part.begin() + static_cast<ptrdiff_t>(n), part.end(),
                            [](uint8_t b) { return b == 0xEE; }))
        << from;
  }
  std::vector<uint8_t> past(4, 0xEE);
  EXPECT_EQ(s.Read(s.Size(), past), 0u);

  // A move takes the contents and leaves the source empty.
  TMemoryStream taken = std::move(s);
  EXPECT_EQ(s.Size(), 0);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(Contents(taken), expected);
  s.Write(std::vector<uint8_t>{4});
  EXPECT_EQ(Contents(s), std::vector<uint8_t>{4});
}

}  // namespace
