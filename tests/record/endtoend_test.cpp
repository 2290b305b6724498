// Every writable medium, end to end: a varied folder is recorded and verified
// on the virtual recorder and read back by two independent readers, then a
// second folder is recorded onto the same disc as a new session.
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
  if (c.TrackChecksums) s.Digest = Sha256Hex(c.TrackChecksums->Digest());
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
  EXPECT_EQ(first.Digest, DigestOnDisc(image, first));
  EXPECT_EQ(first.Start, 0u);
  EXPECT_EQ(VolumeSpaceSize(image, first.Start), first.Start + first.TrackLength);
  ExpectReadsBack(tmp, image, first.Start, tmp / "first", "first");

  // Where the drive says the next session goes: its next writable address on
  // media with sessions, the end of the recorded volume on overwritable media.
  const std::string medium = GetParam();
  const bool overwritable = medium == "dvd+rw" || medium == "dvd-ram" || medium == "dvd-rw";
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

INSTANTIATE_TEST_SUITE_P(Media, EveryMedium,
                         ::testing::Values("cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd-rw-seq",
                                           "dvd+r", "dvd+rw", "dvd-ram"),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           std::replace(n.begin(), n.end(), '+', 'p');
                           return n;
                         });


// ---------------------------------------------------------------- erase
// The instant clock, noting the component's progress at each poll of an erase.
class TPollClock final : public TClock {
public:
  TPollClock() { SetClock(this); }
  ~TPollClock() override { SetClock(nullptr); }
  uint64_t NowMs() override { return inner_.NowMs(); }
  void Sleep(uint32_t ms) override {
    if (VEZEZadira* c = Watched.load(); c && ms == kErasePollMs) {
      std::lock_guard g(lock_);
      Seen.push_back(c->EraseProgress);
    }
    inner_.Sleep(ms);
  }
  bool WaitEvent(int fd, uint32_t ms) override { return inner_.WaitEvent(fd, ms); }
  std::atomic<VEZEZadira*> Watched{nullptr};
  std::mutex lock_;
  std::vector<int> Seen;

private:
  TTestClock inner_;
};

struct TErased {
  bool Started = false;
  int DoneCalls = 0;
  bool WithError = false;
  bool OnThisThread = false;  // the handler ran on the thread that asked (the dispatcher's)
  std::string Error;
  std::vector<int> Progress;  // EraseProgress at each poll of the drive
};

// One erase, its end handed to this thread through the dispatcher as the
// window and mburn hand it to theirs.
TErased Erase(bool quick, TPollClock& clock, bool eject = false) {
  TErased e;
  VEZEZadira c;
  if (!SelectFirstDrive(c)) {
    ADD_FAILURE() << "no drive";
    return e;
  }
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::function<void()>> calls;
  c.Dispatcher = [&](const std::function<void()>& call) {
    std::lock_guard g(m);
    calls.push_back(call);
    cv.notify_all();
  };
  const auto self = std::this_thread::get_id();
  c.OnEraseDone = [&](TObject* sender, bool withError) {
    ++e.DoneCalls;
    e.WithError = withError;
    e.OnThisThread = std::this_thread::get_id() == self && sender == &c;
  };
  c.EjectWhenDone = eject;
  {
    std::lock_guard g(clock.lock_);
    clock.Seen.clear();
  }
  clock.Watched = &c;
  e.Started = c.EraseDisc(quick);
  // A safety net against a hang, not a timing assertion.
  for (int i = 0; e.Started && e.DoneCalls == 0 && i < 300; ++i) {
    std::unique_lock g(m);
    cv.wait_for(g, std::chrono::seconds(1), [&] { return !calls.empty(); });
    std::vector<std::function<void()>> now = std::exchange(calls, {});
    g.unlock();
    for (auto& call : now) call();
  }
  c.WaitForErase();
  clock.Watched = nullptr;
  EXPECT_FALSE(c.Erasing);
  e.Error = c.EraseError;
  std::lock_guard g(clock.lock_);
  e.Progress = clock.Seen;
  return e;
}

struct TRewritable {
  const char* Medium;
  bool Format;  // FORMAT UNIT (its quick erase zeros the descriptors), else BLANK
};

class Rewritable : public ::testing::TestWithParam<TRewritable> {};

TEST_P(Rewritable, ErasesQuickAndFullAndTakesAFirstSessionAgain) {
  const TRewritable medium = GetParam();
  TPollClock clock;
  TTempDir tmp;
  MakeVariedFolder(tmp / "first", 21, false);
  MakeVariedFolder(tmp / "again", 22, false);
  const fs::path image = tmp / "disc.img";
  TVirtualRecorder recorder(image, medium.Medium, "erase-ms=4000");
  ASSERT_TRUE(recorder.Ok()) << recorder.Error();
  for (const bool quick : {true, false}) {
    SCOPED_TRACE(quick ? "quick" : "full");
    ExpectSuccess(RecordFolder(tmp / "first"));
    recorder.ClearLog();
    const TErased e = Erase(quick, clock);
    EXPECT_TRUE(e.Started);
    EXPECT_EQ(e.DoneCalls, 1);
    EXPECT_FALSE(e.WithError) << e.Error;
    EXPECT_TRUE(e.OnThisThread);

    const auto log = recorder.Log();
    const auto blanks = Only(log, 0xA1), formats = Only(log, 0x04), writes = Only(log, 0x2A);
    if (medium.Format && quick) {
      // Sectors 16-18 (primary, Joliet, terminator) zeroed: no format, no polls.
      EXPECT_TRUE(blanks.empty() && formats.empty());
      ASSERT_EQ(writes.size(), 1u);
      EXPECT_EQ(writes[0].Lba(), 16u);
      EXPECT_EQ(writes[0].Count(), 3u);
      EXPECT_TRUE(e.Progress.empty());
    } else {
      const auto& erased = medium.Format ? formats : blanks;
      ASSERT_EQ(erased.size(), 1u);
      const std::vector<uint8_t> cdb =
          medium.Format ? std::vector<uint8_t>{0x04, 0x11, 0, 0, 0, 0}
                        : std::vector<uint8_t>{0xA1, uint8_t(quick ? 0x11 : 0x10), 0, 0, 0, 0,
                                               0, 0, 0, 0, 0, 0};
      EXPECT_EQ(erased[0].Cdb, cdb);
      EXPECT_TRUE(writes.empty());
      // REQUEST SENSE polled after it until ready: at 0, 1, 2, 3 and 4 s of 4.
      const auto from = std::find_if(log.begin(), log.end(), [&](const TLogged& l) { return l.Cdb == cdb; });
      EXPECT_EQ(std::count_if(from, log.end(), [](const TLogged& l) { return l.Op() == 0x03; }), 5);
      EXPECT_EQ(e.Progress, (std::vector<int>{0, 25, 50, 75}));
    }
    if (medium.Format) {
      EXPECT_EQ(VolumeSpaceSize(image, 0), 0u) << "a volume is still found at sector 16";
    } else {
      EXPECT_EQ(recorder.Disc().Status, "empty");
    }
    const TSession again = RecordFolder(tmp / "again");
    ExpectSuccess(again);
    EXPECT_EQ(again.Start, 0u);
    ExpectReadsBack(tmp, image, 0, tmp / "again", quick ? "quick" : "full");
  }
}

INSTANTIATE_TEST_SUITE_P(Media, Rewritable,
                         ::testing::Values(TRewritable{"cd-rw", false}, TRewritable{"dvd-rw", false},
                                           TRewritable{"dvd-rw-seq", false},
                                           TRewritable{"dvd+rw", true}, TRewritable{"dvd-ram", true}),
                         [](const auto& info) {
                           std::string n = info.param.Medium;
                           std::replace(n.begin(), n.end(), '-', '_');
                           std::replace(n.begin(), n.end(), '+', 'p');
                           return n;
                         });

// Commands that change a disc: none may reach a disc the erase refuses.
bool ChangesTheDisc(uint8_t op) {
  return op == 0xA1 || op == 0x04 || op == 0x2A || op == 0x5B || op == 0x35 || op == 0x53 ||
         op == 0x1B;
}

TEST(Erase, DiscsThatAreNotRewritableAreRefusedBeforeAnyChange) {
  TPollClock clock;
  TTempDir tmp;
  const struct { const char* Medium; const char* Text; } cases[] = {
      {"cd-r", "CD-R IS NOT REWRITABLE: NOTHING ERASED"},
      {"dvd-r", "DVD-R IS NOT REWRITABLE: NOTHING ERASED"},
      {"dvd+r", "DVD+R IS NOT REWRITABLE: NOTHING ERASED"},
      {"cd-rom", "CD-ROM IS NOT REWRITABLE: NOTHING ERASED"},
      {"none", kNoDiscToEraseText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Medium);
    TVirtualRecorder recorder(tmp / (std::string(c.Medium) + ".img"), c.Medium);
    ASSERT_TRUE(recorder.Ok()) << recorder.Error();
    const TErased e = Erase(false, clock, true);
    EXPECT_FALSE(e.Started);
    EXPECT_EQ(e.DoneCalls, 1);
    EXPECT_TRUE(e.WithError);
    EXPECT_EQ(e.Error, c.Text);
    for (const auto& l : recorder.Log()) EXPECT_FALSE(ChangesTheDisc(l.Op())) << l.Line;
  }
}

// ---------------------------------------------------------------- image files
TEST(ImageFile, ImagesOfOtherToolsRecordByteExactOntoBlankAndOverwritableDiscs) {
  TClockScope clock;
  TTempDir tmp;
  MakeVariedFolder(tmp / "src", 31, false);
  const struct { const char* Tool; const char* Command; } tools[] = {
      {"xorriso", "xorriso -as mkisofs -quiet -J -o "},
      {"genisoimage", "genisoimage -quiet -J -o "},
  };
  for (const auto& tool : tools) {
    const fs::path iso = tmp / (std::string(tool.Tool) + ".iso");
    std::string out;
    ASSERT_EQ(Shell(tool.Command + Quote(iso.string()) + " " + Quote((tmp / "src").string()), &out), 0)
        << out;
    const std::vector<uint8_t> bytes = ReadFile(iso);
    for (const char* medium : {"cd-r", "dvd+rw", "appendable cd-r"}) {
      const std::string tag = std::string(tool.Tool) + " " + medium;
      SCOPED_TRACE(tag);
      const bool appendable = std::string(medium) == "appendable cd-r";
      const fs::path image = tmp / (std::string(tool.Tool) + "-" + (appendable ? "a" : medium) + ".img");
      TVirtualRecorder recorder(image, appendable ? "cd-r" : medium);
      ASSERT_TRUE(recorder.Ok()) << recorder.Error();
      // DVD+RW written before: the image goes over it from sector 0.
      if (!std::string(medium).starts_with("cd-r")) ExpectSuccess(RecordFolder(tmp / "src"));
      if (appendable) ExpectSuccess(RecordFolder(tmp / "src"));
      recorder.ClearLog();
      VEZEZadira c;
      ASSERT_TRUE(SelectFirstDrive(c));
      const std::string refusal = c.PrepareImageFile(iso.string());
      if (appendable) {
        EXPECT_EQ(refusal, kImageNeedsBlankText);
        for (const auto& l : recorder.Log()) EXPECT_FALSE(ChangesTheDisc(l.Op())) << l.Line;
        continue;
      }
      ASSERT_EQ(refusal, "");
      EXPECT_EQ(c.ImageSectors(), std::max<int64_t>(300, (bytes.size() + 2047) / 2048));
      c.VerifyAfterWrite = true;
      c.EjectWhenDone = true;
      TRecorderRun run(c);
      const TOutcome outcome = run.Record();
      EXPECT_EQ(outcome.Error, "");
      EXPECT_EQ(outcome.BytesWritten, c.ImageSectors() * 2048);
      EXPECT_TRUE(c.VerifyRan);
      EXPECT_EQ(c.VerifyError, "");
      std::vector<uint8_t> disc = ReadFile(image);
      ASSERT_GE(disc.size(), bytes.size());
      EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), disc.begin())) << "not byte-exact";
      // Ejected at the end, once the track was read back.
      const auto log = recorder.Log();
      const auto last = [&](uint8_t op) {
        return std::find_if(log.rbegin(), log.rend(), [op](const TLogged& l) { return l.Op() == op; });
      };
      ASSERT_NE(last(0x1B), log.rend());
      EXPECT_EQ(last(0x1B)->Cdb, (std::vector<uint8_t>{0x1B, 0, 0, 0, 0x02, 0}));
      EXPECT_LT(last(0x1B) - log.rbegin(), last(0x28) - log.rbegin()) << "ejected before the verify";
      EXPECT_FALSE(recorder.Disc().Loaded);
      ExpectReadsBack(tmp, image, 0, tmp / "src", tag);
    }
  }
}
}  // namespace
}  // namespace rectest
