// Every writable medium, end to end: a varied folder is recorded and verified
// on the virtual recorder and read back by two independent readers, then a
// second folder is recorded onto the same disc as a new session.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <future>

#include "record/record_helpers.h"

namespace rectest {
namespace {

struct TSession {
  uint32_t Start = 0;
  int64_t Sectors = 0;      // recorded, padding included
  int64_t TrackLength = 0;  // the image itself
  uint32_t Free = 0;        // FreeSectors before the recording
  TOutcome Outcome;
  bool VerifyRan = false;
  std::string VerifyError = "not run";
  int64_t BytesVerified = 0;
  std::string Digest;       // SHA-256 of the stream, as the cache took it
};

// Records `folder` as a new session with a fresh component (the image tree is
// one per process, so a new component starts from an empty tree).
TSession RecordFolder(const fs::path& folder) {
  TSession s;
  VEZEZadira c;
  if (!SelectFirstDrive(c)) {
    ADD_FAILURE() << "no drive";
    return s;
  }
  EXPECT_TRUE(c.AddFolder("\\", folder.string(), "*.*", faAnyFile, true, false, false));
  EXPECT_TRUE(c.PrepareImage(false, nullptr));
  s.Start = c.StartAddress;
  s.Sectors = c.ImageSectors();
  s.TrackLength = c.TrackLength;
  c.VerifyAfterWrite = true;
  s.Free = c.FreeSectors();
  TRecorderRun run(c);
  s.Outcome = run.Record();
  s.VerifyRan = c.VerifyRan;
  s.VerifyError = c.VerifyError;
  s.BytesVerified = c.BytesVerified;
  if (c.LastStream.Checksums) s.Digest = Sha256Hex(c.LastStream.Checksums->Digest());
  return s;
}

// The volume space size of the primary descriptor of the session at start.
uint32_t VolumeSpaceSize(const fs::path& image, uint32_t start) {
  std::ifstream f(image, std::ios::binary);
  std::array<uint8_t, 2048> pvd{};
  f.seekg(static_cast<std::streamoff>(start + 16) * 2048);
  f.read(reinterpret_cast<char*>(pvd.data()), pvd.size());
  if (pvd[0] != 1 || std::memcmp(&pvd[1], "CD001", 5) != 0) return 0;
  return uint32_t{pvd[80]} | uint32_t{pvd[81]} << 8 | uint32_t{pvd[82]} << 16 |
         uint32_t{pvd[83]} << 24;
}

void ExpectSuccess(const TSession& s) {
  EXPECT_TRUE(s.Outcome.Started);
  EXPECT_EQ(s.Outcome.WriteDoneCalls, 1);
  EXPECT_EQ(s.Outcome.Error, "");
  EXPECT_EQ(s.Outcome.FinalizingCalls, 1);
  EXPECT_EQ(s.Outcome.BytesWritten, s.Sectors * 2048);
  EXPECT_TRUE(s.VerifyRan);
  EXPECT_EQ(s.VerifyError, "");
  EXPECT_EQ(s.BytesVerified, s.Sectors * 2048);
  EXPECT_GE(int64_t{s.Free}, s.Sectors) << "the disc had room for it";
}

// sha256sum of the track as it lies in the disc image.
std::string DigestOnDisc(const fs::path& image, const TSession& s) {
  std::string out;
  Shell("dd if=" + Quote(image.string()) + " bs=2048 skip=" + std::to_string(s.Start) +
            " count=" + std::to_string(s.Sectors) + " status=none | sha256sum",
        &out);
  return out.substr(0, out.find(' '));
}

// Both readers extract the session at start; both must give the folder back.
void ExpectReadsBack(const TTempDir& tmp, const fs::path& image, uint32_t start,
                     const fs::path& source, const std::string& tag) {
  const fs::path x = tmp / (tag + "-xorriso");
  ASSERT_EQ(ExtractWithXorriso(image, start, x), "");
  EXPECT_EQ(CompareTrees(source, x), "") << "xorriso, " << tag;

  fs::path view = image;
  if (start != 0) {
    view = tmp / (tag + "-view.img");
    ASSERT_EQ(SessionView(image, start, view), "");
  }
  const fs::path b = tmp / (tag + "-bsdtar");
  ASSERT_EQ(ExtractWithBsdtar(view, b), "");
  EXPECT_EQ(CompareTrees(source, b, true), "") << "bsdtar, " << tag;
}

// The share of the file's pages the page cache holds, as the kernel says.
double ResidentShare(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  const auto size = static_cast<size_t>(fs::file_size(file));
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return -1;
  std::vector<unsigned char> pages((size + 4095) / 4096);
  ::mincore(map, size, pages.data());
  ::munmap(map, size);
  return double(std::count_if(pages.begin(), pages.end(), [](unsigned char p) { return p & 1; })) /
         double(pages.size());
}

class EveryMedium : public ::testing::TestWithParam<const char*> {};

TEST_P(EveryMedium, RecordsTwoSessionsThatReadBackByteForByte) {
  TClockScope clock;
  TTempDir tmp;
  MakeVariedFolder(tmp / "first", 11);
  MakeVariedFolder(tmp / "second", 77, false);
  WriteFile(tmp / "second" / "only in the second session.txt", Pattern(4321, 5));
  const fs::path image = tmp / "disc.img";
  TVirtualRecorder recorder(image, GetParam());
  ASSERT_TRUE(recorder.Ok()) << recorder.Error();

  const TSession first = RecordFolder(tmp / "first");
  ExpectSuccess(first);
  // The recording and its verify went past the page cache, unless told otherwise.
  const std::string medium = GetParam();
  if (medium.find("direct=0") == std::string::npos) EXPECT_LT(ResidentShare(image), 0.5);
  else EXPECT_GT(ResidentShare(image), 0.5);
  EXPECT_EQ(first.Digest, DigestOnDisc(image, first));
  EXPECT_EQ(first.Start, 0u);
  EXPECT_EQ(VolumeSpaceSize(image, first.Start), first.Start + first.TrackLength);
  ExpectReadsBack(tmp, image, first.Start, tmp / "first", "first");

  // Where the drive says the next session goes: its next writable address on
  // media with sessions, the end of the recorded volume on overwritable media.
  const bool overwritable = medium == "dvd+rw" || medium == "dvd-ram" || medium == "dvd-rw" || medium == "bd-re";
  const TVRecDiscInfo before = recorder.Disc();
  if (!overwritable) {
    ASSERT_EQ(before.Status, "appendable") << "the first session closed the disc";
  }
  const uint32_t expected = overwritable || !before.HasNextWritable ? VolumeSpaceSize(image, 0)
                                                                    : before.NextWritable;

  const TSession second = RecordFolder(tmp / "second");
  ExpectSuccess(second);
  EXPECT_EQ(second.Digest, DigestOnDisc(image, second));
  EXPECT_EQ(second.Start, expected);
  EXPECT_GE(second.Start, first.Start + first.Sectors);
  EXPECT_EQ(VolumeSpaceSize(image, second.Start), second.Start + second.TrackLength);
  ExpectReadsBack(tmp, image, second.Start, tmp / "second", "second");
  if (!overwritable) return;

  // Overwritable media: every new volume is the one readers find at sector 16.
  WriteFile(tmp / "third" / "third.txt", Pattern(7000, 6));
  const TSession third = RecordFolder(tmp / "third");
  ExpectSuccess(third);
  EXPECT_GE(third.Start, VolumeSpaceSize(image, second.Start));
  const fs::path direct = tmp / "third-direct";
  ASSERT_EQ(ExtractWithBsdtar(image, direct), "");
  EXPECT_EQ(CompareTrees(tmp / "third", direct, true), "");
}

std::string MediumName(const ::testing::TestParamInfo<const char*>& info) {
  std::string n = info.param;
  std::replace(n.begin(), n.end(), '-', '_');
  std::replace(n.begin(), n.end(), '+', 'p');
  std::replace(n.begin(), n.end(), ',', '_');
  std::replace(n.begin(), n.end(), '=', '_');
  return n;
}

INSTANTIATE_TEST_SUITE_P(Media, EveryMedium,
                         ::testing::Values("cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd-rw-seq",
                                           "dvd+r", "dvd+rw", "dvd-ram", "bd-r", "bd-r-dl", "bd-re",
                                           "dvd-r,direct=0"),
                         MediumName);


// ---------------------------------------------------------------- erase
// The instant clock, noting the erase's progress at each poll of the drive.
struct TPollClock final : TClock {
  TPollClock() { SetClock(this); }
  ~TPollClock() override { SetClock(nullptr); }
  uint64_t NowMs() override { return inner.NowMs(); }
  void Sleep(uint32_t ms) override {
    if (ms == kErasePollMs && Watched) Seen.push_back(Watched.load()->EraseProgress);
    inner.Sleep(ms);
  }
  bool WaitEvent(int fd, uint32_t ms) override { return inner.WaitEvent(fd, ms); }
  TTestClock inner;
  std::atomic<VEZEZadira*> Watched{nullptr};
  std::vector<int> Seen;  // only the erase thread polls while watched
};

struct TErased {
  bool Started = false, WithError = false, OnThisThread = false;  // the dispatcher's thread
  int DoneCalls = 0;
  std::string Error;
};

// One erase, its end handed to this thread through the dispatcher as the
// window and mburn hand it to theirs.
TErased Erase(bool quick, TPollClock& clock) {
  TErased e;
  VEZEZadira c;
  EXPECT_TRUE(SelectFirstDrive(c));
  std::promise<std::function<void()>> handed;  // a second hand-off would throw
  c.Dispatcher = [&](const std::function<void()>& call) { handed.set_value(call); };
  c.OnEraseDone = [&, self = std::this_thread::get_id()](TObject* sender, bool withError) {
    ++e.DoneCalls;
    e.WithError = withError;
    e.OnThisThread = std::this_thread::get_id() == self && sender == &c;
  };
  c.EjectWhenDone = !quick;  // refused erases must not eject either
  clock.Seen.clear();
  clock.Watched = &c;
  e.Started = c.EraseDisc(quick);
  auto end = handed.get_future();  // a safety net against a hang, not a timing assertion
  if (e.Started && end.wait_for(std::chrono::minutes(5)) == std::future_status::ready) end.get()();
  c.WaitForErase();
  clock.Watched = nullptr;
  EXPECT_FALSE(c.Erasing);
  e.Error = c.EraseError;
  return e;
}

class Rewritable : public ::testing::TestWithParam<const char*> {};

TEST_P(Rewritable, ErasesQuickAndFullAndTakesAFirstSessionAgain) {
  const std::string medium = GetParam();
  const bool format = medium == "dvd+rw" || medium == "dvd-ram" || medium == "bd-re";  // else BLANK
  TPollClock clock;
  TTempDir tmp;
  MakeVariedFolder(tmp / "first", 21, false);
  const fs::path image = tmp / "disc.img";
  TVirtualRecorder recorder(image, medium, "erase-ms=4000");
  ASSERT_TRUE(recorder.Ok()) << recorder.Error();
  for (const bool quick : {true, false}) {
    SCOPED_TRACE(quick ? "quick" : "full");
    ExpectSuccess(RecordFolder(tmp / "first"));
    recorder.ClearLog();
    const TErased e = Erase(quick, clock);
    EXPECT_TRUE(e.Started && e.DoneCalls == 1 && !e.WithError && e.OnThisThread) << e.Error;

    const auto log = recorder.Log();
    const auto writes = Only(log, 0x2A);
    std::vector<uint8_t> cdb = {0xA1, uint8_t(quick ? 0x11 : 0x10), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (format) cdb = {0x04, 0x11, 0, 0, 0, 0};
    const auto sent = std::find_if(log.begin(), log.end(), [&](const TLogged& l) { return l.Cdb == cdb; });
    if (format && quick) {
      // Sectors 16-18 (primary, Joliet, terminator) zeroed: no format, no polls.
      EXPECT_TRUE(sent == log.end() && clock.Seen.empty());
      EXPECT_EQ(writes.size() == 1 ? writes[0].Lba() * 100 + writes[0].Count() : 0, 1603u);
      EXPECT_EQ(VolumeSpaceSize(image, 0), 0u) << "a volume is still found at sector 16";
    } else {
      ASSERT_TRUE(sent != log.end() && writes.empty());
      // REQUEST SENSE after it, until the next TEST UNIT READY: at 0, 1, 2, 3 s (not
      // ready, the progress parsed) and 4 s; a full erase's eject then polls once more.
      const auto until = std::find_if(sent, log.end(), [](const TLogged& l) { return l.Op() == 0x00; });
      EXPECT_EQ(std::count_if(sent, until, [](const TLogged& l) { return l.Op() == 0x03; }), 5);
      const std::vector<int> polls = {0, 25, 50, 75, 100};
      EXPECT_EQ(clock.Seen, std::vector<int>(polls.begin(), polls.end() - (quick ? 1 : 0)));
      EXPECT_EQ(recorder.Disc().Status, medium == "dvd-ram" ? "other" : "empty");
    }
    if (!quick) {  // ejected once the drive was ready; loaded again for the next recording
      EXPECT_EQ(Only(log, 0x1B).back().Cdb, (std::vector<uint8_t>{0x1B, 0, 0, 0, 0x02, 0}));
      EXPECT_FALSE(recorder.Disc().Loaded);
      VEZEZadira c;
      ASSERT_TRUE(SelectFirstDrive(c) && c.LoadEject(false));
    }
    const TSession again = RecordFolder(tmp / "first");
    ExpectSuccess(again);
    EXPECT_EQ(again.Start, 0u);
    ExpectReadsBack(tmp, image, 0, tmp / "first", quick ? "quick" : "full");
  }
}

INSTANTIATE_TEST_SUITE_P(Media, Rewritable,
                         ::testing::Values("cd-rw", "dvd-rw", "dvd-rw-seq", "dvd+rw", "dvd-ram", "bd-re"),
                         MediumName);

// Commands that change a disc: none may reach a disc that an erase or an image refuses.
void ExpectNoChange(const TVirtualRecorder& recorder) {
  for (const auto& l : recorder.Log())
    for (const uint8_t op : {0xA1, 0x04, 0x2A, 0x5B, 0x35, 0x53, 0x1B}) EXPECT_NE(l.Op(), op) << l.Line;
}

TEST(Erase, DiscsThatAreNotRewritableAreRefusedBeforeAnyChange) {
  TPollClock clock;
  TTempDir tmp;
  for (const char* medium : {"cd-r", "dvd-r", "dvd+r", "cd-rom", "none"}) {
    SCOPED_TRACE(medium);
    TVirtualRecorder recorder(tmp / (std::string(medium) + ".img"), medium);
    const TErased e = Erase(false, clock);
    EXPECT_TRUE(!e.Started && e.DoneCalls == 1 && e.WithError);
    EXPECT_EQ(e.Error, medium == std::string("none") ? std::string(kNoDiscToEraseText)
                                                     : UpperCase(medium) + kNotRewritableText);
    ExpectNoChange(recorder);
  }
}

// ---------------------------------------------------------------- image files
TEST(ImageFile, ImagesOfOtherToolsRecordByteExactOntoBlankAndOverwritableDiscs) {
  TClockScope clock;
  TTempDir tmp;
  MakeVariedFolder(tmp / "src", 31, false);
  for (const std::string tool : {"xorriso -as mkisofs", "genisoimage"}) {
    const fs::path iso = tmp / (tool.substr(0, 3) + ".iso");
    std::string out;
    ASSERT_EQ(Shell(tool + " -quiet -J -o " + Quote(iso.string()) + " " + Quote((tmp / "src").string()), &out), 0) << out;
    const std::vector<uint8_t> bytes = ReadFile(iso);
    for (const std::string medium : {"cd-r", "dvd+rw", "cd-r appendable"}) {
      SCOPED_TRACE(tool + " onto " + medium);
      const fs::path image = tmp / (tool.substr(0, 3) + medium + ".img");
      TVirtualRecorder recorder(image, medium.substr(0, medium.find(' ')));
      if (medium != "cd-r") ExpectSuccess(RecordFolder(tmp / "src"));  // a written disc
      recorder.ClearLog();
      VEZEZadira c;
      ASSERT_TRUE(SelectFirstDrive(c));
      if (medium == "cd-r appendable") {
        EXPECT_EQ(c.PrepareImageFile(iso.string()), kImageNeedsBlankText);
        ExpectNoChange(recorder);
        continue;
      }
      ASSERT_EQ(c.PrepareImageFile(iso.string()), "");
      EXPECT_EQ(c.ImageSectors(), std::max<int64_t>(300, (bytes.size() + 2047) / 2048));
      c.VerifyAfterWrite = true;
      const std::string error = TRecorderRun(c).Record().Error;
      EXPECT_EQ(error + c.VerifyError + (c.VerifyRan ? "" : "no verify"), "");
      const std::vector<uint8_t> disc = ReadFile(image);
      EXPECT_TRUE(disc.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), disc.begin()));
    }
  }
}

}  // namespace
}  // namespace rectest
