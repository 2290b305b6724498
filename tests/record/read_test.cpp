// The read of a session into an image file, in process on a virtual drive:
// what it refuses before it reads, a drive busy on the way, the retry passes,
// the files of both trees that lost sectors, and the mapfile as ddrescue
// writes and reads it.
#include <gtest/gtest.h>

#include "record_helpers.h"

using namespace rectest;

namespace {

void SmallFolder(const fs::path& dir) {
  WriteFile(dir / "a.txt", Pattern(3000, 1));
  WriteFile(dir / "sub" / "b.bin", Pattern(200000, 2));
}

// A disc holding one session of the small folder (with UDF when asked).
bool RecordSession(TSetup& s, bool udf = false) {
  if (!s.Open("cd-r")) return false;
  s.Component->UDF = udf;
  SmallFolder(s.Tmp / "src");
  if (!s.Prepare(s.Tmp / "src")) return false;
  TRecorderRun run(*s.Component);
  return run.Record().Error.empty();
}

TReadResult ReadBack(VEZEZadira& c, const TReadRequest& request) {
  c.ReadDisc(request);
  c.WaitForReading();
  return c.LastRead;
}

TReadRequest Request(const fs::path& output, const fs::path& map = {}, int retries = 3) {
  TReadRequest r;
  r.Output = output.string();
  r.MapFile = map.string();
  r.Retries = retries;
  return r;
}

// Where the file of the small folder's tree lies on the disc.
uint32_t SectorOf(VEZEZadira& c, const std::string& name) {
  for (const auto& e : c.FileTable)
    if (e && e->LongName == name) return c.FirstFileSector + static_cast<uint32_t>(e->ISOExtent);
  ADD_FAILURE() << name;
  return 0;
}

// ---------------------------------------------------------------- mapfile

TEST(RescueMap, WritesAndReadsDdrescuesText) {
  TTempDir tmp;
  TRescueMap map;
  map.Reset(40);
  map.Set(0, 10, TRescueMap::kFinished);
  map.Set(10, 5, TRescueMap::kBad);
  map.Position = 15;
  map.CurrentStatus = '-';
  map.Pass = 2;
  const std::string text =
      "# made here\n0x00007800     -               2\n0x00000000  0x00005000  +\n"
      "0x00005000  0x00002800  -\n0x00007800  0x0000C800  ?\n";
  EXPECT_EQ(map.Text("made here"), text);
  std::string error;
  ASSERT_TRUE(map.Save((tmp / "map").string(), "made here", error)) << error;
  EXPECT_FALSE(fs::exists(tmp / "map.tmp"));
  std::string listed;
  ASSERT_EQ(Shell("ddrescuelog -b2048 -l- " + Quote((tmp / "map").string()), &listed), 0) << listed;
  EXPECT_EQ(listed, "10\n11\n12\n13\n14\n");

  TRescueMap back;
  bool exists = false;
  ASSERT_TRUE(back.Load((tmp / "map").string(), exists, error)) << error;
  EXPECT_EQ(back.Text("made here"), text);
  EXPECT_EQ(back.Count(TRescueMap::kBad, 12, 40), 3);
  EXPECT_FALSE(back.Load((tmp / "none").string(), exists, error));
  EXPECT_FALSE(exists);

  const struct { const char* Text; const char* Error; std::string States; } cases[] = {
      // ddrescue's trimming and scraping areas are not read yet.
      {"0x0 * 1\n0x0 0x800 *\n0x800 0x800 /\n0x1000 0x1000 +\n", "", "??++"},
      {"# a comment only\n", "no block in the mapfile", ""},
      {"0x0 ?\n0x800 0x800 +\n", "line 2: the blocks do not follow each other from 0", ""},
      {"0x0 ?\n0x0 0x100 +\n", "line 2: not whole 2048-byte sectors", ""},
      {"0x0 ?\n0x0 0x800 x\n", "line 2: not a \"pos size status\" line", ""},
      {"zero ?\n", "line 1: not a current-position line", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    std::ofstream(tmp / "case") << c.Text;
    error.clear();
    const bool loaded = back.Load((tmp / "case").string(), exists, error);
    EXPECT_EQ(loaded, *c.Error == '\0');
    EXPECT_NE(error.find(c.Error), std::string::npos) << error;
    std::string states;
    for (int64_t s = 0; s < back.Sectors(); ++s) states += back.At(s);
    EXPECT_EQ(states, c.States);
  }
}

// ---------------------------------------------------------------- refusals

TEST(Read, WhatIsRefusedReadsNothing) {
  TSetup blank;
  ASSERT_TRUE(blank.Open("cd-r"));
  TReadResult r = ReadBack(*blank.Component, Request(blank.Tmp / "out.iso"));
  EXPECT_EQ(r.Outcome.Text, kNoSessionToReadText);
  EXPECT_EQ(r.Outcome.Code, TOutcomeCode::Refused);

  TSetup s;
  ASSERT_TRUE(RecordSession(s));
  VEZEZadira& c = *s.Component;
  std::ofstream(s.Tmp / "far.map") << "0x0 ?\n0x0 0x10000000 ?\n";
  std::ofstream(s.Tmp / "bad.map") << "nonsense\n";
  std::ofstream(s.Tmp / "own.map") << "0x0 ?\n0x0 0x96000 ?\n";
  std::ofstream(s.Tmp / "kept.iso") << "an earlier read";
  const struct { TReadRequest Request; const char* Text; } cases[] = {
      {[&] { auto q = Request(s.Tmp / "out.iso"); q.Session = 2; return q; }(),
       "NO SESSION 2: THE DISC HOLDS 1: NOTHING READ"},
      {Request(s.Tmp / "kept.iso", s.Tmp / "far.map"), ", THE IMAGE OF SESSIONS 1 TO 1 AT 300: NOT THE MAP OF THIS DISC"},
      {Request(s.Tmp / "out.iso", s.Tmp / "bad.map"), "THE MAPFILE CANNOT BE USED ["},
      {Request("-", s.Tmp / "own.map"), "GIVE -o FILE, NOT -o -"},
      {Request(s.Tmp / "out.iso", s.Tmp / "own.map"), "THE IMAGE FILE OF THE MAPFILE IS MISSING"},
      {Request(s.Tmp / "no" / "out.iso"), "THE IMAGE FILE CANNOT BE OPENED ["},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.Text);
    r = ReadBack(c, t.Request);
    EXPECT_NE(r.Outcome.Text.find(t.Text), std::string::npos) << r.Outcome.Text;
    EXPECT_EQ(r.Outcome.Code, TOutcomeCode::Refused);
    EXPECT_FALSE(fs::exists(s.Tmp / "out.iso"));
  }
  // What was refused is left as it was.
  EXPECT_EQ(ReadFile(s.Tmp / "own.map").size(), 20u);
  EXPECT_EQ(fs::file_size(s.Tmp / "kept.iso"), 15u);
}

// ---------------------------------------------------------------- the read

// A drive that answers busy is asked again, 600 ms apart, for a minute at most.
TEST(Read, ABusyDriveIsWaitedForAMinuteAtMost) {
  const struct { int Busy; const char* Text; int64_t Unread; } cases[] = {
      {3, "", 1},
      {500, kReadNotReadyText, 268},  // 0-31 read
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.Busy);
    TSetup s;
    ASSERT_TRUE(RecordSession(s));
    VEZEZadira& c = *s.Component;
    ASSERT_TRUE(VRecSetOption(0, "read-error", "40", nullptr));
    // The drive turns busy once the request over sector 40 has failed.
    bool armed = false;
    c.OnDebugMessage = [&](TObject*, const std::string& message, uint8_t) {
      if (armed || message.find("(28)") == std::string::npos) return;
      armed = true;
      VRecSetBusy(0, t.Busy);
    };
    s.Clock.Clock.ResetCounts();
    const TReadResult r = ReadBack(c, Request(s.Tmp / "out.iso", {}, 0));
    EXPECT_EQ(r.Outcome.Text, t.Text);
    EXPECT_EQ(r.Unread, t.Unread);
    EXPECT_EQ(s.Clock.Clock.Sleeps(kReadBusyRetryMs), std::min(t.Busy, kReadBusyTries - 1));
  }
}

// A failed request is read again sector by sector; every retry pass waits a
// little longer before it and tries the sectors still missing once more.
// Read again with the map, they are tried first of all: weak ones come back.
TEST(Read, RetryPassesPauseAndReadWhatIsMissing) {
  TSetup s;
  ASSERT_TRUE(RecordSession(s));
  VEZEZadira& c = *s.Component;
  ASSERT_TRUE(VRecSetOption(0, "read-error", "40+100", nullptr));
  ASSERT_TRUE(VRecSetOption(0, "read-retries", "4", nullptr));
  s.Recorder->ClearLog();
  s.Clock.Clock.ResetCounts();
  const TReadResult r = ReadBack(c, Request(s.Tmp / "out.iso", s.Tmp / "map", 2));
  EXPECT_TRUE(r.Outcome.Ok()) << r.Outcome.Text;
  EXPECT_EQ(r.Unread, 2);  // each tried 4 times: one short
  EXPECT_EQ(r.UnreadRuns, (std::vector<std::pair<int64_t, int64_t>>{{40, 1}, {100, 1}}));
  EXPECT_EQ(s.Clock.Clock.Sleeps(kRetryPassPauseMs), 1);
  EXPECT_EQ(s.Clock.Clock.Sleeps(2 * kRetryPassPauseMs), 1);
  const auto reads = [&] {
    std::vector<std::pair<uint32_t, uint16_t>> out;
    for (const TLogged& l : Only(s.Recorder->Log(), 0x28)) out.emplace_back(l.Lba(), l.Count());
    s.Recorder->ClearLog();
    return out;
  };
  std::vector<std::pair<uint32_t, uint16_t>> first = reads();
  first.erase(std::remove_if(first.begin(), first.end(), [](auto r) { return r.first < 32 || r.first > 40; }),
              first.end());
  EXPECT_EQ(first, (std::vector<std::pair<uint32_t, uint16_t>>{{32, 32}, {32, 1}, {33, 1}, {34, 1}, {35, 1},
                                                              {36, 1}, {37, 1}, {38, 1}, {39, 1}, {40, 1},
                                                              {40, 1}, {40, 1}}));
  const TReadResult again = ReadBack(c, Request(s.Tmp / "out.iso", s.Tmp / "map", 0));
  EXPECT_EQ(reads(), (std::vector<std::pair<uint32_t, uint16_t>>{{40, 1}, {100, 1}}));
  EXPECT_TRUE(again.Resumed);
  EXPECT_EQ(again.Unread, 0);
  EXPECT_EQ(again.ReadNow, 2);
  EXPECT_TRUE(again.HasDigest);
}

// The files that lost sectors, by both trees of a bridge disc.
TEST(Read, TheDamagedFileIsNamedByBothTrees) {
  TSetup s;
  ASSERT_TRUE(RecordSession(s, true));
  VEZEZadira& c = *s.Component;
  const uint32_t b = SectorOf(c, "b.bin");
  ASSERT_TRUE(VRecSetOption(0, "read-error", std::to_string(b + 5) + "-" + std::to_string(b + 7), nullptr));
  const TReadResult r = ReadBack(c, Request(s.Tmp / "out.iso", {}, 0));
  EXPECT_EQ(r.Unread, 3);
  std::vector<std::string> named;
  for (const TDamagedFile& f : r.DamagedFiles) named.push_back(f.Tree + " " + f.Path + " " + std::to_string(f.Missing));
  EXPECT_EQ(named, (std::vector<std::string>{"ISO 9660 /sub/b.bin 3", "UDF /sub/b.bin 3"}));
  EXPECT_TRUE(r.Notes.empty()) << r.Notes.front();
}

}  // namespace
